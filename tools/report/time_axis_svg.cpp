// The timeline along real time: x is the time from the driver's start. A
// stretch in which every thread only waits (the one-second tail of a missed
// stop signal) is left out of the axis and drawn as a break, so the busy part
// of the run keeps its width. Lanes, top to bottom: the driver, each
// translater (its waits in JobFinished, its jobs with their waits in Pop, its
// stop signal and timeouts, and its queue's depth), then a row per client.
#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"
#include "svg_draw.h"

namespace report {
namespace {

const double LANES_TOP = 196;  // room above for the title, the legend and the stop flag's label
const double LANE_PADDING = 8;
const double BAR_HEIGHT = 18;
const double WAIT_HEIGHT = 8;
const double QUEUE_GAP = 4;
const double QUEUE_HEIGHT = 16;
const double DRIVER_HEIGHT = 12;
const double CLIENT_ROW = 13;
// More clients than this share rows, each row a run of consecutive clients, so
// that a large wave keeps rows a line high and the picture a page or two long.
const int MAX_CLIENT_ROWS = 40;
const double CLIENT_BAR = 9;
const double PAUSE_HEIGHT = 5;
const double MARK_SIZE = 8;
const double MARKER_ROOM = 9;  // between a lane's labels and its bar, for the stop signal
const double BREAK_WIDTH = 40;
const double AXIS_HEIGHT = 60;
const double TICK_SPACING = 80;  // the least room between two labelled ticks
// A stretch with no step of any thread, longer than this share of the run and
// than MIN_CUT, is cut out of the axis, but for a margin each side.
const double CUT_SHARE = 0.2;
const Nanoseconds MIN_CUT = 20000000;
const double CUT_MARGIN_SHARE = 0.04;  // of the time shown

const char WAIT_COLOR[] = "#BDBDBD";
const char TAIL_FILL[] = "#FAD4D4";
const char STOP_COLOR[] = "#7B3294";
const char TIMEOUT_COLOR[] = "#D62728";
const char PAUSE_COLOR[] = "#8C8C8C";
const char LOST_COLOR[] = "#555555";
// A wait in Pop shows as the job's bar faded: the translater idle in its job.
const char POP_WAIT_OPACITY[] = "0.7";
const char SENDING_OPACITY[] = "0.45";

std::string Ms(Nanoseconds length, int decimals = 3) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << static_cast<double>(length) / 1e6;
    return text.str();
}

// Maps a moment to x: the shown stretches of the run at one scale, and a break
// of fixed width for each stretch cut out between them.
class CTimeFrame {
public:
    CTimeFrame(std::vector<Nanoseconds> moments, const Span& run) {
        std::sort(moments.begin(), moments.end());
        const std::vector<Span> gaps = LongGaps(moments, run);
        const Nanoseconds busy = run.Length() - TotalLength(gaps);
        const auto margin = static_cast<Nanoseconds>(CUT_MARGIN_SHARE * static_cast<double>(busy));
        Nanoseconds begin = run.begin;
        for (const Span& gap : gaps) {
            m_shown.push_back(Span{begin, gap.begin + margin});
            begin = gap.end - margin;
        }
        m_shown.push_back(Span{begin, run.end});
        const Nanoseconds shown = TotalLength(m_shown);
        const double room = PLOT_RIGHT - PLOT_LEFT - BREAK_WIDTH * static_cast<double>(gaps.size());
        m_scale = room / static_cast<double>(std::max<Nanoseconds>(shown, 1));
        double left = PLOT_LEFT;
        for (const Span& stretch : m_shown) {
            m_left.push_back(left);
            left += static_cast<double>(stretch.Length()) * m_scale + BREAK_WIDTH;
        }
    }

