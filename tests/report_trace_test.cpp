// translaters-report with a trace: on a run recorded with tools/trace and kept
// under tests/data/trace-run (no root needed), its table's times against the
// trace, its time-axis picture, its Perfetto file, traces that do not fit the
// log, and bad usage;
// and once on a run recorded here and now, where tracing is possible.
//
// The trace is decoded by the shared reader, but every fact the tests check
// the report against is worked out here, from the events, on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "log_checker.h"
#include "process_runner.h"
#include "report_records.h"
#include "report_support.h"
#include "run_trace.h"

namespace {

namespace args = runtrace::args;
using runtrace::Event;
using runtrace::Probe;
using testing_support::Count;
using testing_support::CTempDir;
using testing_support::ExpectRecordsMatchTables;
using testing_support::ExpectRendersWhole;
using testing_support::ReadFile;
using testing_support::ReadRecords;
using testing_support::ReadTables;
using testing_support::Rows;
using testing_support::RSVG_MISSING;
using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunReport;
using testing_support::RunResult;
using testing_support::SplitLines;
using testing_support::WriteFile;

using command_line::EXIT_BROKEN;
using command_line::EXIT_USAGE;
// The table's times have three decimals: half a microsecond of rounding, and
// a mean taken in whole nanoseconds.
const double MS_TOLERANCE = 0.0011;

const std::string SAMPLE = TRACE_SAMPLE_DIR;

// Which events of a probe count: a claim that won, JobFinished returning to
// serve a job, a wait that ran out.
using Which = bool (*)(const Event&);
bool Won(const Event& event) {
    return event.Get<args::Claim>().won == 1;
}
bool Claimed(const Event& event) {
    return event.Get<args::JobReturn>().claimed == 1;
}
bool TimedOut(const Event& event) {
    return event.Get<args::JobWake>().result == runtrace::WAIT_TIMED_OUT;
}

// The first log line whose line event is not its author's; 0 if all fit.
int FirstDifferingLine(const std::string& log, const runtrace::Trace& trace) {
    const std::vector<std::string> lines = SplitLines(log);
    std::vector<int> writers;
    for (const Event& event : trace.events) {
        if (event.probe == Probe::kLine) {
            writers.push_back(event.tid);
        }
    }
    const std::size_t common = std::min(lines.size(), writers.size());
    for (std::size_t n = 0; n < common; ++n) {
        logcheck::Line line;
        const int author = !logcheck::ParseLine(lines[n], line) ? 0
                           : line.client >= 0                   ? trace.threads.Client(line.client)
                           : line.translater >= 0 ? trace.threads.Translater(line.translater)
                                                  : trace.threads.driver;
        if (author != writers[n]) {
            return static_cast<int>(n) + 1;
        }
    }
    return lines.size() == writers.size() ? 0 : static_cast<int>(common) + 1;
}

// What the trace says of the run, in ms from the driver's start, worked out
// here from the events alone.
struct TranslaterFacts {
    double signal = 0;
    double left = 0;
    double serving = 0;
    int waits = 0;
    int timed_out = 0;
    bool caught = false;
    double tail = -1;  // the timed-out last wait after a missed signal
};

// A moment on a thread: its tid and the time in ns.
using At = std::pair<int, long long>;

struct RunFacts {
    std::vector<double> lines;  // per log line
    std::map<int, double> claimed, first_sent, last_sent, paced;
    std::map<int, std::vector<double>> queue_waits;  // client -> its letters' waits
    std::map<int, TranslaterFacts> translaters;
    double stop_flag = 0;
    double run = 0;
    int timeouts = 0;
    std::map<long long, std::vector<long long>> depths;  // by translater, after each step
    std::vector<std::pair<At, At>> handoffs;             // each job's first letter and terminator
};

class CFactFinder {
public:
    explicit CFactFinder(const runtrace::Trace& trace) : m_trace(trace) {
        for (const auto& [c, tid] : trace.threads.clients) {
            m_client_of[tid] = c;
        }
        for (const auto& [t, tid] : trace.threads.translaters) {
            m_translater_of[tid] = t;
        }
        // Times in the table count from the driver's start.
        const auto start =
            std::find_if(trace.events.begin(), trace.events.end(),
                         [](const Event& event) { return event.probe == Probe::kDriverStart; });
        m_start = start != trace.events.end() ? start->ns : 0;
    }

    RunFacts Find() {
        for (const Event& event : m_trace.events) {
            TakeEvent(event);
        }
        for (auto& [id, facts] : m_facts.translaters) {
            FinishStop(m_trace.threads.Translater(id), facts);
        }
        return m_facts;
    }

private:
    double Ms(long long ns) const { return static_cast<double>(ns - m_start) / 1e6; }

