// translaters-report with a trace: on a run recorded with tools/trace and kept
// under tests/data/trace-run (no root needed), its table's times against the
// trace, its time-axis picture, its Perfetto file through perfetto_check.py,
// traces that do not fit the log, and bad usage; and once on a run recorded
// here and now, where tracing is possible.
//
// The trace is read here on its own, line by line, so a fault in how the tool
// reads it or joins it with the log shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "process_runner.h"
#include "report_support.h"

namespace {

using testing_support::Count;
using testing_support::CTempDir;
using testing_support::ExpectRendersWhole;
using testing_support::ReadFile;
using testing_support::RSVG_MISSING;
using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunReport;
using testing_support::RunResult;
using testing_support::SplitLines;
using testing_support::WriteFile;

const int NUM_TRANSLATERS = 3;
const int NUM_CLIENTS = 30;
const long long TIMED_OUT = 110;  // ETIMEDOUT
const double RUN_TIMEOUT_SECONDS = 30;
const int EXIT_MISMATCH = 1;
const int EXIT_USAGE = 2;
// The table's times have three decimals: half a microsecond of rounding, and
// a mean taken in whole nanoseconds.
const double MS_TOLERANCE = 0.0011;

const std::string SAMPLE = TRACE_SAMPLE_DIR;

struct Event {
    long long ns = 0;
    int tid = 0;
    std::string probe;
    std::vector<long long> args;
};

std::vector<Event> ReadEvents(const std::string& tsv) {
    std::vector<Event> events;
    for (const std::string& line : SplitLines(tsv)) {
        std::istringstream fields(line);
        Event event;
        fields >> event.ns >> event.tid >> event.probe;
        for (long long arg = 0; fields >> arg;) {
            event.args.push_back(arg);
        }
        events.push_back(event);
    }
    return events;
}

std::string WriteEvents(const std::vector<Event>& events) {
    std::string tsv;
    for (const Event& event : events) {
        tsv += std::to_string(event.ns) + "\t" + std::to_string(event.tid) + "\t" + event.probe;
        for (const long long arg : event.args) {
            tsv += "\t" + std::to_string(arg);
        }
        tsv += "\n";
    }
    return tsv;
}

// Which thread is which, from the probes that start them.
struct Threads {
    int driver = 0;
    std::map<int, int> translaters;  // ID -> tid
    std::map<int, int> clients;      // index -> tid
};

Threads NameThreads(const std::vector<Event>& events) {
    Threads threads;
    for (const Event& event : events) {
        if (event.probe == "driver_start") {
            threads.driver = event.tid;
        } else if (event.probe == "translater_start") {
            threads.translaters[static_cast<int>(event.args.at(0))] = event.tid;
        } else if (event.probe == "client_start") {
            threads.clients[static_cast<int>(event.args.at(0))] = event.tid;
        }
    }
    return threads;
}

// The number after prefix at the start of text, or -1.
int IndexAfter(const std::string& text, const std::string& prefix) {
    std::smatch m;
    const std::regex NUMBER("^" + prefix + "(\\d+)");
    return std::regex_search(text, m, NUMBER) ? std::stoi(m[1]) : -1;
}

// The thread that writes a line of the log, by its text; 0 if none.
int Author(const std::string& line, const Threads& threads) {
    if (line.rfind("All ", 0) == 0) {
        return threads.driver;
    }
    const int translater = IndexAfter(line, "Translater ");
    if (translater >= 0) {
        return threads.translaters.count(translater) != 0 ? threads.translaters.at(translater) : 0;
    }
    const int client = IndexAfter(line, "Client ");
    return threads.clients.count(client) != 0 ? threads.clients.at(client) : 0;
}

// The first log line whose line event is not its author's; 0 if all fit.
int FirstDifferingLine(const std::string& log, const std::vector<Event>& events) {
    const Threads threads = NameThreads(events);
    const std::vector<std::string> lines = SplitLines(log);
    std::vector<int> writers;
    for (const Event& event : events) {
        if (event.probe == "line") {
            writers.push_back(event.tid);
        }
    }
    const std::size_t common = std::min(lines.size(), writers.size());
    for (std::size_t n = 0; n < common; ++n) {
        if (Author(lines[n], threads) != writers[n]) {
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

struct RunFacts {
    std::vector<double> lines;  // per log line
    std::map<int, double> claimed, first_sent, last_sent, paced;
    std::map<int, std::vector<double>> queue_waits;  // client -> its letters' waits
    std::map<int, TranslaterFacts> translaters;
    double stop_flag = 0;
    double run = 0;
    int timeouts = 0;
};

class CFactFinder {
public:
    explicit CFactFinder(const std::vector<Event>& events)
        : m_events(events), m_threads(NameThreads(events)) {
        for (const auto& [index, tid] : m_threads.clients) {
            m_client_of[tid] = index;
        }
        for (const auto& [id, tid] : m_threads.translaters) {
            m_translater_of[tid] = id;
        }
        // Times in the table count from the driver's start.
        const auto start = std::find_if(events.begin(), events.end(), [](const Event& event) {
            return event.probe == "driver_start";
        });
        m_start = start != events.end() ? start->ns : 0;
    }

    RunFacts Find() {
        for (const Event& event : m_events) {
            TakeEvent(event);
        }
        for (auto& [id, facts] : m_facts.translaters) {
            FinishStop(m_threads.translaters.at(id), facts);
        }
        return m_facts;
    }

private:
    double Ms(long long ns) const { return static_cast<double>(ns - m_start) / 1e6; }

    void TakeEvent(const Event& event) {
        const bool client = m_client_of.count(event.tid) != 0;
        const int c = client ? m_client_of.at(event.tid) : -1;
        if (event.probe == "line") {
            m_facts.lines.push_back(Ms(event.ns));
        } else if (event.probe == "claim" && event.args.at(1) == 1) {
            m_facts.claimed[c] = Ms(event.ns);
        } else if (event.probe == "push") {
            TakePush(c, event);
        } else if (event.probe == "pop") {
            const Queued queued = m_queues[event.args.at(0)].front();
            m_queues[event.args.at(0)].pop_front();
            if (queued.ch != 0) {
                m_facts.queue_waits[queued.client].push_back(
                    static_cast<double>(event.ns - queued.push_ns) / 1e6);
            }
        } else if (event.probe == "delay_start" && client) {
            m_pause_begin.emplace(c, Ms(event.ns));  // only its first pause counts
        } else if (event.probe == "delay_end" && client) {
            m_facts.paced.emplace(c, Ms(event.ns) - m_pause_begin.at(c));
        } else if (event.tid == m_threads.driver) {
            TakeDriver(event);
        } else if (m_translater_of.count(event.tid) != 0) {
            TakeTranslater(m_facts.translaters[m_translater_of.at(event.tid)], event);
        }
    }

    void TakePush(int c, const Event& event) {
        m_queues[event.args.at(0)].push_back({event.ns, c, event.args.at(1)});
        if (m_facts.first_sent.count(c) == 0) {
            m_facts.first_sent[c] = Ms(event.ns);
        }
        if (event.args.at(1) != 0) {
            m_facts.last_sent[c] = Ms(event.ns);
        }
    }

    void TakeDriver(const Event& event) {
        if (event.probe == "stop_flag") {
            m_facts.stop_flag = Ms(event.ns);
        } else if (event.probe == "driver_end") {
            m_facts.run = Ms(event.ns);
        } else if (event.probe == "stop_signal") {
            m_facts.translaters[static_cast<int>(event.args.at(0))].signal = Ms(event.ns);
        }
    }

    void TakeTranslater(TranslaterFacts& facts, const Event& event) {
        if (event.probe == "job_wait") {
            ++facts.waits;
            m_wait_begin[event.tid] = Ms(event.ns);
        } else if (event.probe == "job_wake") {
            const bool out = event.args.at(1) == TIMED_OUT;
            facts.timed_out += out ? 1 : 0;
            m_facts.timeouts += out ? 1 : 0;
            m_last_wait[event.tid] = {m_wait_begin[event.tid], Ms(event.ns), out ? 1.0 : 0.0};
        } else if (event.probe == "job_return" && event.args.at(1) == 1) {
            m_work_begin[event.tid] = Ms(event.ns);
        } else if (event.probe == "job_return") {
            facts.left = Ms(event.ns);
        } else if (event.probe == "release") {
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
    };

    const std::vector<Event>& m_events;
    Threads m_threads;
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

// The report's tables: title -> rows of cells (the header row left out).
using Rows = std::vector<std::vector<std::string>>;

std::map<std::string, Rows> ReadTables(const std::string& out) {
    std::map<std::string, Rows> tables;
    const std::vector<std::string> lines = SplitLines(out);
    for (std::size_t i = 0; i < lines.size();) {
        const std::string title = lines[i].substr(0, lines[i].find(' '));
        Rows& rows = tables[title];
        for (i += 2; i < lines.size() && !lines[i].empty(); ++i) {
            std::istringstream cells(lines[i]);
            rows.emplace_back();
            for (std::string cell; cells >> cell;) {
                rows.back().push_back(cell);
            }
        }
        ++i;
    }
    return tables;
}

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

void ExpectTranslaterTimes(const Rows& spent, const Rows& stop, const RunFacts& facts) {
    ASSERT_EQ(spent.size(), static_cast<std::size_t>(NUM_TRANSLATERS));
    ASSERT_EQ(stop.size(), static_cast<std::size_t>(NUM_TRANSLATERS));
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
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

// The whole table with a trace, against the trace read here and the table
// the report makes of the log alone.
void ExpectTableMatchesTrace(const std::string& log, const std::string& trace_path) {
    const RunResult plain = RunReport(log, {});
    const RunResult timed = RunReport(log, {"--trace", trace_path});
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    ASSERT_EQ(timed.exit_status, 0) << timed.err;
    EXPECT_EQ(timed.err, "");
    const RunFacts facts = CFactFinder(ReadEvents(ReadFile(trace_path))).Find();
    std::map<std::string, Rows> tables = ReadTables(timed.out);
    std::map<std::string, Rows> plain_tables = ReadTables(plain.out);
    ExpectJobTimes(tables["Jobs,"], plain_tables["Jobs,"], facts);
    ExpectTurnedAwayTimes(tables["Clients"], facts);
    ASSERT_EQ(tables["Clients"].size(), plain_tables["Clients"].size());
    ExpectTranslaterTimes(tables["How"], tables["The"], facts);

    std::smatch m;
    static const std::regex RUN(R"(run: ([0-9.]+) ms from .* stop flag set at ([0-9.]+) ms)");
    ASSERT_TRUE(std::regex_search(timed.out, m, RUN)) << timed.out;
    EXPECT_NEAR(std::stod(m[1]), facts.run, MS_TOLERANCE);
    EXPECT_NEAR(std::stod(m[2]), facts.stop_flag, MS_TOLERANCE);
}

// The recorded run under tests/data/trace-run.
struct Sample {
    std::string log;
    std::string tsv;
    std::vector<Event> events;
};

Sample LoadSample() {
    Sample sample;
    sample.log = ReadFile(SAMPLE + "/out");
    sample.tsv = ReadFile(SAMPLE + "/trace.tsv");
    sample.events = ReadEvents(sample.tsv);
    EXPECT_GT(sample.events.size(), 1000U) << "no sample trace in " << SAMPLE;
    EXPECT_EQ(ReadFile(SAMPLE + "/status"), "0\n");
    return sample;
}

TEST(ReportTraceSample, TableTimesMatchTheTrace) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    // The sample has what the tables must get right: a client that lost a
    // claim before it won one, a translater with two jobs, a wait that ran out.
    const RunFacts facts = CFactFinder(sample.events).Find();
    ASSERT_GE(facts.timeouts, 1);
    ExpectTableMatchesTrace(sample.log, SAMPLE + "/trace.tsv");
}

int CountProbe(const std::vector<Event>& events, const std::string& probe, long long arg1 = -1) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& event) {
        return event.probe == probe && (arg1 < 0 || event.args.at(1) == arg1);
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
void ExpectTimeAxisSvg(const std::string& svg_path, const std::vector<Event>& events) {
    const std::string rsvg = RSVG_CONVERT;
    ASSERT_NE(rsvg, "") << RSVG_MISSING;
    const std::string svg = ReadFile(svg_path);
    const int jobs = CountProbe(events, "job_return", 1);
    EXPECT_EQ(Count(svg, "class=\"translater-lane\""), NUM_TRANSLATERS);
    EXPECT_EQ(Count(svg, "class=\"client-row\""), NUM_CLIENTS);
    EXPECT_EQ(Count(svg, "class=\"stop-flag\""), 1);
    EXPECT_EQ(Count(svg, "class=\"stop-signal "), NUM_TRANSLATERS);
    EXPECT_EQ(Count(svg, "class=\"job\""), jobs);
    EXPECT_EQ(Count(svg, "class=\"job-wait"), CountProbe(events, "job_wait"));
    EXPECT_EQ(Count(svg, "class=\"pop-wait\""), CountProbe(events, "pop_wait"));
    EXPECT_EQ(Count(svg, "class=\"timeout\""), CountProbe(events, "job_wake", TIMED_OUT));
    EXPECT_EQ(Count(svg, "class=\"claim "), CountProbe(events, "claim"));
    EXPECT_EQ(Count(svg, "class=\"claim won\""), CountProbe(events, "claim", 1));
    // The pauses of the driver and the clients; a translater's are part of its jobs.
    const Threads threads = NameThreads(events);
    int translater_pauses = 0;
    for (const auto& [id, tid] : threads.translaters) {
        translater_pauses += static_cast<int>(std::count_if(
            events.begin(), events.end(),
            [tid = tid](const Event& e) { return e.tid == tid && e.probe == "delay_end"; }));
    }
    EXPECT_EQ(Count(svg, "class=\"pause\""), CountProbe(events, "delay_end") - translater_pauses);
    EXPECT_EQ(Count(svg, "class=\"turned-away\""), NUM_CLIENTS - jobs);
    const RunFacts facts = CFactFinder(events).Find();
    std::ostringstream stop_flag;
    stop_flag << "<title>stop flag set at " << std::fixed << std::setprecision(3) << facts.stop_flag
              << " ms</title>";
    EXPECT_EQ(Count(svg, stop_flag.str()), 1) << stop_flag.str();
    // Along time: the stop flag after every job's start, the jobs of one
    // translater in order.
    const std::vector<double> flag = XsOf(svg, "stop-flag");
    for (const double job : XsOf(svg, "job")) {
        EXPECT_LT(job, flag.at(0));
    }
    CTempDir dir;
    ExpectRendersWhole(rsvg, svg_path, dir);
}

TEST(ReportTraceSample, TimeAxisSvgShowsTheTraceAndRenders) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    CTempDir dir;
    const std::string svg_path = dir.File("time.svg");
    const RunResult report = RunReport(
        sample.log, {"--trace", SAMPLE + "/trace.tsv", "--svg", svg_path, "--axis", "time"});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectTimeAxisSvg(svg_path, sample.events);
    // The line axis stays the default, with or without a trace.
    const std::string line_path = dir.File("line.svg");
    ASSERT_EQ(
        RunReport(sample.log, {"--trace", SAMPLE + "/trace.tsv", "--svg", line_path}).exit_status,
        0);
    const std::string line_only = dir.File("line-only.svg");
    ASSERT_EQ(RunReport(sample.log, {"--svg", line_only}).exit_status, 0);
    EXPECT_EQ(ReadFile(line_path), ReadFile(line_only));
}

RunResult CheckPerfetto(const std::string& json_path, const std::string& trace_path) {
    RunOptions options;
    options.args = {PERFETTO_CHECK, json_path};
    if (!trace_path.empty()) {
        options.args.push_back(trace_path);
    }
    options.timeout_seconds = RUN_TIMEOUT_SECONDS;
    EXPECT_STRNE(PYTHON3, "") << "python3 was not found when the build was configured";
    return RunProgram(PYTHON3, options);
}

void ExpectPerfettoClean(const std::string& json_path, const std::string& trace_path) {
    const RunResult check = CheckPerfetto(json_path, trace_path);
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("perfetto_check: clean"), std::string::npos) << check.out;
}

TEST(ReportTraceSample, PerfettoFileParsesNestsAndConnects) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    CTempDir dir;
    const std::string json_path = dir.File("run.json");
    const RunResult report =
        RunReport(sample.log, {"--trace", SAMPLE + "/trace.tsv", "--perfetto", json_path});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectPerfettoClean(json_path, SAMPLE + "/trace.tsv");
    // One thread_name per thread: the driver, the translaters and the clients.
    EXPECT_EQ(Count(ReadFile(json_path), "\"name\":\"thread_name\""),
              1 + NUM_TRANSLATERS + NUM_CLIENTS);
}

// The checker is the test above: it must refuse each fault it looks for.
TEST(ReportTraceSample, PerfettoCheckerRefusesBrokenFiles) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    CTempDir dir;
    const std::string json_path = dir.File("run.json");
    ASSERT_EQ(RunReport(sample.log, {"--trace", SAMPLE + "/trace.tsv", "--perfetto", json_path})
                  .exit_status,
              0);
    const std::string json = ReadFile(json_path);
    struct Breakage {
        std::string name;
        std::regex wanted;
        std::string replacement;
        std::string said;
    };
    const std::vector<Breakage> breakages = {
        {"a flow id used twice", std::regex("\"id\":2,"), "\"id\":1,", "not one s and one f"},
        {"a slice that ends before it starts", std::regex("\"dur\":[0-9.]+"), "\"dur\":-1",
         "ends before it starts"},
        {"a flow's end after the run, in no slice", std::regex("\"bp\":\"e\",\"ts\":[0-9.]+"),
         "\"bp\":\"e\",\"ts\":99999999.0", "in no slice"},
        {"a counter one below", std::regex("\"letters\":0\\}"), "\"letters\":-1}", "below 0"},
        {"a thread without a name", std::regex("\"thread_name\""), "\"thread\"", "thread_name"},
        {"not JSON", std::regex("\\]\\}\n$"), "]\n", "does not parse"},
    };
    // A pause made 100 ms longer: it now ends after the slice that holds it.
    std::smatch pause;
    ASSERT_TRUE(std::regex_search(json, pause, std::regex("\"name\":\"pause\"[^}]*\"dur\":")));
    const std::string longer = json.substr(0, pause.position() + pause.length()) + "100000" +
                               json.substr(pause.position() + pause.length());
    const std::string longer_path = dir.File("longer.json");
    WriteFile(longer_path, longer);
    const RunResult overlapping = CheckPerfetto(longer_path, "");
    EXPECT_EQ(overlapping.exit_status, 1) << overlapping.out;
    EXPECT_NE(overlapping.out.find("partly"), std::string::npos) << overlapping.out;
    // The last sample of a queue left out: that queue's counter ends above 0.
    const std::size_t last_counter = json.rfind("{\"ph\":\"C\"");
    const std::size_t line_end = json.find(",\n", last_counter);
    ASSERT_NE(line_end, std::string::npos);
    const std::string unfinished_path = dir.File("unfinished.json");
    WriteFile(unfinished_path, json.substr(0, last_counter) + json.substr(line_end + 2));
    const RunResult unfinished = CheckPerfetto(unfinished_path, "");
    EXPECT_EQ(unfinished.exit_status, 1) << unfinished.out;
    EXPECT_NE(unfinished.out.find("does not end at 0"), std::string::npos) << unfinished.out;
    for (const Breakage& breakage : breakages) {
        SCOPED_TRACE(breakage.name);
        const std::string broken_path = dir.File("broken.json");
        WriteFile(broken_path, std::regex_replace(json, breakage.wanted, breakage.replacement,
                                                  std::regex_constants::format_first_only));
        const RunResult check = CheckPerfetto(broken_path, "");
        EXPECT_EQ(check.exit_status, 1) << check.out;
        EXPECT_NE(check.out.find(breakage.said), std::string::npos) << check.out;
    }
}

// The sample's trace without the first event of the probe that matches.
std::vector<Event> WithoutFirst(const std::vector<Event>& events, const std::string& probe,
                                long long arg1 = -1) {
    std::vector<Event> left = events;
    const auto first = std::find_if(left.begin(), left.end(), [&](const Event& event) {
        return event.probe == probe && (arg1 < 0 || event.args.at(1) == arg1);
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
        if (wait->probe != "pop_wait") {
            continue;
        }
        const long long translater = wait->args.at(0);
        const auto on_queue = [translater](const Event& event) {
            return (event.probe == "push" || event.probe == "pop") &&
                   event.args.at(0) == translater;
        };
        const auto push = std::find_if(wait, left.end(), on_queue);
        if (push == left.end()) {
            break;
        }
        const auto next = std::find_if(push + 1, left.end(), on_queue);
        if (push->probe == "push" && next != left.end() && next->probe == "pop") {
            left.erase(push);
            return left;
        }
    }
    ADD_FAILURE() << "the sample has no pop that waited for a single push";
    return left;
}

void ExpectRefused(const std::string& log, const std::string& tsv, const std::string& said) {
    CTempDir dir;
    const std::string trace_path = dir.File("trace.tsv");
    const std::string svg_path = dir.File("run.svg");
    WriteFile(trace_path, tsv);
    const RunResult report = RunReport(log, {"--trace", trace_path, "--svg", svg_path});
    EXPECT_EQ(report.exit_status, EXIT_MISMATCH) << report.out;
    EXPECT_EQ(report.out, "");
    EXPECT_EQ(ReadFile(svg_path), "") << "a picture of a run the trace does not fit";
    EXPECT_NE(report.err.find("does not fit the log"), std::string::npos) << report.err;
    EXPECT_NE(report.err.find(said), std::string::npos) << report.err;
}

// A trace whose line events do not fit the log is refused, naming the first
// line that differs: one line event dropped (at the start, in the middle, at
// the end), or the trace of another run.
TEST(ReportTraceSample, TraceOfAnotherLogRefusedNamingTheLine) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    const int lines = CountProbe(sample.events, "line");
    for (const int dropped : {0, lines / 3, lines / 2, lines - 1}) {
        SCOPED_TRACE("line event " + std::to_string(dropped + 1) + " dropped");
        std::vector<Event> shifted = sample.events;
        int seen = 0;
        shifted.erase(std::find_if(shifted.begin(), shifted.end(), [&](const Event& event) {
            return event.probe == "line" && seen++ == dropped;
        }));
        const int differing = FirstDifferingLine(sample.log, shifted);
        ASSERT_GT(differing, dropped);
        ExpectRefused(sample.log, WriteEvents(shifted), "line " + std::to_string(differing) + ": ");
    }
    RunOptions options;
    options.timeout_seconds = RUN_TIMEOUT_SECONDS;
    const RunResult other = RunProgram(TRANSLATERS_EXE, options);
    ASSERT_EQ(other.exit_status, 0) << other.err;
    const int differing = FirstDifferingLine(other.out, sample.events);
    ASSERT_GT(differing, 0) << "the new run's log fits the old run's trace line for line";
    SCOPED_TRACE("another run's log");
    ExpectRefused(other.out, sample.tsv, "line " + std::to_string(differing) + ": ");
}

// The first letter line of a client.
int FirstLetterLine(const std::string& log, int client) {
    const std::string prefix = "Client " + std::to_string(client) + ">";
    const std::vector<std::string> lines = SplitLines(log);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (lines[n].rfind(prefix, 0) == 0 && lines[n].find(": Sending ") != std::string::npos) {
            return static_cast<int>(n) + 1;
        }
    }
    return 0;
}

// The client's first letter made 'z' (never sent: the letters are 'a'-'y' and
// 'A'-'Y') where it is pushed and where it is popped, so that the trace still
// fits itself and only the log disagrees.
std::vector<Event> FirstLetterChanged(const std::vector<Event>& events, int client) {
    std::vector<Event> changed = events;
    const int tid = NameThreads(events).clients.at(client);
    long long translater = -1;
    std::size_t ahead = 0;  // characters queued before it
    std::map<long long, std::size_t> queued;
    for (Event& event : changed) {
        if (event.probe == "push" && translater < 0 && event.tid == tid) {
            translater = event.args.at(0);
            ahead = queued[translater];
            event.args.at(1) = 'z';
        } else if (event.probe == "push") {
            ++queued[event.args.at(0)];
        } else if (event.probe == "pop" && event.args.at(0) == translater && ahead-- == 0) {
            event.args.at(1) = 'z';
            break;
        }
    }
    return changed;
}

// Line events that fit the log, but steps that do not fit it or each other:
// each is refused, the tool neither crashing nor drawing a wrong picture.
TEST(ReportTraceSample, TraceThatContradictsItselfRefused) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    for (const char* probe : {"push", "pop", "job_wait", "job_wake", "pop_wait", "pop_wake",
                              "release", "delay_start", "delay_end"}) {
        SCOPED_TRACE(std::string("the first ") + probe + " dropped");
        ExpectRefused(sample.log, WriteEvents(WithoutFirst(sample.events, probe)), "");
    }
    {
        SCOPED_TRACE("the first claim that won dropped");
        ExpectRefused(sample.log, WriteEvents(WithoutFirst(sample.events, "claim", 1)), "");
    }
    {
        SCOPED_TRACE("a translater's pop naming another translater");
        std::vector<Event> changed = sample.events;
        Event& pop = *std::find_if(changed.begin(), changed.end(),
                                   [](const Event& event) { return event.probe == "pop"; });
        pop.args.at(0) = (pop.args.at(0) + 1) % NUM_TRANSLATERS;
        ExpectRefused(sample.log, WriteEvents(changed), "fired by translater");
    }
    {
        // Its pop then finds the queue empty.
        SCOPED_TRACE("the push a translater waiting in Pop woke for dropped");
        ExpectRefused(sample.log, WriteEvents(WithoutPushAfterPopWait(sample.events)),
                      "from an empty queue");
    }
    // A letter other than the log has it sent: refused at that letter's line.
    const int client = 6;  // in the sample, its first claim lost
    ASSERT_GT(FirstLetterLine(sample.log, client), 0);
    ExpectRefused(sample.log, WriteEvents(FirstLetterChanged(sample.events, client)),
                  "line " + std::to_string(FirstLetterLine(sample.log, client)) + ": ");
}