    double X(Nanoseconds at) const {
        for (std::size_t i = 0; i < m_shown.size(); ++i) {
            const Span& stretch = m_shown[i];
            if (at <= stretch.end) {
                if (at >= stretch.begin || i == 0) {
                    return m_left[i] + static_cast<double>(at - stretch.begin) * m_scale;
                }
                // Inside the break before this stretch: across it in proportion.
                const Span cut{m_shown[i - 1].end, stretch.begin};
                return m_left[i] - BREAK_WIDTH +
                       BREAK_WIDTH * static_cast<double>(at - cut.begin) /
                           static_cast<double>(cut.Length());
            }
        }
        return PLOT_RIGHT;
    }
    double Scale() const { return m_scale; }  // pixels per nanosecond
    const std::vector<Span>& Shown() const { return m_shown; }

private:
    // The stretches between two moments long enough to be cut out.
    static std::vector<Span> LongGaps(const std::vector<Nanoseconds>& moments, const Span& run) {
        const Nanoseconds least = std::max(
            MIN_CUT, static_cast<Nanoseconds>(CUT_SHARE * static_cast<double>(run.Length())));
        std::vector<Span> gaps;
        for (std::size_t i = 1; i < moments.size(); ++i) {
            if (moments[i] - moments[i - 1] > least) {
                gaps.push_back(Span{moments[i - 1], moments[i]});
            }
        }
        return gaps;
    }