    void TakeEvent(const Event& event) {
        const bool client = m_client_of.count(event.tid) != 0;
        const int c = client ? m_client_of.at(event.tid) : -1;
        if (event.probe == Probe::kLine) {
            m_facts.lines.push_back(Ms(event.ns));
        } else if (event.probe == Probe::kClaim && Won(event)) {
            m_facts.claimed[c] = Ms(event.ns);
        } else if (event.probe == Probe::kPush) {
            TakePush(c, event);
        } else if (event.probe == Probe::kPop) {
            const long long t = event.Get<args::Pop>().id;
            std::deque<Queued>& queue = m_queues[t];
            const Queued queued = queue.front();
            queue.pop_front();
            m_facts.depths[t].push_back(static_cast<long long>(queue.size()));
            if (queued.ends_job) {
                m_facts.handoffs.push_back({{queued.tid, queued.push_ns}, {event.tid, event.ns}});
            }
            if (queued.ch != 0) {
                m_facts.queue_waits[queued.client].push_back(
                    static_cast<double>(event.ns - queued.push_ns) / 1e6);
            }
        } else if (event.probe == Probe::kDelayStart && client) {
            m_pause_begin.emplace(c, Ms(event.ns));  // only its first pause counts
        } else if (event.probe == Probe::kDelayEnd && client) {
            m_facts.paced.emplace(c, Ms(event.ns) - m_pause_begin.at(c));
        } else if (event.tid == m_trace.threads.driver) {
            TakeDriver(event);
        } else if (m_translater_of.count(event.tid) != 0) {
            TakeTranslater(m_facts.translaters[m_translater_of.at(event.tid)], event);
        }
    }

    void TakePush(int c, const Event& event) {
        const args::Push& push = event.Get<args::Push>();
        std::deque<Queued>& queue = m_queues[push.id];
        const bool first = m_facts.first_sent.count(c) == 0;
        queue.push_back({event.ns, c, push.ch, event.tid, first || push.ch == 0});
        m_facts.depths[push.id].push_back(static_cast<long long>(queue.size()));
        if (first) {
            m_facts.first_sent[c] = Ms(event.ns);
        }
        if (push.ch != 0) {
            m_facts.last_sent[c] = Ms(event.ns);
        }
    }

    void TakeDriver(const Event& event) {
        if (event.probe == Probe::kStopFlag) {
            m_facts.stop_flag = Ms(event.ns);
        } else if (event.probe == Probe::kDriverEnd) {
            m_facts.run = Ms(event.ns);
        } else if (event.probe == Probe::kStopSignal) {
            m_facts.translaters[static_cast<int>(event.Get<args::StopSignal>().id)].signal =
                Ms(event.ns);
        }
    }

    void TakeTranslater(TranslaterFacts& facts, const Event& event) {
        if (event.probe == Probe::kJobWait) {
            ++facts.waits;
            m_wait_begin[event.tid] = Ms(event.ns);
        } else if (event.probe == Probe::kJobWake) {
            const bool out = TimedOut(event);
            facts.timed_out += out ? 1 : 0;
            m_facts.timeouts += out ? 1 : 0;
            m_last_wait[event.tid] = {m_wait_begin[event.tid], Ms(event.ns), out ? 1.0 : 0.0};
        } else if (event.probe == Probe::kJobReturn && Claimed(event)) {
            m_work_begin[event.tid] = Ms(event.ns);
        } else if (event.probe == Probe::kJobReturn) {
            facts.left = Ms(event.ns);
        } else if (event.probe == Probe::kRelease) {
            facts.serving += Ms(event.ns) - m_work_begin[event.tid];
        }
    }

    void FinishStop(int tid, TranslaterFacts& facts) {
        const std::array<double, 3>& last = m_last_wait.at(tid);
        facts.caught = last[0] <= facts.signal && facts.signal <= last[1];
        if (last[2] == 1.0 && !facts.caught) {
            facts.tail = last[1] - last[0];
        }
    }

    struct Queued {
        long long push_ns;
        int client;
        long long ch;
        int tid;
        bool ends_job;  // a job's first letter or its terminator
    };

    const runtrace::Trace& m_trace;
    std::map<int, int> m_client_of;
    std::map<int, int> m_translater_of;
    long long m_start = 0;
    RunFacts m_facts;
    std::map<long long, std::deque<Queued>> m_queues;
    std::map<int, double> m_pause_begin;
    std::map<int, double> m_wait_begin;
    std::map<int, double> m_work_begin;
    std::map<int, std::array<double, 3>> m_last_wait;  // begin, end, timed out
};

double Cell(const std::vector<std::string>& row, std::size_t i) {
    return std::stod(row.at(i));
}

double Mean(const std::vector<double>& values) {
    double total = 0;
    for (const double value : values) {
        total += value;
    }
    return total / static_cast<double>(values.size());
}

void ExpectJobTimes(const Rows& jobs, const Rows& plain_jobs, const RunFacts& facts) {
    ASSERT_EQ(jobs.size(), plain_jobs.size());
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const std::vector<std::string>& row = jobs[j];
        ASSERT_EQ(row.size(), 11U);
        // The log's columns are those of the report without a trace.
        EXPECT_EQ(std::vector<std::string>(row.begin(), row.begin() + 5), plain_jobs[j]);
        const int client = std::stoi(row[0]);
        SCOPED_TRACE("the job of client " + row[0]);
        EXPECT_NEAR(Cell(row, 5), facts.claimed.at(client), MS_TOLERANCE);
        EXPECT_NEAR(Cell(row, 6), facts.first_sent.at(client), MS_TOLERANCE);
        EXPECT_NEAR(Cell(row, 7), facts.last_sent.at(client), MS_TOLERANCE);
        EXPECT_NEAR(Cell(row, 8), facts.lines.at(std::stoi(row[4]) - 1), MS_TOLERANCE);
        const std::vector<double>& waits = facts.queue_waits.at(client);
        EXPECT_EQ(static_cast<int>(waits.size()), std::stoi(row[2]));
        EXPECT_NEAR(Cell(row, 9), Mean(waits), MS_TOLERANCE);
        EXPECT_NEAR(Cell(row, 10), *std::max_element(waits.begin(), waits.end()), MS_TOLERANCE);
    }
}