TEST(ReportTraceSample, UsageErrors) {
    const Sample sample = LoadSample();
    ASSERT_FALSE(sample.events.empty());
    const std::string trace = SAMPLE + "/trace.tsv";
    const std::vector<std::vector<std::string>> usage_errors = {
        {"--svg", "run.svg", "--axis", "time"},
        {"--perfetto", "run.json"},
        {"--svg", "run.svg", "--axis", "lines", "--trace", trace},
        {"--svg", "run.svg", "--axis"},
        {"--axis", "line"},
        {"--trace"},
        {"--perfetto", "", "--trace", trace},
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
    const RunResult missing = RunReport(sample.log, {"--trace", SAMPLE + "/no-such-trace.tsv"});
    EXPECT_EQ(missing.exit_status, EXIT_USAGE);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    const RunResult garbage = RunReport(sample.log, {"--trace", SAMPLE + "/out"});
    EXPECT_EQ(garbage.exit_status, EXIT_MISMATCH);
    EXPECT_NE(garbage.err.find("trace line 1: not an event"), std::string::npos) << garbage.err;
    const RunResult help = RunReport("", {"--help"});
    for (const char* option : {"--trace FILE", "--axis time", "--perfetto FILE"}) {
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
    ASSERT_EQ(ReadFile(run_dir + "/status"), "0\n");
    const std::string log = ReadFile(run_dir + "/out");
    const std::string trace_path = run_dir + "/trace.tsv";
    ExpectTableMatchesTrace(log, trace_path);
    const std::string svg_path = dir.File("time.svg");
    const std::string json_path = dir.File("run.json");
    const RunResult report = RunReport(
        log, {"--trace", trace_path, "--svg", svg_path, "--axis", "time", "--perfetto", json_path});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    ExpectTimeAxisSvg(svg_path, ReadEvents(ReadFile(trace_path)));
    ExpectPerfettoClean(json_path, trace_path);
}

}  // namespace
