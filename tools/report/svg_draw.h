// Drawing helpers shared by the report's SVG pictures: the page's geometry
// and colours, text measurement, labels, the heading, tick steps and a small
// element writer.
#ifndef TRANSLATERS_TOOLS_REPORT_SVG_DRAW_H
#define TRANSLATERS_TOOLS_REPORT_SVG_DRAW_H

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "log_checker.h"

namespace report {

const double WIDTH = 1200;
const double PLOT_LEFT = 130;
const double PLOT_RIGHT = WIDTH - 40;
const double FONT_SIZE = 12;
const double SMALL_FONT_SIZE = 11;
const double LABEL_GAP = 8;    // between two labels in one row
const double ROW_HEIGHT = 15;  // one row of labels

const char FONT_FAMILY[] = "DejaVu Sans, Verdana, Arial, sans-serif";
// One per translater, taken in turn should there be more translaters.
const std::array<const char*, 6> TRANSLATER_COLORS = {"#4C78A8", "#F58518", "#54A24B",
                                                      "#B279A2", "#9D755D", "#72B7B2"};
inline std::string TranslaterColor(int t) {
    return TRANSLATER_COLORS.at(t % TRANSLATER_COLORS.size());
}
const char AWAY_COLOR[] = "#D62728";
const char RULE_COLOR[] = "#333333";
const char GRID_COLOR[] = "#E2E2E2";
const char TEXT_COLOR[] = "#222222";
const char MUTED_COLOR[] = "#666666";
const char LANE_SHADE[] = "#F5F5F5";
const char BACKGROUND[] = "#FFFFFF";

std::string Escape(const std::string& text);

// A coordinate with one decimal, enough for a picture this size.
std::string Num(double value);

// The width of text in the given font size, near enough for DejaVu Sans.
double TextWidth(const std::string& text, double font_size);

// The long label over a job's bar if it fits in width, else the short one.
std::string JobLabel(int client, int count, double width);

// A label of small text in one of a lane's rows of labels.
struct Label {
    std::string text;
    double left = 0;
    int row = 0;
};

// Places a label whose left end is wanted at left, kept inside the plot, into
// the first row where it clears the labels already there, opening a new row
// if none.
Label PlaceLabel(std::vector<double>& row_ends, const std::string& text, double left);

// The left end of text centred over [left, right].
double CentredLeft(const std::string& text, double left, double right);

std::string Fill(const std::string& color);
std::string Fill(const std::string& color, const std::string& opacity);
std::string Stroke(const std::string& color, double width);
std::string SmallFont();

// Writes the elements; attributes come as name="value" pairs, already escaped.
class CSvg {
public:
    void Open(const std::string& element, const std::string& attributes) {
        m_text << "<" << element << " " << attributes << ">\n";
    }
    void Close(const std::string& element) { m_text << "</" << element << ">\n"; }
    void Empty(const std::string& element, const std::string& attributes) {
        m_text << "<" << element << " " << attributes << "/>\n";
    }
    void Text(double x, double y, const std::string& text, const std::string& attributes) {
        m_text << "<text x=\"" << Num(x) << "\" y=\"" << Num(y) << "\" " << attributes << ">"
               << Escape(text) << "</text>\n";
    }
    void Title(const std::string& text) { m_text << "<title>" << Escape(text) << "</title>\n"; }
    void Rect(double x, double y, double width, double height, const std::string& attributes) {
        Empty("rect", "x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(width) +
                          "\" height=\"" + Num(height) + "\" " + attributes);
    }
    void Line(double x1, double y1, double x2, double y2, const std::string& attributes) {
        Empty("line", "x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" +
                          Num(y2) + "\" " + attributes);
    }
    // A triangle pointing down with its tip at (x, y).
    void MarkDown(double x, double y, double size, const std::string& attributes) {
        Empty("path", "d=\"M" + Num(x) + " " + Num(y) + " l" + Num(-size / 2) + " " + Num(-size) +
                          " h" + Num(size) + " z\" " + attributes);
    }
    std::string Str() const { return m_text.str(); }

private:
    std::ostringstream m_text;
};

// Opens a document WIDTH wide and height high: its fonts and colour, its title
// and a white page.
void BeginDocument(CSvg& svg, double height, const std::string& title);
// The picture's title and under it a line on the run: the totals of summary
// between before and after.
void DrawHeading(CSvg& svg, const logcheck::Summary& summary, const std::string& title,
                 const std::string& before, const std::string& after);
// One legend entry's text after its sign; returns where the next sign goes,
// gap after the text.
double LegendText(CSvg& svg, double x, double y, const std::string& text, double gap);
// The least of 1, 2 or 5 times a power of ten times unit that is at least
// least: a step between ticks that reads well.
std::int64_t TickStep(double least, std::int64_t unit);
// Draws a label on a patch of its lane's background, so that a rule crossing
// it does not strike it through.
void DrawLabel(CSvg& svg, const Label& label, double baseline, const std::string& background);
// Closes the document and returns it whole.
std::string EndDocument(CSvg& svg);

}  // namespace report

#endif  // TRANSLATERS_TOOLS_REPORT_SVG_DRAW_H