void ExpectTurnedAwayTimes(const Rows& away, const RunFacts& facts) {
    for (const std::vector<std::string>& row : away) {
        ASSERT_EQ(row.size(), 4U);
        SCOPED_TRACE("client " + row[0] + ", turned away");
        EXPECT_NEAR(Cell(row, 2), facts.paced.at(std::stoi(row[0])), MS_TOLERANCE);
        EXPECT_NEAR(Cell(row, 3), facts.lines.at(std::stoi(row[1]) - 1), MS_TOLERANCE);
    }
}

void ExpectTranslaterTimes(const Rows& spent, const Rows& stop, const logcheck::Sizes& sizes,
                           const RunFacts& facts) {
    ASSERT_EQ(spent.size(), static_cast<std::size_t>(sizes.translaters));
    ASSERT_EQ(stop.size(), static_cast<std::size_t>(sizes.translaters));
    for (int t = 0; t < sizes.translaters; ++t) {
        SCOPED_TRACE("translater " + std::to_string(t));
        const TranslaterFacts& translater = facts.translaters.at(t);
        ASSERT_EQ(spent[t].size(), 6U);
        EXPECT_NEAR(Cell(spent[t], 1), translater.serving, MS_TOLERANCE);
        EXPECT_EQ(std::stoi(spent[t][4]), translater.waits);
        EXPECT_EQ(std::stoi(spent[t][5]), translater.timed_out);
        ASSERT_EQ(stop[t].size(), 6U);
        EXPECT_NEAR(Cell(stop[t], 1), translater.signal, MS_TOLERANCE);
        EXPECT_EQ(stop[t][3], translater.caught ? "caught" : "missed");
        EXPECT_EQ(stop[t][2] == "waiting", translater.caught) << stop[t][2];
        EXPECT_NEAR(Cell(stop[t], 4), translater.left, MS_TOLERANCE);
        if (translater.tail < 0) {
            EXPECT_EQ(stop[t][5], "-");
        } else {
            EXPECT_NEAR(Cell(stop[t], 5), translater.tail, MS_TOLERANCE);
        }
    }
}

// A run recorded with tools/trace: its log, its trace, and the sizes of the
// build that ran it, with the report's options that name them.
struct Recorded {
    std::string log;
    std::string trace_path;
    runtrace::Trace trace;
    logcheck::Sizes sizes;
    std::vector<std::string> size_args;

    // translaters-report on the log, told the run's sizes.
    RunResult Report(std::vector<std::string> args) const {
        args.insert(args.end(), size_args.begin(), size_args.end());
        return RunReport(log, args);
    }
};

// Reads the run recorded in dir: out, trace.tsv, and the sizes of the build
// that ran it, as tools/trace writes them (NAME=VALUE a line).
Recorded LoadRecorded(const std::string& dir) {
    Recorded run;
    run.log = ReadFile(dir + "/out");
    run.trace_path = dir + "/trace.tsv";
    std::map<std::string, int> recorded;
    std::istringstream lines(ReadFile(dir + "/sizes"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            recorded[line.substr(0, equals)] =
                static_cast<int>(std::strtol(line.c_str() + equals + 1, nullptr, 10));
        }
    }
    logcheck::Sizes& sizes = run.sizes;
    const bool has_sizes = recorded.count("NUM_TRANSLATERS") != 0 &&
                           recorded.count("NUM_CLIENTS") != 0 && recorded.count("MAX_CHARS") != 0;
    if (has_sizes) {
        sizes.translaters = recorded["NUM_TRANSLATERS"];
        sizes.clients = recorded["NUM_CLIENTS"];
        sizes.max_chars = recorded["MAX_CHARS"];
        run.size_args = {"--translaters", std::to_string(sizes.translaters),
                         "--clients",     std::to_string(sizes.clients),
                         "--max-chars",   std::to_string(sizes.max_chars)};
    }
    const logcheck::CStatus parsed =
        runtrace::ParseTrace(ReadFile(run.trace_path), run.trace, run.sizes);
    EXPECT_TRUE(parsed.Ok()) << parsed.Message();
    EXPECT_EQ(ReadFile(dir + "/status"), "0\n");
    return run;
}