    std::vector<Span> m_shown;
    std::vector<double> m_left;
    double m_scale = 1;
};

void AddSpans(std::vector<Nanoseconds>& moments, const std::vector<Span>& spans) {
    for (const Span& span : spans) {
        moments.push_back(span.begin);
        moments.push_back(span.end);
    }
}

// Every moment at which some thread takes a step.
std::vector<Nanoseconds> Moments(const RunTimes& times) {
    std::vector<Nanoseconds> moments = times.lines;
    moments.push_back(times.driver.stop_flag);
    AddSpans(moments, times.driver.thread.pauses);
    for (const TranslaterTimes& translater : times.translaters) {
        AddSpans(moments, {translater.thread.life});
        AddSpans(moments, translater.thread.pauses);
        AddSpans(moments, translater.pop_waits);
        AddSpans(moments, translater.work);
        moments.push_back(translater.stop_signal);
        for (const JobWait& wait : translater.job_waits) {
            AddSpans(moments, {wait.span});
        }
    }
    for (const ClientTimes& client : times.clients) {
        AddSpans(moments, client.thread.pauses);
        std::transform(client.claims.begin(), client.claims.end(), std::back_inserter(moments),
                       [](const ClaimAttempt& claim) { return claim.at; });
    }
    for (const Handoff& handoff : times.handoffs) {
        moments.push_back(handoff.push);
        moments.push_back(handoff.pop);
    }
    return moments;
}

struct Layout {
    // By translater:
    std::vector<double> translater_tops;
    std::vector<std::vector<Label>> labels;
    std::vector<int> rows;
    double clients_top = 0;
    double lanes_bottom = 0;
    double height = 0;
    int max_depth = 1;  // the deepest any queue got
};

// How many clients share a row, and how many rows they take.
int ClientsPerRow(int clients) {
    return (clients + MAX_CLIENT_ROWS - 1) / MAX_CLIENT_ROWS;
}
int ClientRows(int clients) {
    const int per_row = ClientsPerRow(clients);
    return (clients + per_row - 1) / per_row;
}

double TranslaterHeight(int rows) {
    return 2 * LANE_PADDING + rows * ROW_HEIGHT + MARKER_ROOM + BAR_HEIGHT + QUEUE_GAP +
           QUEUE_HEIGHT;
}

double BarTop(const Layout& layout, int t) {
    return layout.translater_tops.at(t) + LANE_PADDING + layout.rows.at(t) * ROW_HEIGHT +
           MARKER_ROOM;
}

std::string Who(int client) {
    return "client " + std::to_string(client);
}

std::string StopLabel(const TranslaterTimes& translater) {
    if (translater.at_stop == StopState::kWaiting) {
        return "stop signal: caught";
    }
    std::string state = StopStateName(translater.at_stop);
    std::replace(state.begin(), state.end(), '-', ' ');
    return "stop signal missed: " + state;
}

void LayOutTranslater(const RunModel& model, const CTimeFrame& frame, int t, Layout& layout) {
    const TranslaterTimes& translater = model.times.translaters.at(t);
    std::vector<double> row_ends;
    std::vector<Label>& labels = layout.labels.at(t);
    for (std::size_t j = 0; j < model.summary.jobs.size(); ++j) {
        const logcheck::Job& job = model.summary.jobs[j];
        const Span& work = model.times.jobs.at(j).work;
        if (job.translater == t) {
            const double left = frame.X(work.begin);
            const double right = frame.X(work.end);
            const std::string text = JobLabel(job.client, job.count, right - left);
            labels.push_back(PlaceLabel(row_ends, text, CentredLeft(text, left, right)));
        }
    }
    const double signal = frame.X(translater.stop_signal);
    const std::string stop = StopLabel(translater);
    labels.push_back(PlaceLabel(row_ends, stop, CentredLeft(stop, signal, signal)));
    // From the tail's start: its middle is likely in a break of the axis.
    if (translater.tail >= 0) {
        const Span& tail = translater.job_waits.at(translater.tail).span;
        labels.push_back(PlaceLabel(
            row_ends, "one-second tail: the wait ran out after " + Ms(tail.Length(), 1) + " ms",
            frame.X(tail.begin)));
    }
    layout.rows.at(t) = std::max<int>(1, static_cast<int>(row_ends.size()));
    for (const QueueDepth& sample : translater.queue) {
        layout.max_depth = std::max(layout.max_depth, sample.depth);
    }
}

Layout LayOut(const RunModel& model, const CTimeFrame& frame) {
    Layout layout;
    const auto translaters = static_cast<std::size_t>(model.summary.sizes.translaters);
    layout.translater_tops.resize(translaters);
    layout.labels.resize(translaters);
    layout.rows.resize(translaters);
    double top = LANES_TOP + 2 * LANE_PADDING + ROW_HEIGHT + DRIVER_HEIGHT;
    for (int t = 0; t < model.summary.sizes.translaters; ++t) {
        LayOutTranslater(model, frame, t, layout);
        layout.translater_tops.at(t) = top;
        top += TranslaterHeight(layout.rows.at(t));
    }
    layout.clients_top = top;
    layout.lanes_bottom =
        top + 2 * LANE_PADDING + ClientRows(model.summary.sizes.clients) * CLIENT_ROW;
    layout.height = layout.lanes_bottom + AXIS_HEIGHT;
    return layout;
}

void DrawCross(CSvg& svg, double x, double y, double size, const std::string& color) {
    svg.Line(x - size / 2, y - size / 2, x + size / 2, y + size / 2, Stroke(color, 2));
    svg.Line(x - size / 2, y + size / 2, x + size / 2, y - size / 2, Stroke(color, 2));
}

void DrawTranslaterLegend(CSvg& svg, double y) {
    const std::string color = TRANSLATER_COLORS[0];
    double x = PLOT_LEFT;
    svg.Rect(x, y - 6, 22, 10, Fill(color));
    x = LegendText(svg, x + 28, y, "serving a job", 24);
    svg.Rect(x, y - 6, 22, 10, Fill(color, SENDING_OPACITY));
    x = LegendText(svg, x + 28, y, "in a job, waiting in Pop for a letter", 24);
    svg.Rect(x, y - 3, 22, 5, Fill(WAIT_COLOR));
    x = LegendText(svg, x + 28, y, "waiting in JobFinished", 24);
    DrawCross(svg, x + 4, y - 1, 7, TIMEOUT_COLOR);
    x = LegendText(svg, x + 14, y, "a wait ran out", 24);
    svg.Rect(x, y - 6, 22, 10, Fill(TAIL_FILL) + " " + Stroke(TIMEOUT_COLOR, 1));
    LegendText(svg, x + 28, y, "the one-second tail of a missed stop signal", 24);
}

void DrawOtherLegend(CSvg& svg, double y) {
    double x = PLOT_LEFT;
    svg.Line(x, y - 8, x, y + 6, Stroke(STOP_COLOR, 2) + " stroke-dasharray=\"4 3\"");
    x = LegendText(svg, x + 8, y, "stop flag set", 24);
    svg.MarkDown(x + MARK_SIZE / 2, y + 4, MARK_SIZE, Fill(STOP_COLOR));
    x = LegendText(svg, x + MARK_SIZE + 6, y, "stop signal to a translater", 24);
    svg.Rect(x, y - 3, 22, PAUSE_HEIGHT, Fill(PAUSE_COLOR));
    x = LegendText(svg, x + 28, y, "pausing", 24);
    svg.Rect(x, y - 5, 22, CLIENT_BAR, Fill(TRANSLATER_COLORS[0], SENDING_OPACITY));
    x = LegendText(svg, x + 28, y, "client sending", 24);
    svg.Empty("circle", "cx=\"" + Num(x + 4) + "\" cy=\"" + Num(y - 1) + "\" r=\"3.5\" " +
                            Fill(TRANSLATER_COLORS[0]));
    x = LegendText(svg, x + 12, y, "claim won", 24);
    DrawCross(svg, x + 3, y - 1, 5, LOST_COLOR);
    x = LegendText(svg, x + 10, y, "claim lost", 24);
    svg.MarkDown(x + MARK_SIZE / 2, y + 4, MARK_SIZE, Fill(AWAY_COLOR));
    LegendText(svg, x + MARK_SIZE + 6, y, "turned away", 24);
}

void DrawLegend(CSvg& svg) {
    DrawTranslaterLegend(svg, 80);
    DrawOtherLegend(svg, 102);
    svg.Text(PLOT_LEFT, 126,
             "Time runs along the bottom in ms from the driver's start; a zigzag break leaves "
             "out a stretch in which every thread only waits.",
             SmallFont() + " " + Fill(MUTED_COLOR));
    svg.Text(PLOT_LEFT, 142,
             "Labels: client 7 \xC2\xB7 42 letters (or c7 \xC2\xB7 42) is the job of client 7; "
             "under each translater its queue's depth.",
             SmallFont() + " " + Fill(MUTED_COLOR));
}

int Decimals(Nanoseconds step) {
    int decimals = 0;
    for (Nanoseconds unit = 1000000; step < unit && decimals < 3; unit /= 10) {
        ++decimals;
    }
    return decimals;
}

void DrawTicks(const RunTimes& times, const CTimeFrame& frame, const Layout& layout, CSvg& svg) {
    // TICK_SPACING pixels between ticks, a microsecond at the least.
    const Nanoseconds step = TickStep(TICK_SPACING / frame.Scale(), 1000);
    const double y = layout.lanes_bottom;
    for (const Span& stretch : frame.Shown()) {
        const Nanoseconds from = stretch.begin - times.driver_start;
        for (Nanoseconds tick = (from + step - 1) / step * step;
             tick + times.driver_start <= stretch.end; tick += step) {
            const double x = frame.X(tick + times.driver_start);
            svg.Line(x, LANES_TOP, x, y, Stroke(GRID_COLOR, 1));
            svg.Line(x, y, x, y + 5, Stroke(TEXT_COLOR, 1));
            svg.Text(x, y + 19, Ms(tick, Decimals(step)), "text-anchor=\"middle\"");
        }
    }
}

// A zigzag across every lane where a stretch was cut out, and its length.
void DrawBreaks(const CTimeFrame& frame, const Layout& layout, CSvg& svg) {
    const std::vector<Span>& shown = frame.Shown();
    for (std::size_t i = 1; i < shown.size(); ++i) {
        const double left = frame.X(shown[i - 1].end);
        const double right = frame.X(shown[i].begin);
        const double middle = (left + right) / 2;
        svg.Open("g", "class=\"axis-break\"");
        svg.Title(Ms(shown[i].begin - shown[i - 1].end) + " ms left out: every thread waits");
        svg.Rect(left + 6, LANES_TOP, right - left - 12, layout.lanes_bottom + 6 - LANES_TOP,
                 Fill(BACKGROUND, "0.6"));
        for (const double x : {middle - 4, middle + 4}) {
            std::string path = "M" + Num(x) + " " + Num(LANES_TOP);
            const int zigs = static_cast<int>(std::ceil((layout.lanes_bottom + 6 - LANES_TOP) / 8));
            for (int zig = 0; zig < zigs; ++zig) {
                const double y = LANES_TOP + 8 * zig;
                path += " L" + Num(x + 3) + " " + Num(y + 4) + " L" + Num(x) + " " + Num(y + 8);
            }
            svg.Empty("path", "d=\"" + path + "\" fill=\"none\" " + Stroke(MUTED_COLOR, 1.2));
        }
        svg.Text(middle, layout.lanes_bottom + 34,
                 "\xE2\x89\x88 " + Ms(shown[i].begin - shown[i - 1].end, 0) + " ms left out",
                 "text-anchor=\"middle\" " + SmallFont() + " " + Fill(MUTED_COLOR));
        svg.Close("g");
    }
}

void DrawAxis(const RunTimes& times, const CTimeFrame& frame, const Layout& layout, CSvg& svg) {
    const double y = layout.lanes_bottom;
    svg.Line(PLOT_LEFT, y, PLOT_RIGHT, y, Stroke(TEXT_COLOR, 1));
    DrawTicks(times, frame, layout, svg);
    svg.Text((PLOT_LEFT + PLOT_RIGHT) / 2, y + 50, "ms from the driver's start",
             "text-anchor=\"middle\"");
}

void DrawLaneBackgrounds(const Layout& layout, CSvg& svg) {
    const double driver_bottom = layout.translater_tops.at(0);
    svg.Rect(0, LANES_TOP, WIDTH, driver_bottom - LANES_TOP, Fill(LANE_SHADE));
    for (std::size_t t = 0; t < layout.translater_tops.size(); ++t) {
        const double top = layout.translater_tops[t];
        svg.Rect(0, top, WIDTH, TranslaterHeight(layout.rows.at(t)),
                 Fill(t % 2 == 0 ? BACKGROUND : LANE_SHADE));
    }
    svg.Rect(0, layout.clients_top, WIDTH, layout.lanes_bottom - layout.clients_top,
             Fill(LANE_SHADE));
}

std::string Between(const RunTimes& times, const Span& span) {
    return Ms(span.begin - times.driver_start) + " to " + Ms(span.end - times.driver_start) +
           " ms (" + Ms(span.Length()) + " ms)";
}

void DrawPauses(const RunTimes& times, const CTimeFrame& frame, const ThreadTimes& thread, double y,
                const std::string& who, CSvg& svg) {
    for (const Span& pause : thread.pauses) {
        svg.Open("g", "class=\"pause\"");
        svg.Title(who + " pauses " + Between(times, pause));
        const double left = frame.X(pause.begin);
        svg.Rect(left, y, std::max(0.6, frame.X(pause.end) - left), PAUSE_HEIGHT,
                 Fill(PAUSE_COLOR));
        svg.Close("g");
    }
}

void DrawDriver(const RunTimes& times, const CTimeFrame& frame, CSvg& svg) {
    const DriverTimes& driver = times.driver;
    const double middle = LANES_TOP + LANE_PADDING + ROW_HEIGHT + DRIVER_HEIGHT / 2;
    svg.Open("g", "class=\"driver-lane\"");
    svg.Text(PLOT_LEFT - 14, middle + FONT_SIZE / 3, "Driver",
             "text-anchor=\"end\" font-weight=\"bold\"");
    svg.Line(frame.X(driver.thread.life.begin), middle, frame.X(driver.thread.life.end), middle,
             Stroke(MUTED_COLOR, 1.5));
    for (std::size_t c = 0; c < driver.created.size(); ++c) {
        if (driver.created[c] != 0) {
            const double x = frame.X(driver.created.at(c));
            svg.Open("g", "class=\"created\"");
            svg.Title("the driver created client " + std::to_string(c) + " at " +
                      Ms(driver.created.at(c) - times.driver_start) + " ms");
            svg.Line(x, middle - DRIVER_HEIGHT / 2, x, middle + DRIVER_HEIGHT / 2,
                     Stroke(TEXT_COLOR, 1));
            svg.Close("g");
        }
    }
    DrawPauses(times, frame, driver.thread, middle - PAUSE_HEIGHT / 2, "the driver", svg);
    svg.Text(frame.X(driver.created.front()), middle - DRIVER_HEIGHT / 2 - 4,
             "creates the clients, pausing after each; joins them; sets the stop flag; signals "
             "and joins the translaters",
             SmallFont() + " " + Fill(MUTED_COLOR));
    svg.Close("g");
}

void DrawJobWaits(const RunTimes& times, const CTimeFrame& frame, const TranslaterTimes& translater,
                  int t, double bar_top, CSvg& svg) {
    const std::string who = "translater " + std::to_string(t);
    for (std::size_t w = 0; w < translater.job_waits.size(); ++w) {
        const JobWait& wait = translater.job_waits[w];
        const bool tail = static_cast<int>(w) == translater.tail;
        const double left = frame.X(wait.span.begin);
        const double right = std::max(left + 0.6, frame.X(wait.span.end));
        svg.Open("g", tail ? "class=\"job-wait tail\"" : "class=\"job-wait\"");
        svg.Title(who + " waits in JobFinished " + Between(times, wait.span) +
                  (wait.timed_out ? "; the wait ran out" : "; woken") +
                  (tail ? ": the stop signal was missed" : ""));
        if (tail) {
            svg.Rect(left, bar_top + 2, right - left, BAR_HEIGHT - 4,
                     Fill(TAIL_FILL) + " " + Stroke(TIMEOUT_COLOR, 1));
        } else {
            svg.Rect(left, bar_top + (BAR_HEIGHT - WAIT_HEIGHT) / 2, right - left, WAIT_HEIGHT,
                     Fill(WAIT_COLOR));
        }
        svg.Close("g");
        if (wait.timed_out) {
            svg.Open("g", "class=\"timeout\"");
            svg.Title(who + ": a wait in JobFinished ran out at " +
                      Ms(wait.span.end - times.driver_start) + " ms");
            DrawCross(svg, right, bar_top + BAR_HEIGHT / 2, 9, TIMEOUT_COLOR);
            svg.Close("g");
        }
    }
}

void DrawJobBars(const RunModel& model, const CTimeFrame& frame, int t, double bar_top, CSvg& svg) {
    const RunTimes& times = model.times;
    const std::string color = TranslaterColor(t);
    for (std::size_t j = 0; j < model.summary.jobs.size(); ++j) {
        const logcheck::Job& job = model.summary.jobs[j];
        if (job.translater != t) {
            continue;
        }
        const JobTimes& job_times = times.jobs.at(j);
        const double left = frame.X(job_times.work.begin);
        svg.Open("g", "class=\"job\"");
        svg.Title(Who(job.client) + " -> translater " + std::to_string(t) + ": " +
                  std::to_string(job.count) + " letters, served " + Between(times, job_times.work) +
                  "; claimed at " + Ms(job_times.claim - times.driver_start) +
                  " ms, its letters queued " + Ms(MeanQueueWait(times, job_times)) +
                  " ms on average, at most " + Ms(MaxQueueWait(times, job_times)) + " ms");
        svg.Rect(left, bar_top, std::max(0.6, frame.X(job_times.work.end) - left), BAR_HEIGHT,
                 Fill(color));
        svg.Close("g");
    }
    for (const Span& wait : times.translaters.at(t).pop_waits) {
        const double left = frame.X(wait.begin);
        svg.Open("g", "class=\"pop-wait\"");
        svg.Title("translater " + std::to_string(t) + " waits in Pop for a letter " +
                  Between(times, wait));
        svg.Rect(left, bar_top + 1, std::max(0.6, frame.X(wait.end) - left), BAR_HEIGHT - 2,
                 Fill(BACKGROUND, POP_WAIT_OPACITY));
        svg.Close("g");
    }
}

// The queue's depth as a step line under the bar, scaled to the deepest queue.
void DrawQueue(const TranslaterTimes& translater, const CTimeFrame& frame, const Layout& layout,
               int t, double bottom, CSvg& svg) {
    const double unit = QUEUE_HEIGHT / layout.max_depth;
    std::string path = "M" + Num(frame.X(translater.thread.life.begin)) + " " + Num(bottom);
    int deepest = 0;
    for (const QueueDepth& sample : translater.queue) {
        path += " H" + Num(frame.X(sample.at)) + " V" + Num(bottom - unit * sample.depth);
        deepest = std::max(deepest, sample.depth);
    }
    path += " H" + Num(frame.X(translater.thread.life.end)) + " V" + Num(bottom) + " Z";
    const std::string color = TranslaterColor(t);
    svg.Open("g", "class=\"queue\"");
    svg.Title("translater " + std::to_string(t) + "'s queue: at most " + std::to_string(deepest) +
              " characters");
    svg.Empty("path", "d=\"" + path + "\" " + Fill(color, "0.35") + " " + Stroke(color, 0.8));
    svg.Close("g");
    svg.Text(PLOT_LEFT - 14, bottom - 3, "queue: max " + std::to_string(deepest),
             "text-anchor=\"end\" " + SmallFont() + " " + Fill(MUTED_COLOR));
}

void DrawStopSignal(const RunTimes& times, const CTimeFrame& frame,
                    const TranslaterTimes& translater, int t, double bar_top, CSvg& svg) {
    const double x = frame.X(translater.stop_signal);
    const bool caught = translater.at_stop == StopState::kWaiting;
    svg.Open("g", caught ? "class=\"stop-signal caught\"" : "class=\"stop-signal missed\"");
    svg.Title("the driver's stop signal to translater " + std::to_string(t) + " at " +
              Ms(translater.stop_signal - times.driver_start) +
              " ms: " + (caught ? "caught by its wait in JobFinished" : "missed"));
    svg.Line(x, bar_top - 2, x, bar_top + BAR_HEIGHT + 2, Stroke(STOP_COLOR, 1.5));
    svg.MarkDown(x, bar_top, MARK_SIZE,
                 caught ? Fill(STOP_COLOR) : Fill(BACKGROUND) + " " + Stroke(STOP_COLOR, 1.5));
    svg.Close("g");
}

void DrawLabels(const Layout& layout, int t, CSvg& svg) {
    const double bar_top = BarTop(layout, t);
    for (const Label& label : layout.labels.at(t)) {
        DrawLabel(svg, label,
                  bar_top - MARKER_ROOM - 4 - (layout.rows.at(t) - 1 - label.row) * ROW_HEIGHT,
                  t % 2 == 0 ? BACKGROUND : LANE_SHADE);
    }
}

void DrawTranslater(const RunModel& model, const CTimeFrame& frame, const Layout& layout, int t,
                    CSvg& svg) {
    const TranslaterTimes& translater = model.times.translaters.at(t);
    const double bar_top = BarTop(layout, t);
    svg.Open("g", "class=\"translater-lane\" id=\"translater-" + std::to_string(t) + "\"");
    svg.Text(PLOT_LEFT - 14, bar_top + BAR_HEIGHT / 2 + FONT_SIZE / 3,
             "Translater " + std::to_string(t), "text-anchor=\"end\" font-weight=\"bold\"");
    const double middle = bar_top + BAR_HEIGHT / 2;
    svg.Line(frame.X(translater.thread.life.begin), middle, frame.X(translater.thread.life.end),
             middle, Stroke(MUTED_COLOR, 1));
    DrawJobWaits(model.times, frame, translater, t, bar_top, svg);
    DrawJobBars(model, frame, t, bar_top, svg);
    DrawQueue(translater, frame, layout, t, bar_top + BAR_HEIGHT + QUEUE_GAP + QUEUE_HEIGHT, svg);
    svg.Close("g");
}

std::string ClientTitle(const RunTimes& times, int c) {
    const ClientTimes& client = times.clients.at(c);
    std::string title = Who(c) + ": " + Between(times, client.thread.life) + "; claims:";
    for (const ClaimAttempt& claim : client.claims) {
        title += " translater " + std::to_string(claim.translater) +
                 (claim.won ? " won" : " lost") + " at " + Ms(claim.at - times.driver_start) +
                 " ms;";
    }
    return title + (client.give_up != 0 ? " turned away" : " sent its job");
}

void DrawClaims(const ClientTimes& client, const CTimeFrame& frame, double middle, CSvg& svg) {
    for (const ClaimAttempt& claim : client.claims) {
        const double x = frame.X(claim.at);
        if (claim.won) {
            svg.Empty("circle", "class=\"claim won\" cx=\"" + Num(x) + "\" cy=\"" + Num(middle) +
                                    "\" r=\"3.5\" " + Fill(TranslaterColor(claim.translater)) +
                                    " " + Stroke(BACKGROUND, 0.8));
        } else {
            svg.Open("g", "class=\"claim lost\"");
            DrawCross(svg, x, middle, 5, LOST_COLOR);
            svg.Close("g");
        }
    }
}

// Client c in the row at top; label, if not empty, names the row.
void DrawClient(const RunTimes& times, const CTimeFrame& frame, double top, int c,
                const std::string& label, CSvg& svg) {
    const ClientTimes& client = times.clients.at(c);
    const double middle = top + CLIENT_ROW / 2;
    svg.Open("g", "class=\"client-row\" id=\"client-" + std::to_string(c) + "\"");
    svg.Title(ClientTitle(times, c));
    if (!label.empty()) {
        svg.Text(PLOT_LEFT - 14, middle + 4, label, "text-anchor=\"end\" " + SmallFont());
    }
    const double begin = frame.X(client.thread.life.begin);
    svg.Line(begin, middle, frame.X(client.thread.life.end), middle, Stroke(MUTED_COLOR, 0.8));
    for (const ClaimAttempt& claim : client.claims) {
        if (claim.won) {
            const double left = frame.X(claim.at);
            svg.Rect(
                left, middle - CLIENT_BAR / 2, frame.X(client.thread.life.end) - left, CLIENT_BAR,
                "class=\"sending\" " + Fill(TranslaterColor(claim.translater), SENDING_OPACITY));
        }
    }
    DrawPauses(times, frame, client.thread, middle - PAUSE_HEIGHT / 2, Who(c), svg);
    DrawClaims(client, frame, middle, svg);
    if (client.give_up != 0) {
        svg.Open("g", "class=\"turned-away\"");
        svg.MarkDown(frame.X(client.give_up), middle + MARK_SIZE / 2, MARK_SIZE, Fill(AWAY_COLOR));
        svg.Close("g");
    }
    svg.Close("g");
}

// The label of the row that client c begins, or "" if it begins none:
// "c3", or "c0" en dash "24" for a row that several clients share.
std::string RowLabel(int c, int clients) {
    const int per_row = ClientsPerRow(clients);
    const int last = std::min(clients, c + per_row) - 1;
    if (c % per_row != 0) {
        return "";
    }
    return "c" + std::to_string(c) + (c == last ? "" : "\xE2\x80\x93" + std::to_string(last));
}

void DrawClients(const RunTimes& times, const CTimeFrame& frame, const Layout& layout, CSvg& svg) {
    const int clients = static_cast<int>(times.clients.size());
    const int per_row = ClientsPerRow(clients);
    const double label_width = TextWidth(RowLabel(0, clients), SMALL_FONT_SIZE);
    svg.Text(std::min(PLOT_LEFT - 44, PLOT_LEFT - 20 - label_width),
             layout.clients_top + LANE_PADDING + CLIENT_ROW / 2 + 4, "Clients",
             "text-anchor=\"end\" font-weight=\"bold\"");
    for (int c = 0; c < clients; ++c) {
        const int row = c / per_row;
        if (times.clients[c].thread.tid != 0) {
            DrawClient(times, frame, layout.clients_top + LANE_PADDING + row * CLIENT_ROW, c,
                       RowLabel(c, clients), svg);
        }
    }
}

// The stop flag as a dashed rule across every lane, labelled above them.
void DrawStopFlag(const RunTimes& times, const CTimeFrame& frame, const Layout& layout, CSvg& svg) {
    const double x = frame.X(times.driver.stop_flag);
    const std::string label =
        "stop flag set at " + Ms(times.driver.stop_flag - times.driver_start) + " ms";
    const bool on_left = x - 6 - TextWidth(label, FONT_SIZE) >= PLOT_LEFT;
    svg.Open("g", "class=\"stop-flag\"");
    svg.Title(label);
    svg.Line(x, LANES_TOP - 18, x, layout.lanes_bottom,
             Stroke(STOP_COLOR, 1.5) + " stroke-dasharray=\"6 4\"");
    svg.Text(
        on_left ? x - 6 : x + 6, LANES_TOP - 8, label,
        std::string("text-anchor=\"") + (on_left ? "end" : "start") + "\" " + Fill(STOP_COLOR));
    svg.Close("g");
}

}  // namespace

