// The timeline: x is the log's line number, so every event sits where its line
// is in the log. Jobs are bars in their translater's lane, the clients turned
// away are marks in a lane of their own, the driver's two closing lines are
// vertical rules across all lanes.
#include <algorithm>
#include <string>
#include <vector>

#include "report.h"
#include "svg_draw.h"

namespace report {
namespace {

const double BAR_HEIGHT = 18;
const double LANE_PADDING = 10;  // above the labels and below the bar of a lane
const double LANES_TOP = 150;    // room above for the title, the legend and the rules' labels
const double AXIS_HEIGHT = 56;
const double MARK_SIZE = 9;  // width of a turned-away client's triangle
// Turned-away marks closer than this share a label.
const double GROUP_DISTANCE = 12;

// The part of a job after its client left: the translater still working
// through the letters queued for it.
const char CATCH_UP_OPACITY[] = "0.35";

// Maps log lines to x: line n covers [n - 1, n] in line units.
struct Frame {
    int line_count = 1;
    double X(double line_units) const {
        return PLOT_LEFT + (PLOT_RIGHT - PLOT_LEFT) * line_units / line_count;
    }
    double Center(int line) const { return X(line - 0.5); }
};

struct JobMark {
    logcheck::Job job;
    Label label;
};

struct Lane {
    std::string background;
    double top = 0;
    double height = 0;
    int rows = 0;  // rows of labels
    std::vector<JobMark> jobs;
};

// Clients turned away close together along the log: their marks nearly touch,
// so they share one label.
struct AwayGroup {
    std::vector<logcheck::TurnedAway> clients;  // in order of line
    Label label;
};

struct Layout {
    Frame frame;
    std::vector<Lane> lanes;  // by translater
    Lane away_lane;
    std::vector<AwayGroup> away;
    double lanes_bottom = 0;
    double height = 0;
};

// Lays out the labels of one translater's jobs in as few rows as they need.
void LayOutLane(const Frame& frame, Lane& lane) {
    std::vector<double> row_ends;
    for (JobMark& mark : lane.jobs) {
        const double left = frame.X(mark.job.first_letter_line - 1);
        const double right = frame.X(mark.job.end_line);
        const std::string text = JobLabel(mark.job.client, mark.job.count, right - left);
        mark.label = PlaceLabel(row_ends, text, CentredLeft(text, left, right));
    }
    lane.rows = std::max<int>(1, static_cast<int>(row_ends.size()));
    lane.height = 2 * LANE_PADDING + lane.rows * ROW_HEIGHT + BAR_HEIGHT;
}

// The clients' indices in runs, "c3", "c3, c4" or "c3" en dash "c14", joined
// by commas; the runs that do not fit in MAX_LABEL_WIDTH are left out for a
// count of all the clients, so a long list keeps within the picture.
std::string ClientRuns(const std::vector<logcheck::TurnedAway>& turned_away) {
    const double MAX_LABEL_WIDTH = 300;
    std::vector<int> clients(turned_away.size());
    std::transform(turned_away.begin(), turned_away.end(), clients.begin(),
                   [](const logcheck::TurnedAway& client) { return client.client; });
    std::sort(clients.begin(), clients.end());
    std::string text;
    const std::string rest = ", \xE2\x80\xA6 " + std::to_string(clients.size()) +
                             " in all";  // an ellipsis and the count
    for (std::size_t begin = 0; begin < clients.size();) {
        std::size_t end = begin + 1;
        while (end < clients.size() && clients[end] == clients[end - 1] + 1) {
            ++end;
        }
        const std::string last = "c" + std::to_string(clients[end - 1]);
        std::string run = (text.empty() ? "c" : ", c") + std::to_string(clients[begin]);
        if (end - begin == 2) {
            run += ", " + last;
        } else if (end - begin > 2) {
            run += "\xE2\x80\x93" + last;  // an en dash
        }
        const std::string longer = text + run;
        if (TextWidth(longer + rest, SMALL_FONT_SIZE) > MAX_LABEL_WIDTH) {
            return text + rest;
        }
        text = longer;
        begin = end;
    }
    return text;
}

std::vector<AwayGroup> GroupAway(const Frame& frame, const logcheck::Summary& summary) {
    std::vector<AwayGroup> groups;
    double last_x = 0;
    for (const logcheck::TurnedAway& client : summary.turned_away) {
        const double x = frame.Center(client.line);
        if (groups.empty() || x - last_x > GROUP_DISTANCE) {
            groups.emplace_back();
        }
        groups.back().clients.push_back(client);
        last_x = x;
    }
    return groups;
}

// One row of marks at the top of the lane, their labels in rows below.
void LayOutAway(const logcheck::Summary& summary, Layout& layout) {
    const Frame& frame = layout.frame;
    layout.away = GroupAway(frame, summary);
    std::vector<double> row_ends;
    for (AwayGroup& group : layout.away) {
        const std::string text = ClientRuns(group.clients);
        group.label = PlaceLabel(row_ends, text,
                                 CentredLeft(text, frame.Center(group.clients.front().line),
                                             frame.Center(group.clients.back().line)));
    }
    Lane& lane = layout.away_lane;
    lane.rows = std::max<int>(1, static_cast<int>(row_ends.size()));
    lane.height = 2 * LANE_PADDING + MARK_SIZE + lane.rows * ROW_HEIGHT;
}

Layout LayOut(const logcheck::Summary& summary) {
    Layout layout;
    layout.lanes.resize(static_cast<std::size_t>(summary.sizes.translaters));
    layout.frame.line_count = std::max(1, summary.line_count);
    for (const logcheck::Job& job : summary.jobs) {
        layout.lanes.at(job.translater).jobs.push_back(JobMark{job, {}});
    }
    for (Lane& lane : layout.lanes) {
        LayOutLane(layout.frame, lane);
    }
    LayOutAway(summary, layout);
    // Stacked from the top, the lane of the clients turned away last, shaded in turn.
    double top = LANES_TOP;
    for (std::size_t i = 0; i <= layout.lanes.size(); ++i) {
        Lane& lane = i < layout.lanes.size() ? layout.lanes[i] : layout.away_lane;
        lane.top = top;
        lane.background = i % 2 == 0 ? LANE_SHADE : BACKGROUND;
        top += lane.height;
    }
    layout.lanes_bottom = top;
    layout.height = top + AXIS_HEIGHT;
    return layout;
}

void DrawLegend(CSvg& svg) {
    const double y = 80;
    double x = PLOT_LEFT;
    svg.Rect(x, y - 6, 22, 10, Fill(TRANSLATER_COLORS[0]));
    x = LegendText(svg, x + 28, y, "job: its client sending letters", 28);
    svg.Rect(x, y - 6, 22, 10, Fill(TRANSLATER_COLORS[0], CATCH_UP_OPACITY));
    x = LegendText(svg, x + 28, y, "its translater catching up after the client left", 28);
    svg.MarkDown(x + MARK_SIZE / 2, y + 4, MARK_SIZE, Fill(AWAY_COLOR));
    x = LegendText(svg, x + MARK_SIZE + 6, y, "client turned away", 28);
    svg.Line(x, y - 1, x + 22, y - 1, Stroke(MUTED_COLOR, 1.5));
    LegendText(svg, x + 28, y, "translater thread alive", 28);
    svg.Text(PLOT_LEFT, y + 22,
             "Labels: c7 \xC2\xB7 42 is client 7 with 42 letters; the log's line numbers run "
             "along the bottom.",
             SmallFont() + " " + Fill(MUTED_COLOR));
}

void DrawAxis(const Layout& layout, CSvg& svg) {
    const Frame& frame = layout.frame;
    const double y = layout.lanes_bottom;
    // At most ten ticks: line_count / step <= 10 from this step on.
    const int least = frame.line_count / 11 + 1;
    const auto step = static_cast<int>(TickStep(least, 1));
    svg.Line(PLOT_LEFT, y, PLOT_RIGHT, y, Stroke(TEXT_COLOR, 1));
    for (int line = step; line <= frame.line_count; line += step) {
        const double x = frame.Center(line);
        svg.Line(x, LANES_TOP, x, y, Stroke(GRID_COLOR, 1));
        svg.Line(x, y, x, y + 5, Stroke(TEXT_COLOR, 1));
        svg.Text(x, y + 19, std::to_string(line), "text-anchor=\"middle\"");
    }
    svg.Text((PLOT_LEFT + PLOT_RIGHT) / 2, y + 42, "log line", "text-anchor=\"middle\"");
}

double BarTop(const Lane& lane) {
    return lane.top + LANE_PADDING + lane.rows * ROW_HEIGHT;
}

double MarkTip(const Lane& lane) {
    return lane.top + LANE_PADDING + MARK_SIZE;
}

// A lane's background and its name, level with what the lane shows.
void DrawLane(const Lane& lane, const std::string& name, double middle, CSvg& svg) {
    svg.Rect(0, lane.top, WIDTH, lane.height, Fill(lane.background));
    svg.Text(PLOT_LEFT - 14, middle + FONT_SIZE / 3, name,
             "text-anchor=\"end\" font-weight=\"bold\"");
}

void DrawLanes(const Layout& layout, CSvg& svg) {
    for (std::size_t t = 0; t < layout.lanes.size(); ++t) {
        const Lane& lane = layout.lanes[t];
        DrawLane(lane, "Translater " + std::to_string(t), BarTop(lane) + BAR_HEIGHT / 2, svg);
    }
    const Lane& away = layout.away_lane;
    DrawLane(away, "Turned away", MarkTip(away) - MARK_SIZE / 2, svg);
}

// The thread's life, from its entry line to its leaving line.
void DrawLifeline(const Frame& frame, const Lane& lane, const logcheck::ThreadLines& lines,
                  CSvg& svg) {
    const double y = BarTop(lane) + BAR_HEIGHT / 2;
    const double start = frame.Center(lines.start_line);
    const double leave = frame.Center(lines.leave_line);
    svg.Line(start, y, leave, y, Stroke(MUTED_COLOR, 1.5));
    svg.Line(start, y - 6, start, y + 6, Stroke(MUTED_COLOR, 1.5));
    svg.Line(leave, y - 6, leave, y + 6, Stroke(MUTED_COLOR, 1.5));
}

// A bar from the first letter line to the end-of-job line, solid while the
// client sends, pale from its summary line on.
void DrawJobBar(const Frame& frame, const Lane& lane, const logcheck::Job& job,
                const std::string& color, CSvg& svg) {
    const double top = BarTop(lane);
    const double left = frame.X(job.first_letter_line - 1);
    const double client_left = frame.X(job.summary_line);
    const double right = frame.X(job.end_line);
    svg.Open("g", "class=\"job\"");
    svg.Title("client " + std::to_string(job.client) + " -> translater " +
              std::to_string(job.translater) + ": " + std::to_string(job.count) + " letters \"" +
              job.letters + "\", lines " + std::to_string(job.first_letter_line) + " to " +
              std::to_string(job.end_line) + "; the client left on line " +
              std::to_string(job.summary_line));
    svg.Rect(left, top, client_left - left, BAR_HEIGHT, Fill(color));
    svg.Rect(client_left, top, right - client_left, BAR_HEIGHT, Fill(color, CATCH_UP_OPACITY));
    svg.Rect(left, top, right - left, BAR_HEIGHT, "fill=\"none\" " + Stroke(color, 1));
    svg.Close("g");
}

void DrawJobs(const Layout& layout, const logcheck::Summary& summary, CSvg& svg) {
    for (std::size_t t = 0; t < layout.lanes.size(); ++t) {
        const Lane& lane = layout.lanes[t];
        DrawLifeline(layout.frame, lane, summary.translaters.at(t), svg);
        for (const JobMark& mark : lane.jobs) {
            DrawJobBar(layout.frame, lane, mark.job, TranslaterColor(static_cast<int>(t)), svg);
        }
    }
}

// A driver line as a dashed rule across the lanes, labelled in its own row
// above them, on the rule's left while there is room.
void DrawRule(const Frame& frame, int line, const std::string& text, int row, double bottom,
              CSvg& svg) {
    const double x = frame.Center(line);
    const double baseline = LANES_TOP - 10 - row * ROW_HEIGHT;
    const std::string label = text + " (line " + std::to_string(line) + ")";
    const bool on_left = x - 6 - TextWidth(label, FONT_SIZE) >= PLOT_LEFT;
    svg.Open("g", "class=\"driver-line\"");
    svg.Title(text + ", line " + std::to_string(line));
    svg.Line(x, baseline - 10, x, bottom, Stroke(RULE_COLOR, 1.5) + " stroke-dasharray=\"6 4\"");
    svg.Text(on_left ? x - 6 : x + 6, baseline, label,
             std::string("text-anchor=\"") + (on_left ? "end" : "start") + "\"");
    svg.Close("g");
}

void DrawJobLabels(const Layout& layout, CSvg& svg) {
    for (const Lane& lane : layout.lanes) {
        for (const JobMark& mark : lane.jobs) {
            const double baseline =
                BarTop(lane) - 5 - (lane.rows - 1 - mark.label.row) * ROW_HEIGHT;
            DrawLabel(svg, mark.label, baseline, lane.background);
        }
    }
}

void DrawTurnedAway(const Layout& layout, CSvg& svg) {
    const Lane& lane = layout.away_lane;
    const double tip = MarkTip(lane);
    for (const AwayGroup& group : layout.away) {
        for (const logcheck::TurnedAway& client : group.clients) {
            svg.Open("g", "class=\"turned-away\"");
            svg.Title("client " + std::to_string(client.client) +
                      ": all translaters are occupied, line " + std::to_string(client.line));
            svg.MarkDown(layout.frame.Center(client.line), tip, MARK_SIZE, Fill(AWAY_COLOR));
            svg.Close("g");
        }
        DrawLabel(svg, group.label, tip + (group.label.row + 1) * ROW_HEIGHT, lane.background);
    }
}

}  // namespace

std::string TimelineSvg(const RunModel& model) {
    const logcheck::Summary& summary = model.summary;
    const Layout layout = LayOut(summary);
    CSvg svg;
    BeginDocument(svg, layout.height, "translaters: one run along its log");
    DrawHeading(svg, summary, "One run of translaters, along its log",
                std::to_string(summary.line_count) + " log lines: ", "");
    DrawLegend(svg);
    DrawLanes(layout, svg);
    DrawAxis(layout, svg);
    DrawJobs(layout, summary, svg);
    DrawRule(layout.frame, summary.all_translaters_line, "All translaters finished", 1,
             layout.lanes_bottom, svg);
    DrawRule(layout.frame, summary.all_clients_line, "All clients finished", 0, layout.lanes_bottom,
             svg);
    DrawJobLabels(layout, svg);
    DrawTurnedAway(layout, svg);
    return EndDocument(svg);
}

}  // namespace report