// The whole table with a trace, against the trace read here and the table
// the report makes of the log alone.
void ExpectTableMatchesTrace(const Recorded& run) {
    const RunResult plain = run.Report({});
    const RunResult timed = run.Report({"--trace", run.trace_path});
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    ASSERT_EQ(timed.exit_status, 0) << timed.err;
    EXPECT_EQ(timed.err, "");
    const RunFacts facts = CFactFinder(run.trace).Find();
    std::map<std::string, Rows> tables = ReadTables(timed.out);
    std::map<std::string, Rows> plain_tables = ReadTables(plain.out);
    ExpectJobTimes(tables["Jobs,"], plain_tables["Jobs,"], facts);
    ExpectTurnedAwayTimes(tables["Clients"], facts);
    ASSERT_EQ(tables["Clients"].size(), plain_tables["Clients"].size());
    ExpectTranslaterTimes(tables["How"], tables["The"], run.sizes, facts);

    std::smatch m;
    static const std::regex RUN(R"(run: ([0-9.]+) ms from .* stop flag set at ([0-9.]+) ms)");
    ASSERT_TRUE(std::regex_search(timed.out, m, RUN)) << timed.out;
    EXPECT_NEAR(std::stod(m[1]), facts.run, MS_TOLERANCE);
    EXPECT_NEAR(std::stod(m[2]), facts.stop_flag, MS_TOLERANCE);

    // The same as records; the run's: its times after the log's columns, and
    // an offered load that is its two factors' product.
    const RunResult records = run.Report({"--trace", run.trace_path, "--format", "tsv"});
    ASSERT_EQ(records.exit_status, 0) << records.err;
    ExpectRecordsMatchTables(timed.out, records.out, true, run.sizes.translaters);
    const Rows runs = ReadRecords(records.out, true)[records::RUN.name].rows;
    ASSERT_EQ(runs.size(), 1U);
    const std::size_t times = records::RUN.columns.size();  // run_ms, stop_flag_ms, the load
    EXPECT_NEAR(Cell(runs[0], times), facts.run, MS_TOLERANCE);
    EXPECT_NEAR(Cell(runs[0], times + 1), facts.stop_flag, MS_TOLERANCE);
    // A run that cannot measure its load (a single client) leaves those cells
    // empty, as its table leaves out the line.
    const bool measured = timed.out.find("offered load: ") != std::string::npos;
    ASSERT_EQ(runs[0].at(times + 2).empty(), !measured) << records.out;
    if (measured) {
        EXPECT_NEAR(Cell(runs[0], times + 2), Cell(runs[0], times + 3) * Cell(runs[0], times + 4),
                    1e-3 * Cell(runs[0], times + 2));
    }
}

// The run recorded under tests/data/trace-run.
Recorded LoadSample() {
    Recorded sample = LoadRecorded(SAMPLE);
    EXPECT_GT(sample.trace.events.size(), 1000U) << "no sample trace in " << SAMPLE;
    return sample;
}

TEST(ReportTraceSample, TableTimesMatchTheTrace) {
    const Recorded sample = LoadSample();
    ASSERT_FALSE(sample.trace.events.empty());
    // The sample has what the tables must get right: a client that lost a
    // claim before it won one, a translater with two jobs, a wait that ran out.
    const RunFacts facts = CFactFinder(sample.trace).Find();
    ASSERT_GE(facts.timeouts, 1);
    ExpectTableMatchesTrace(sample);
}

int CountProbe(const std::vector<Event>& events, Probe probe, Which which = nullptr) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& event) {
        return event.probe == probe && (which == nullptr || which(event));
    }));
}

// The x of each element of a class, in the order drawn, read from the first
// x, x1 or cx attribute after the class.
std::vector<double> XsOf(const std::string& svg, const std::string& css_class) {
    const std::regex ELEMENT("class=\"" + css_class + "\"[\\s\\S]*?(?:x|x1|cx)=\"([0-9.]+)\"");
    std::vector<double> xs;
    for (std::sregex_iterator m(svg.begin(), svg.end(), ELEMENT), end; m != end; ++m) {
        xs.push_back(std::stod((*m)[1]));
    }
    return xs;
}

