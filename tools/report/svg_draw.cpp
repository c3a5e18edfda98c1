#include "svg_draw.h"

#include <algorithm>
#include <iomanip>
#include <numeric>

#include "report.h"

namespace report {
namespace {

// The advance of one character in em, near enough for DejaVu Sans and its like.
double CharWidth(char ch) {
    const std::string NARROW = " .,:;'!|il";
    const std::string SLIM = "()[]frtj-";
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x80) {
        return 0.5;  // the middle dot and the en dash, the only others used
    }
    if (NARROW.find(ch) != std::string::npos) {
        return 0.32;
    }
    if (SLIM.find(ch) != std::string::npos) {
        return 0.42;
    }
    if (ch == 'm' || ch == 'w' || (ch >= 'A' && ch <= 'Z')) {
        return 0.8;
    }
    return 0.64;
}

}  // namespace

std::string Escape(const std::string& text) {
    const std::string SPECIAL = "&<>\"'";
    const char* const ENTITIES[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    std::string escaped;
    for (const char ch : text) {
        const std::size_t at = SPECIAL.find(ch);
        escaped += at == std::string::npos ? std::string(1, ch) : ENTITIES[at];
    }
    return escaped;
}

std::string Num(double value) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << value;
    return text.str();
}

double TextWidth(const std::string& text, double font_size) {
    return font_size * std::accumulate(text.begin(), text.end(), 0.0, [](double width, char ch) {
               // A UTF-8 continuation byte adds nothing to its character.
               const bool continuation = (static_cast<unsigned char>(ch) & 0xC0) == 0x80;
               return continuation ? width : width + CharWidth(ch);
           });
}

std::string JobLabel(int client, int count, double width) {
    const std::string dot = " \xC2\xB7 ";
    const std::string full =
        "client " + std::to_string(client) + dot + std::to_string(count) + " letters";
    return TextWidth(full, SMALL_FONT_SIZE) <= width
               ? full
               : "c" + std::to_string(client) + dot + std::to_string(count);
}

Label PlaceLabel(std::vector<double>& row_ends, const std::string& text, double left) {
    const double width = TextWidth(text, SMALL_FONT_SIZE);
    Label label{text, std::clamp(left, PLOT_LEFT, std::max(PLOT_LEFT, PLOT_RIGHT - width)), 0};
    const auto row = std::find_if(row_ends.begin(), row_ends.end(),
                                  [&label](double end) { return end + LABEL_GAP <= label.left; });
    label.row = static_cast<int>(row - row_ends.begin());
    if (row == row_ends.end()) {
        row_ends.push_back(label.left + width);
    } else {
        *row = label.left + width;
    }
    return label;
}

double CentredLeft(const std::string& text, double left, double right) {
    return (left + right - TextWidth(text, SMALL_FONT_SIZE)) / 2;
}

std::string Fill(const std::string& color) {
    return "fill=\"" + color + "\"";
}

std::string Fill(const std::string& color, const std::string& opacity) {
    return Fill(color) + " fill-opacity=\"" + opacity + "\"";
}

std::string Stroke(const std::string& color, double width) {
    return "stroke=\"" + color + "\" stroke-width=\"" + Num(width) + "\"";
}

std::string SmallFont() {
    return "font-size=\"" + Num(SMALL_FONT_SIZE) + "\"";
}

void BeginDocument(CSvg& svg, double height, const std::string& title) {
    svg.Open("svg", "xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(WIDTH) + "\" height=\"" +
                        Num(height) + "\" viewBox=\"0 0 " + Num(WIDTH) + " " + Num(height) +
                        "\" font-family=\"" + FONT_FAMILY + "\" font-size=\"" + Num(FONT_SIZE) +
                        "\" " + Fill(TEXT_COLOR));
    svg.Title(title);
    svg.Rect(0, 0, WIDTH, height, Fill(BACKGROUND));
}

void DrawHeading(CSvg& svg, const logcheck::Summary& summary, const std::string& title,
                 const std::string& before, const std::string& after) {
    const Totals totals = CountTotals(summary);
    svg.Text(PLOT_LEFT, 30, title, "font-size=\"18\" font-weight=\"bold\"");
    svg.Text(PLOT_LEFT, 52,
             before + std::to_string(totals.jobs) + " jobs, " + std::to_string(totals.letters) +
                 " letters translated, " + std::to_string(totals.turned_away) + " of " +
                 std::to_string(totals.jobs + totals.turned_away) + " clients turned away" + after,
             Fill(MUTED_COLOR));
}

double LegendText(CSvg& svg, double x, double y, const std::string& text, double gap) {
    svg.Text(x, y + 4, text, SmallFont());
    return x + TextWidth(text, SMALL_FONT_SIZE) + gap;
}

std::int64_t TickStep(double least, std::int64_t unit) {
    for (std::int64_t power = unit;; power *= 10) {
        const std::array<std::int64_t, 3> steps = {power, 2 * power, 5 * power};
        const auto* const step = std::find_if(steps.begin(), steps.end(), [least](std::int64_t s) {
            return static_cast<double>(s) >= least;
        });
        if (step != steps.end()) {
            return *step;
        }
    }
}

void DrawLabel(CSvg& svg, const Label& label, double baseline, const std::string& background) {
    svg.Rect(label.left - 2, baseline - SMALL_FONT_SIZE + 1,
             TextWidth(label.text, SMALL_FONT_SIZE) + 4, SMALL_FONT_SIZE + 3, Fill(background));
    svg.Text(label.left, baseline, label.text, SmallFont());
}

std::string EndDocument(CSvg& svg) {
    svg.Close("svg");
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svg.Str();
}

}  // namespace report