std::string TimeAxisSvg(const RunModel& model) {
    const RunTimes& times = model.times;
    const CTimeFrame frame(Moments(times), times.driver.thread.life);
    const Layout layout = LayOut(model, frame);
    CSvg svg;
    BeginDocument(svg, layout.height, "translaters: one run along time");
    DrawHeading(
        svg, model.summary, "One run of translaters, along time",
        Ms(times.driver.thread.life.Length(), 1) + " ms from the driver's start to its end: ",
        "; the stop flag set at " + Ms(times.driver.stop_flag - times.driver_start, 1) + " ms");
    DrawLegend(svg);
    DrawLaneBackgrounds(layout, svg);
    DrawAxis(times, frame, layout, svg);
    DrawDriver(times, frame, svg);
    const int translaters = model.summary.sizes.translaters;
    for (int t = 0; t < translaters; ++t) {
        DrawTranslater(model, frame, layout, t, svg);
    }
    DrawClients(times, frame, layout, svg);
    DrawBreaks(frame, layout, svg);
    // Over the breaks, so they stay whole.
    for (int t = 0; t < translaters; ++t) {
        DrawLabels(layout, t, svg);
        DrawStopSignal(times, frame, times.translaters.at(t), t, BarTop(layout, t), svg);
    }
    DrawStopFlag(times, frame, layout, svg);
    return EndDocument(svg);
}

}  // namespace report