// The picture has an element of each kind for each thing of that kind in the
// trace, in the order of time, and renders as a whole picture.
void ExpectTimeAxisSvg(const std::string& svg_path, const Recorded& run) {
    const std::string rsvg = RSVG_CONVERT;
    ASSERT_NE(rsvg, "") << RSVG_MISSING;
    const std::string svg = ReadFile(svg_path);
    const std::vector<Event>& events = run.trace.events;
    const int jobs = CountProbe(events, Probe::kJobReturn, Claimed);
    EXPECT_EQ(Count(svg, "class=\"translater-lane\""), run.sizes.translaters);
    EXPECT_EQ(Count(svg, "class=\"client-row\""), run.sizes.clients);
    EXPECT_EQ(Count(svg, "class=\"stop-flag\""), 1);
    EXPECT_EQ(Count(svg, "class=\"stop-signal "), run.sizes.translaters);
    EXPECT_EQ(Count(svg, "class=\"job\""), jobs);
    EXPECT_EQ(Count(svg, "class=\"job-wait"), CountProbe(events, Probe::kJobWait));
    EXPECT_EQ(Count(svg, "class=\"pop-wait\""), CountProbe(events, Probe::kPopWait));
    EXPECT_EQ(Count(svg, "class=\"timeout\""), CountProbe(events, Probe::kJobWake, TimedOut));
    EXPECT_EQ(Count(svg, "class=\"claim "), CountProbe(events, Probe::kClaim));
    EXPECT_EQ(Count(svg, "class=\"claim won\""), CountProbe(events, Probe::kClaim, Won));
    // The pauses of the driver and the clients; a translater's are part of its jobs.
    std::set<int> translaters;
    for (const auto& [t, tid] : run.trace.threads.translaters) {
        translaters.insert(tid);
    }
    const int translater_pauses = static_cast<int>(
        std::count_if(events.begin(), events.end(), [&translaters](const Event& e) {
            return e.probe == Probe::kDelayEnd && translaters.count(e.tid) != 0;
        }));
    EXPECT_EQ(Count(svg, "class=\"pause\""),
              CountProbe(events, Probe::kDelayEnd) - translater_pauses);
    EXPECT_EQ(Count(svg, "class=\"turned-away\""), run.sizes.clients - jobs);
    const RunFacts facts = CFactFinder(run.trace).Find();
    std::ostringstream stop_flag;
    stop_flag << "<title>stop flag set at " << std::fixed << std::setprecision(3) << facts.stop_flag
              << " ms</title>";
    EXPECT_EQ(Count(svg, stop_flag.str()), 1) << stop_flag.str();
    // Along time: every claim that won before the stop flag, which is set only
    // once every client has ended. (A translater may begin to serve a claim
    // after it: one that got the CPU late.)
    const std::vector<double> flag = XsOf(svg, "stop-flag");
    for (const double claim : XsOf(svg, "claim won")) {
        EXPECT_LT(claim, flag.at(0));
    }
    CTempDir dir;
    ExpectRendersWhole(rsvg, svg_path, dir);
}

TEST(ReportTraceSample, TimeAxisSvgShowsTheTraceAndRenders) {
    const Recorded sample = LoadSample();
    ASSERT_FALSE(sample.trace.events.empty());
    CTempDir dir;
    const std::string svg_path = dir.File("time.svg");
    const RunResult report =
        sample.Report({"--trace", sample.trace_path, "--svg", svg_path, "--axis", "time"});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectTimeAxisSvg(svg_path, sample);
    // The line axis stays the default, with or without a trace.
    const std::string line_path = dir.File("line.svg");
    ASSERT_EQ(sample.Report({"--trace", sample.trace_path, "--svg", line_path}).exit_status, 0);
    const std::string line_only = dir.File("line-only.svg");
    ASSERT_EQ(sample.Report({"--svg", line_only}).exit_status, 0);
    EXPECT_EQ(ReadFile(line_path), ReadFile(line_only));
}

// One event of a Perfetto file.
struct JsonEvent {
    char phase = 0;
    int tid = 0;
    long long ns = 0;  // from the trace's first event
    long long dur = 0;
    long long id = -1;             // a flow's
    long long value = -1;          // a counter's
    bool binds_enclosing = false;  // a flow's end, "bp":"e"
    std::string name;
};

// The events of a Perfetto file, read by Python's json module (which fails on
// a file that is not JSON of the trace-event format, in ms), a line each.
std::vector<JsonEvent> ReadJsonEvents(const std::string& json_path) {
    RunOptions options;
    options.args = {"-c",
                    "import json, sys\n"
                    "d = json.load(open(sys.argv[1]))\n"
                    "assert d['displayTimeUnit'] == 'ms' and d['traceEvents']\n"
                    "for e in d['traceEvents']:\n"
                    "    print(e['ph'], e['tid'], round(e.get('ts', 0) * 1000),\n"
                    "          round(e.get('dur', 0) * 1000), e.get('id', -1),\n"
                    "          e.get('args', {}).get('letters', -1), int(e.get('bp') == 'e'),\n"
                    "          e['name'])",
                    json_path};
    const RunResult read = RunProgram(PYTHON3, options);
    EXPECT_EQ(read.exit_status, 0) << "not trace-event JSON: " << read.err;
    std::vector<JsonEvent> events;
    for (const std::string& line : SplitLines(read.out)) {
        std::istringstream fields(line);
        JsonEvent event;
        fields >> event.phase >> event.tid >> event.ns >> event.dur >> event.id >> event.value >>
            event.binds_enclosing >> std::ws;
        std::getline(fields, event.name);
        events.push_back(event);
    }
    return events;
}

// The slices of a thread: begin and end.
using Slices = std::vector<std::pair<long long, long long>>;

// Slices of one thread either nest or are apart; none ends before it starts.
void ExpectNested(int tid, Slices slices) {
    std::sort(slices.begin(), slices.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second > b.second;
    });
    std::vector<long long> open;  // the ends of the slices around the next one
    for (const auto& [begin, end] : slices) {
        EXPECT_LE(begin, end) << "thread " << tid << ": a slice ends before it starts";
        while (!open.empty() && open.back() <= begin) {
            open.pop_back();
        }
        EXPECT_TRUE(open.empty() || end <= open.back())
            << "thread " << tid << ": slice [" << begin << ", " << end << "] ns overlaps another";
        open.push_back(end);
    }
}

// The Perfetto file: trace-event JSON, every thread named, its slices nested, each flow one start
// and one end ("bp":"e"), no earlier, each inside a slice of its own thread. And against the trace
// it was made from: an instant at each claim, stop signal and wait that ran out; each queue's
// counter going through the depths its pushes and pops give (from 0, back to 0); a flow from the
// push of each job's first letter and of its terminator to their pops.
void ExpectPerfettoFile(const std::string& json_path, const Recorded& run) {
    const std::vector<Event>& events = run.trace.events;
    const long long first = events.front().ns;
    std::set<int> named;
    std::set<std::pair<int, long long>> instants;
    std::map<std::string, std::vector<long long>> counters;
    std::map<int, Slices> slices;
    std::map<long long, std::vector<JsonEvent>> flows;  // by id: its start and its end
    for (const JsonEvent& event : ReadJsonEvents(json_path)) {
        if (event.phase == 'M' && event.name == "thread_name") {
            named.insert(event.tid);
        } else if (event.phase == 'i') {
            instants.emplace(event.tid, event.ns);
        } else if (event.phase == 'C') {
            counters[event.name].push_back(event.value);  // written in order of time
        } else if (event.phase == 'X') {
            slices[event.tid].emplace_back(event.ns, event.ns + event.dur);
        } else if (event.phase == 's' || event.phase == 'f') {
            flows[event.id].push_back(event);
        }
    }
    std::set<std::pair<std::pair<int, long long>, std::pair<int, long long>>> connected;
    for (const auto& [id, ends] : flows) {
        ASSERT_EQ(ends.size(), 2u) << "flow " << id;
        const JsonEvent& start = ends[0].phase == 's' ? ends[0] : ends[1];
        const JsonEvent& finish = ends[0].phase == 's' ? ends[1] : ends[0];
        EXPECT_TRUE(start.phase == 's' && finish.phase == 'f' && finish.binds_enclosing) << id;
        EXPECT_LE(start.ns, finish.ns) << "flow " << id;
        for (const JsonEvent& end : ends) {
            const Slices& around = slices[end.tid];
            EXPECT_TRUE(std::any_of(around.begin(), around.end(),
                                    [&end](const auto& slice) {
                                        return slice.first <= end.ns && end.ns <= slice.second;
                                    }))
                << "flow " << id << " ends in no slice of thread " << end.tid;
        }
        connected.insert({{start.tid, start.ns}, {finish.tid, finish.ns}});
    }
    for (const auto& [tid, thread_slices] : slices) {
        EXPECT_EQ(named.count(tid), 1u) << "thread " << tid << " has no thread_name";
        ExpectNested(tid, thread_slices);
    }
    for (const Event& event : events) {
        EXPECT_EQ(named.count(event.tid), 1u) << "thread " << event.tid << " has no thread_name";
        if (event.probe == Probe::kClaim || event.probe == Probe::kStopSignal ||
            (event.probe == Probe::kJobWake && TimedOut(event))) {
            EXPECT_EQ(instants.count({event.tid, event.ns - first}), 1u)
                << "no instant for the " << event.Name() << " of thread " << event.tid;
        }
    }
    RunFacts facts = CFactFinder(run.trace).Find();
    for (const auto& [push, pop] : facts.handoffs) {
        EXPECT_EQ(
            connected.count({{push.first, push.second - first}, {pop.first, pop.second - first}}),
            1u)
            << "no flow from thread " << push.first << " to thread " << pop.first << " at "
            << pop.second - first;
    }
    for (int t = 0; t < run.sizes.translaters; ++t) {
        std::vector<long long> expected = {0};
        expected.insert(expected.end(), facts.depths[t].begin(), facts.depths[t].end());
        EXPECT_EQ(counters["queue of translater " + std::to_string(t)], expected)
            << "translater " << t << "'s queue counter";
    }
}

TEST(ReportTraceSample, PerfettoFileParsesNestsAndConnects) {
    const Recorded sample = LoadSample();
    ASSERT_FALSE(sample.trace.events.empty());
    CTempDir dir;
    const std::string json_path = dir.File("run.json");
    const RunResult report = sample.Report({"--trace", sample.trace_path, "--perfetto", json_path});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectPerfettoFile(json_path, sample);
    // One thread_name per thread: the driver, the translaters and the clients.
    EXPECT_EQ(Count(ReadFile(json_path), "\"name\":\"thread_name\""),
              1 + sample.sizes.translaters + sample.sizes.clients);
}

// The sample's trace without the first event of the probe that matches.
std::vector<Event> WithoutFirst(const std::vector<Event>& events, Probe probe,
                                Which which = nullptr) {
    std::vector<Event> left = events;
    const auto first = std::find_if(left.begin(), left.end(), [&](const Event& event) {
        return event.probe == probe && (which == nullptr || which(event));
    });
    if (first != left.end()) {
        left.erase(first);
    }
    return left;
}

// The sample's trace without the one push that a translater waiting in Pop
// woke for: the queue was empty before it and holds only it at the pop.
std::vector<Event> WithoutPushAfterPopWait(const std::vector<Event>& events) {
    std::vector<Event> left = events;
    for (auto wait = left.begin(); wait != left.end(); ++wait) {
        if (wait->probe != Probe::kPopWait) {
            continue;
        }
        const long long translater = wait->Get<args::PopWait>().id;
        const auto on_queue = [translater](const Event& event) {
            return (event.probe == Probe::kPush && event.Get<args::Push>().id == translater) ||
                   (event.probe == Probe::kPop && event.Get<args::Pop>().id == translater);
        };
        const auto push = std::find_if(wait, left.end(), on_queue);
        if (push == left.end()) {
            break;
        }
        const auto next = std::find_if(push + 1, left.end(), on_queue);
        if (push->probe == Probe::kPush && next != left.end() && next->probe == Probe::kPop) {
            left.erase(push);
            return left;
        }
    }
    ADD_FAILURE() << "the sample has no pop that waited for a single push";
    return left;
}

void ExpectRefused(const Recorded& run, const std::string& log, const std::vector<Event>& events,
                   const std::string& said) {
    CTempDir dir;
    const std::string trace_path = dir.File("trace.tsv");
    const std::string svg_path = dir.File("run.svg");
    WriteFile(trace_path, runtrace::FormatTrace(events));
    std::vector<std::string> args = {"--trace", trace_path, "--svg", svg_path};
    args.insert(args.end(), run.size_args.begin(), run.size_args.end());
    const RunResult report = RunReport(log, args);
    EXPECT_EQ(report.exit_status, EXIT_BROKEN) << report.out;
    EXPECT_EQ(report.out, "");
    EXPECT_EQ(ReadFile(svg_path), "") << "a picture of a run the trace does not fit";
    EXPECT_NE(report.err.find("does not fit the log"), std::string::npos) << report.err;
    EXPECT_NE(report.err.find(said), std::string::npos) << report.err;
}

// A trace whose line events do not fit the log is refused, naming the first
// line that differs: one line event dropped (at the start, in the middle, at
// the end), or the trace of another run.
TEST(ReportTraceSample, TraceOfAnotherLogRefusedNamingTheLine) {
    const Recorded sample = LoadSample();
    ASSERT_FALSE(sample.trace.events.empty());
    const int lines = CountProbe(sample.trace.events, Probe::kLine);
    for (const int dropped : {0, lines / 3, lines / 2, lines - 1}) {
        SCOPED_TRACE("line event " + std::to_string(dropped + 1) + " dropped");
        runtrace::Trace shifted = sample.trace;
        int seen = 0;
        shifted.events.erase(std::find_if(
            shifted.events.begin(), shifted.events.end(),
            [&](const Event& event) { return event.probe == Probe::kLine && seen++ == dropped; }));
        const int differing = FirstDifferingLine(sample.log, shifted);
        ASSERT_GT(differing, dropped);
        ExpectRefused(sample, sample.log, shifted.events,
                      "line " + std::to_string(differing) + ": ");
    }
    const logcheck::Sizes built;
    if (sample.sizes.translaters == built.translaters && sample.sizes.clients == built.clients &&
        sample.sizes.max_chars == built.max_chars) {  // another run, where this build can make one
        RunOptions options;
        const RunResult other = RunProgram(TRANSLATERS_EXE, options);
        ASSERT_EQ(other.exit_status, 0) << other.err;
        const int differing = FirstDifferingLine(other.out, sample.trace);
        ASSERT_GT(differing, 0) << "the new run's log fits the old run's trace line for line";
        SCOPED_TRACE("another run's log");
        ExpectRefused(sample, other.out, sample.trace.events,
                      "line " + std::to_string(differing) + ": ");
    }
}

// The client's first letter made 'z' (never sent: the letters are 'a'-'y' and
// 'A'-'Y') where it is pushed and where it is popped, so that the trace still
// fits itself and only the log disagrees.
std::vector<Event> FirstLetterChanged(const runtrace::Trace& trace, int client) {
    std::vector<Event> changed = trace.events;
    const int tid = trace.threads.Client(client);
    long long translater = -1;
    std::size_t ahead = 0;  // characters queued before it
    std::map<long long, std::size_t> queued;
    for (Event& event : changed) {
        if (event.probe == Probe::kPush && translater < 0 && event.tid == tid) {
            translater = event.Get<args::Push>().id;
            ahead = queued[translater];
            event.Get<args::Push>().ch = 'z';
        } else if (event.probe == Probe::kPush) {
            ++queued[event.Get<args::Push>().id];
        } else if (event.probe == Probe::kPop && event.Get<args::Pop>().id == translater &&
                   ahead-- == 0) {
            event.Get<args::Pop>().ch = 'z';
            break;
        }
    }
    return changed;
}

// Line events that fit the log, but steps that do not fit it or each other:
// each is refused, the tool neither crashing nor drawing a wrong picture.
TEST(ReportTraceSample, TraceThatContradictsItselfRefused) {
    const Recorded sample = LoadSample();
    const std::vector<Event>& events = sample.trace.events;
    ASSERT_FALSE(events.empty());
    for (const Probe probe :
         {Probe::kPush, Probe::kPop, Probe::kJobWait, Probe::kJobWake, Probe::kPopWait,
          Probe::kPopWake, Probe::kRelease, Probe::kDelayStart, Probe::kDelayEnd}) {
        SCOPED_TRACE(std::string("the first ") + runtrace::ProbeName(probe) + " dropped");
        ExpectRefused(sample, sample.log, WithoutFirst(events, probe), "");
    }
    {
        SCOPED_TRACE("the first claim that won dropped");
        ExpectRefused(sample, sample.log, WithoutFirst(events, Probe::kClaim, Won), "");
    }
    {
        SCOPED_TRACE("a translater's pop naming another translater");
        std::vector<Event> changed = events;
        Event& pop = *std::find_if(changed.begin(), changed.end(),
                                   [](const Event& event) { return event.probe == Probe::kPop; });
        long long& t = pop.Get<args::Pop>().id;
        t = (t + 1) % sample.sizes.translaters;
        ExpectRefused(sample, sample.log, changed, "fired by translater");
    }
    {
        // Its pop then finds the queue empty.
        SCOPED_TRACE("the push a translater waiting in Pop woke for dropped");
        ExpectRefused(sample, sample.log, WithoutPushAfterPopWait(events), "from an empty queue");
    }
    // A letter other than the log has it sent: refused at that letter's line.
    const int client = 6;  // in the sample, its first claim lost
    const logcheck::Result checked = logcheck::CheckRun(sample.log, "", 0, sample.sizes);
    const auto job = std::find_if(checked.summary.jobs.begin(), checked.summary.jobs.end(),
                                  [](const logcheck::Job& job) { return job.client == client; });
    ASSERT_NE(job, checked.summary.jobs.end());
    ExpectRefused(sample, sample.log, FirstLetterChanged(sample.trace, client),
                  "line " + std::to_string(job->first_letter_line) + ": ");
}

TEST(ReportTraceSample, UsageErrors) {
    const Recorded sample = LoadSample();
    ASSERT_FALSE(sample.trace.events.empty());
    const std::string trace = sample.trace_path;
    const std::vector<std::vector<std::string>> usage_errors = {
        {"--svg", "run.svg", "--axis", "time"},
        {"--perfetto", "run.json"},
        {"--svg", "run.svg", "--axis", "lines", "--trace", trace},
        {"--svg", "run.svg", "--axis"},
        {"--axis", "line"},
        {"--trace"},
        {"--perfetto", "", "--trace", trace},
        {"--clients", "0"},
        {"--translaters"},
    };
    for (const std::vector<std::string>& args : usage_errors) {
        std::string joined;
        for (const std::string& arg : args) {
            joined += " '" + arg + "'";
        }
        SCOPED_TRACE(joined);
        const RunResult result = RunReport(sample.log, args);
        EXPECT_EQ(result.exit_status, EXIT_USAGE);
        EXPECT_NE(result.err.find("usage: translaters-report"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const RunResult missing = sample.Report({"--trace", SAMPLE + "/no-such-trace.tsv"});
    EXPECT_EQ(missing.exit_status, EXIT_USAGE);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    const RunResult garbage = sample.Report({"--trace", SAMPLE + "/out"});
    EXPECT_EQ(garbage.exit_status, EXIT_BROKEN);
    EXPECT_NE(garbage.err.find("trace line 1: not an event"), std::string::npos) << garbage.err;
    const RunResult help = RunReport("", {"--help"});
    for (const char* option : {"--trace FILE", "--axis time", "--perfetto FILE", "--clients N"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

// Records a run here with tools/trace and puts it through every writer.
// Without the means to trace it skips, saying why, except in CI, which has
// them (tools/install-deps installs bpftrace; CI runs as root).
TEST(ReportLiveTrace, FreshRecordedRun) {
    RunOptions options;
    options.args = {"--check", "--program", TRANSLATERS_EXE};
    options.timeout_seconds = 90;
    const RunResult check = RunProgram(TRACE_TOOL, options);
    const char* ci = std::getenv("CI");
    if (check.exit_status != 0) {
        const std::string reason = "tracing is not possible here: " + check.err + check.out;
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << reason << "(CI must be able to trace)";
        }
        GTEST_SKIP() << reason;
    }
    CTempDir dir;
    const std::string run_dir = dir.Path() + "/run";
    options.args = {"--program", TRANSLATERS_EXE, run_dir};
    const RunResult recorded = RunProgram(TRACE_TOOL, options);
    ASSERT_EQ(recorded.exit_status, 0) << recorded.err;
    const Recorded run = LoadRecorded(run_dir);
    ExpectTableMatchesTrace(run);
    const std::string svg_path = dir.File("time.svg");
    const std::string json_path = dir.File("run.json");
    const RunResult report = run.Report(
        {"--trace", run.trace_path, "--svg", svg_path, "--axis", "time", "--perfetto", json_path});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectTimeAxisSvg(svg_path, run);
    ExpectPerfettoFile(json_path, run);
}

}  // namespace
