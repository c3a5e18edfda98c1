// The static probes: present in the release build as declared and documented, and, in runs
// recorded with tools/trace, consistent with the log recorded beside them.
//
// Each thread's events are read as a word, one letter per event, and matched
// against the shape its code gives it: the order of lines, pushes, pops,
// waits and pauses on that thread. The stop is checked across threads: one
// signal per translater after the stop flag, and how each translater leaves.
//
// Recording needs bpftrace and the right to trace (root). Without them the
// traced tests skip with the reason, except under CI=true, where they fail.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "log_checker.h"
#include "process_runner.h"
#include "run_trace.h"

namespace {

namespace args = runtrace::args;
using runtrace::Event;
using runtrace::Probe;
using runtrace::Trace;
using testing_support::ReadFile;
using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SplitLines;

const logcheck::Sizes SIZES;  // this build's
const std::string SOURCE_DIR = TRANSLATERS_SOURCE_DIR;
const std::string TRACE_TOOL = SOURCE_DIR + "/tools/trace";
const double RECORD_TIMEOUT_SECONDS = 120;
// Runs are recorded until both ways of taking the stop (waiting, busy) have
// been seen, MIN_RUNS to MAX_RUNS of them: at this program's own sizes two runs
// nearly always show both. TRANSLATERS_TRACE_RUNS in the environment fixes the
// count instead, where one way is rare (the size tests, and the sanitizer builds,
// whose slow threads end every job before the stop); then the tests do not ask
// to have seen both.
const int MIN_RUNS = 2;
const int MAX_RUNS = 8;

// The fixed count of runs to record, or 0 to search as above.
int FixedRuns() {
    const char* value = std::getenv("TRANSLATERS_TRACE_RUNS");
    const long runs = value == nullptr ? 0 : std::strtol(value, nullptr, 10);
    return runs > 0 && runs <= MAX_RUNS ? static_cast<int>(runs) : 0;
}
// A timed wait that runs out lasts one second; generous bounds on both sides.
const std::int64_t TIMED_WAIT_AT_LEAST_NS = 900'000'000;
const std::int64_t TIMED_WAIT_AT_MOST_NS = 3'000'000'000;

// ---------------------------------------------------------------------------
// The documented probes against the notes in the binary.

// Probe name -> its arguments' names, from the manual page's PROBES section:
// each probe is the tag of a .TP paragraph, ".B name", and the paragraph's
// "Arguments: \fIa\fP, \fIb\fP." line, if any, names its arguments.
std::map<std::string, std::vector<std::string>> DocumentedProbes() {
    std::map<std::string, std::vector<std::string>> probes;
    std::istringstream page(ReadFile(SOURCE_DIR + "/translaters.1"));
    std::string line;
    std::string probe;  // the probe whose paragraph this is
    bool in_section = false;
    bool after_tag = false;
    const std::regex item(R"(^\.B ([a-z_]+)$)");
    const std::regex argument(R"(\\fI([a-z_]+)\\fP)");
    while (std::getline(page, line)) {
        if (line.rfind(".SH ", 0) == 0) {
            in_section = line == ".SH PROBES";
            probe.clear();
        }
        std::smatch match;
        if (in_section && after_tag && std::regex_match(line, match, item)) {
            probe = match[1];
            probes[probe].clear();
        } else if (!probe.empty() && line.rfind("Arguments: ", 0) == 0) {
            for (std::sregex_iterator at(line.begin(), line.end(), argument), end; at != end;
                 ++at) {
                probes[probe].push_back((*at)[1]);
            }
        }
        after_tag = line == ".TP";
    }
    return probes;
}

// Probe name -> number of arguments, from `readelf -n` on the program: every
// location of a probe must have the same count.
std::map<std::string, int> ProbesInBinary(std::string& problem) {
    RunOptions options;
    options.args = {"-n", TRANSLATERS_EXE};
    const RunResult readelf = RunProgram("/usr/bin/readelf", options);
    std::map<std::string, int> probes;
    if (readelf.exit_status != 0) {
        problem = "readelf failed: " + readelf.err;
        return probes;
    }
    std::string provider;
    std::string name;
    for (const std::string& line : SplitLines(readelf.out)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "Provider:") {
            fields >> provider;
        } else if (key == "Name:") {
            fields >> name;
        } else if (key == "Arguments:" && provider == "translaters") {
            int count = 0;
            for (std::string arg; fields >> arg;) {
                ++count;
            }
            if (probes.count(name) != 0 && probes[name] != count) {
                problem += name + " has locations with different argument counts\n";
            }
            probes[name] = count;
        }
    }
    return probes;
}

// The probes declared in src/probes.def, as the trace's readers have them,
// against the manual page (names and arguments) and the release build's notes
// (names and argument counts).
TEST(ProbeNotesTest, ReleaseBuildHasExactlyTheDocumentedProbes) {
    std::map<std::string, std::vector<std::string>> declared;
    std::map<std::string, int> declared_counts;
    for (const runtrace::ProbeInfo& probe : runtrace::KNOWN_PROBES) {
        declared[probe.name].assign(probe.arg_names, probe.arg_names + probe.args);
        declared_counts[probe.name] = probe.args;
    }
    EXPECT_EQ(DocumentedProbes(), declared) << "translaters.1's PROBES against src/probes.def";
    std::string problem;
    EXPECT_EQ(ProbesInBinary(problem), declared_counts)
        << TRANSLATERS_EXE << " (readelf -n) against src/probes.def";
    EXPECT_EQ(problem, "");
}

// Where the recorded runs and scratch files go: in the build tree, whatever
// the working directory, kept for a look after a failure.
std::string RecordingsDir() {
    const std::string dir = std::string(TRANSLATERS_TEST_WORK_DIR) + "/trace-runs";
    mkdir(dir.c_str(), 0755);
    return dir;
}

// ---------------------------------------------------------------------------
// tools/trace refusing what it cannot do: one line on standard error, exit 2.

const int EXIT_CANNOT_TRACE = 2;

RunResult RunTraceTool(RunOptions options) {
    options.timeout_seconds = RECORD_TIMEOUT_SECONDS;
    return RunProgram(TRACE_TOOL, options);
}

void ExpectRefusal(const RunResult& result, const std::string& reason) {
    EXPECT_EQ(result.exit_status, EXIT_CANNOT_TRACE) << result.err;
    EXPECT_EQ(SplitLines(result.err).size(), 1u) << result.err;
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
}

TEST(TraceToolTest, RefusesAProgramBuiltWithoutProbesAndSaysHowToGetThem) {
    RunOptions options;
    const std::string dir = RecordingsDir() + "/refused";
    options.args = {"--program", TRANSLATERS_NOPROBES_EXE, dir};
    const RunResult result = RunTraceTool(options);
    ExpectRefusal(result, "built without static probes");
    EXPECT_NE(result.err.find("systemtap-sdt-dev"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("-DTRANSLATERS_PROBES=ON"), std::string::npos) << result.err;
    struct stat info {};
    EXPECT_NE(stat((dir + "/out").c_str(), &info), 0) << "a refused run must not start";
}

TEST(TraceToolTest, SaysWhenBpftraceIsMissing) {
    // An empty PATH: no bpftrace on it.
    const std::string bin = RecordingsDir() + "/empty-path";
    mkdir(bin.c_str(), 0755);
    RunOptions options;
    options.args = {"-i",      "PATH=" + bin, PYTHON3,        TRACE_TOOL,
                    "--check", "--program",   TRANSLATERS_EXE};
    options.timeout_seconds = RECORD_TIMEOUT_SECONDS;
    ExpectRefusal(RunProgram("/usr/bin/env", options), "bpftrace is not installed");
}

// A directory in /tmp that every user may read, holding copies of the trace
// tool (with the module it imports and the header it reads the trace's line
// form from, placed as in the checkout) and the program: the checkout itself may
// be private to its owner (as root's home directory is), and then user nobody
// could not start the tool.
class CPublicCopies {
public:
    CPublicCopies() {
        std::string name = "/tmp/trace-test-XXXXXX";
        if (mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_dir = name;
        namespace fs = std::filesystem;
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        fs::copy_file(TRACE_TOOL, Tool());
        fs::copy_file(SOURCE_DIR + "/tools/toolsupport.py", m_dir + "/toolsupport.py");
        fs::create_directory(m_dir + "/runtrace");
        fs::copy_file(SOURCE_DIR + "/tools/runtrace/run_trace.h", m_dir + "/runtrace/run_trace.h");
        fs::copy_file(TRANSLATERS_EXE, Program());
    }
    ~CPublicCopies() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    CPublicCopies(const CPublicCopies&) = delete;
    CPublicCopies& operator=(const CPublicCopies&) = delete;

    std::string Tool() const { return m_dir + "/trace"; }
    std::string Program() const { return m_dir + "/translaters"; }

private:
    std::string m_dir;
};

TEST(TraceToolTest, SaysWhenTheCallerMayNotTrace) {
    RunOptions options;
    options.args = {"--check", "--program", TRANSLATERS_EXE};
    std::string tool = TRACE_TOOL;
    std::unique_ptr<CPublicCopies> copies;
    if (geteuid() == 0) {
        // As user nobody, with no capabilities, on copies that user can read.
        copies = std::make_unique<CPublicCopies>();
        tool = "/usr/bin/setpriv";
        options.args = {"--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                        copies->Tool(),  "--check",       "--program",      copies->Program()};
    }
    options.timeout_seconds = RECORD_TIMEOUT_SECONDS;
    const RunResult result = RunProgram(tool, options);
    if (result.err.find("bpftrace is not installed") != std::string::npos) {
        GTEST_SKIP() << "bpftrace is not installed";
    }
    ExpectRefusal(result, "tracing needs root");
}

// ---------------------------------------------------------------------------
// Traced runs.

struct Recording {
    std::string dir;
    std::string out;
    int status = -1;
    Trace trace;
    logcheck::Summary summary;
};

// Why tracing is not possible here, or "" if it is.
std::string WhyNotTraceable() {
    RunOptions options;
    options.args = {"--check", "--program", TRANSLATERS_EXE};
    options.timeout_seconds = RECORD_TIMEOUT_SECONDS;
    const RunResult check = RunProgram(TRACE_TOOL, options);
    return check.exit_status == 0 ? "" : check.err + check.out;
}

// Records one run; the error says why it failed to record.
logcheck::CStatusOr<Recording> Record(const std::string& dir, bool pinned) {
    RunOptions options;
    options.args = {"--program", TRANSLATERS_EXE, dir};
    options.pin_to_one_cpu = pinned;
    options.timeout_seconds = RECORD_TIMEOUT_SECONDS;
    const RunResult run = RunProgram(TRACE_TOOL, options);
    if (run.exit_status != 0) {
        return logcheck::CStatus::Error("tools/trace failed: " + run.err);
    }
    Recording recording;
    recording.dir = dir;
    recording.out = ReadFile(dir + "/out");
    recording.status =
        static_cast<int>(std::strtol(ReadFile(dir + "/status").c_str(), nullptr, 10));
    const logcheck::Result checked =
        logcheck::CheckRun(recording.out, ReadFile(dir + "/err"), recording.status);
    if (const std::string findings = logcheck::FormatFindings(checked); !findings.empty()) {
        return logcheck::CStatus::Error(findings);
    }
    recording.summary = checked.summary;
    RETURN_IF_ERROR(
        runtrace::ReadTrace(ReadFile(dir + "/trace.tsv"), recording.out, recording.trace));
    return recording;
}

// The events of one thread, in order.
std::vector<Event> EventsOf(const Trace& trace, int tid) {
    std::vector<Event> events;
    for (const Event& event : trace.events) {
        if (event.tid == tid) {
            events.push_back(event);
        }
    }
    return events;
}

// Whether an event takes the second of its probe's two letters: a claim that
// won, a letter rather than the terminator, JobFinished returning to serve a
// job, a wait that ran out.
bool Second(const Event& event) {
    switch (event.probe) {
        case Probe::kClaim:
            return event.Get<args::Claim>().won != 0;
        case Probe::kPush:
            return event.Get<args::Push>().ch != 0;
        case Probe::kPop:
            return event.Get<args::Pop>().ch != 0;
        case Probe::kJobWake:
            return event.Get<args::JobWake>().result == runtrace::WAIT_TIMED_OUT;
        case Probe::kJobReturn:
            return event.Get<args::JobReturn>().claimed != 0;
        default:
            return false;
    }
}

// One letter per event, so that a thread's events read as a word; where two
// are given, the second is for an event that takes it (Second).
char Letter(const Event& event) {
    static const std::map<Probe, std::string> LETTERS = {
        {Probe::kDriverStart, "S"},   {Probe::kTranslaterStart, "S"},
        {Probe::kClientStart, "S"},   {Probe::kDriverEnd, "E"},
        {Probe::kTranslaterEnd, "E"}, {Probe::kClientEnd, "E"},
        {Probe::kLine, "L"},          {Probe::kErrorLine, "X"},
        {Probe::kDelayStart, "("},    {Probe::kDelayEnd, ")"},
        {Probe::kClientCreated, "n"}, {Probe::kStopFlag, "F"},
        {Probe::kStopSignal, "G"},    {Probe::kPopWait, "q"},
        {Probe::kPopWake, "Q"},       {Probe::kRelease, "r"},
        {Probe::kJobWait, "w"},       {Probe::kClaim, "cC"},
        {Probe::kPush, "0p"},         {Probe::kPop, "zo"},
        {Probe::kJobWake, "kK"},      {Probe::kJobReturn, "jJ"}};
    const auto found = LETTERS.find(event.probe);
    if (found == LETTERS.end()) {
        return '?';
    }
    return found->second[found->second.size() > 1 && Second(event) ? 1 : 0];
}

std::string Word(const std::vector<Event>& events) {
    std::string word;
    for (const Event& event : events) {
        word += Letter(event);
    }
    return word;
}

class TracedRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_why_not = WhyNotTraceable();
        if (!s_why_not.empty()) {
            return;
        }
        const std::string base = RecordingsDir();
        bool waiting_seen = false;
        bool working_seen = false;
        const int fixed = FixedRuns();
        for (int run = 0; run < (fixed > 0 ? fixed : MAX_RUNS) && s_problem.empty(); ++run) {
            if (fixed == 0 && run >= MIN_RUNS && waiting_seen && working_seen) {
                break;
            }
            const std::string dir = base + "/run-" + std::to_string(run);
            logcheck::CStatusOr<Recording> recording = Record(dir, run % 2 == 1);
            if (!recording.Ok()) {
                s_problem = dir + ": " + recording.Message();
                break;
            }
            s_recordings.push_back(std::move(recording.Value()));
            for (const bool waiting : WaitingAtStopSignal(s_recordings.back().trace)) {
                (waiting ? waiting_seen : working_seen) = true;
            }
        }
    }

    void SetUp() override {
        if (!s_why_not.empty()) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
                FAIL() << "tracing is not possible, and CI needs it: " << s_why_not;
            }
            GTEST_SKIP() << "tracing is not possible here: " << s_why_not;
        }
        ASSERT_EQ(s_problem, "") << "a recording is not usable";
    }

    // For each translater: was it waiting in JobFinished, not yet woken, when
    // its stop signal came? Empty if the trace has no stop.
    static std::vector<bool> WaitingAtStopSignal(const Trace& trace);

    static std::string s_why_not;
    static std::string s_problem;
    static std::vector<Recording> s_recordings;
};

std::string TracedRunTest::s_why_not;
std::string TracedRunTest::s_problem;
std::vector<Recording> TracedRunTest::s_recordings;

// Whether translater t sat in a timed wait at time ns that nothing had woken
// yet: its last wait began before ns, had not returned, and no push had
// signalled it since. (A push's signal wakes the wait; the thread may take a
// while to get the CPU back and return, and a stop signal in between finds no
// one left to wake.)
bool WaitingUnwokenAt(const Trace& trace, int t, std::int64_t ns) {
    const int tid = trace.threads.Translater(t);
    bool waiting = false;
    for (const Event& event : trace.events) {
        if (event.ns > ns) {
            break;
        }
        if (event.tid == tid && event.probe == Probe::kJobWait) {
            waiting = true;
        } else if ((event.tid == tid && event.probe == Probe::kJobWake) ||
                   (event.probe == Probe::kPush && event.Get<args::Push>().id == t)) {
            waiting = false;
        }
    }
    return waiting;
}

std::vector<bool> TracedRunTest::WaitingAtStopSignal(const Trace& trace) {
    std::vector<bool> waiting;
    for (const Event& event : trace.events) {
        const long long t =
            event.probe == Probe::kStopSignal ? event.Get<args::StopSignal>().id : -1;
        if (t >= 0 && t < SIZES.translaters) {
            waiting.push_back(WaitingUnwokenAt(trace, static_cast<int>(t), event.ns));
        }
    }
    return waiting;
}

int CountEvents(const Trace& trace, Probe probe, bool terminators) {
    int count = 0;
    for (const Event& event : trace.events) {
        count += event.probe == probe && !Second(event) == terminators ? 1 : 0;
    }
    return count;
}

TEST_F(TracedRunTest, EveryLogLineHasItsLineEventFromTheThreadThatWroteIt) {
    for (const Recording& recording : s_recordings) {
        // Recording already joined the trace with its log; this pins the count.
        EXPECT_EQ(recording.trace.line_events.size(), SplitLines(recording.out).size())
            << recording.dir;
        EXPECT_EQ(recording.status, 0) << recording.dir;
    }
}

TEST_F(TracedRunTest, PushesAndPopsMatchTheLogAndLeaveInOrder) {
    for (const Recording& recording : s_recordings) {
        const Trace& trace = recording.trace;
        // The log is clean: each letter line has its translation, each job its end.
        const int jobs = static_cast<int>(recording.summary.jobs.size());
        int letters = 0;
        for (const logcheck::Job& job : recording.summary.jobs) {
            letters += static_cast<int>(job.letters.size());
        }
        for (const Probe probe : {Probe::kPush, Probe::kPop}) {
            EXPECT_EQ(CountEvents(trace, probe, false), letters) << recording.dir;
            EXPECT_EQ(CountEvents(trace, probe, true), jobs) << recording.dir;
        }
        // Each translater's characters leave its queue as they entered it.
        std::map<long long, std::string> pushed;
        std::map<long long, std::string> popped;
        for (const Event& event : trace.events) {
            if (event.probe == Probe::kPush) {
                pushed[event.Get<args::Push>().id] += static_cast<char>(event.Get<args::Push>().ch);
            } else if (event.probe == Probe::kPop) {
                popped[event.Get<args::Pop>().id] += static_cast<char>(event.Get<args::Pop>().ch);
            }
        }
        EXPECT_EQ(popped, pushed) << recording.dir;
    }
}

// A client: entry line and pause, one pass of claims, then either its give-up
// line, or per letter its line, the push and a pause, then its summary line
// and only after it the terminator.
TEST_F(TracedRunTest, EachClientPausesAfterItsEntryAndEachLetterAndPushesTheTerminatorLast) {
    const std::string translaters = std::to_string(SIZES.translaters);
    const std::string passed_over = std::to_string(SIZES.translaters - 1);
    const std::regex shape("SL\\(\\)(c{" + translaters + "}LE|c{0," + passed_over +
                           "}C(Lp\\(\\))+L0E)");
    for (const Recording& recording : s_recordings) {
        for (int c = 0; c < SIZES.clients; ++c) {
            const std::vector<Event> events =
                EventsOf(recording.trace, recording.trace.threads.Client(c));
            const std::string word = Word(events);
            ASSERT_TRUE(std::regex_match(word, shape))
                << recording.dir << ": client " << c << "'s events read " << word;
            const long long letters = events.front().Get<args::ClientStart>().letters;
            EXPECT_EQ(std::count(word.begin(), word.end(), 'p'),
                      word.find('C') == std::string::npos ? 0 : letters)
                << recording.dir << ": client " << c;
            long long tried = 0;
            for (const Event& event : events) {
                if (event.probe == Probe::kClaim) {
                    EXPECT_EQ(event.Get<args::Claim>().id, tried++)
                        << recording.dir << ": client " << c << " does not try the lowest first";
                }
                if (event.probe == Probe::kPush) {
                    EXPECT_EQ(event.Get<args::Push>().id,
                              events.back().Get<args::ClientEnd>().translater)
                        << recording.dir << ": client " << c
                        << " pushes to a translater it does not hold";
                }
            }
        }
    }
}

// A translater: entry line; JobFinished (release, except on the first call,
// then timed waits) returning "claimed" for each job; per character its pop,
// its line and a pause; the terminator and the end-of-job line; finally
// JobFinished returning "leave", the leaving line.
TEST_F(TracedRunTest, EachTranslaterPausesAfterEachCharacterAndServesWholeJobs) {
    const std::regex shape(R"(SL(wk|wK)*(J((qQ)*oL\(\))*(qQ)*zLr(wk|wK)*)*jLE)");
    for (const Recording& recording : s_recordings) {
        for (int t = 0; t < SIZES.translaters; ++t) {
            const std::string word =
                Word(EventsOf(recording.trace, recording.trace.threads.Translater(t)));
            EXPECT_TRUE(std::regex_match(word, shape))
                << recording.dir << ": translater " << t << "'s events read " << word;
        }
    }
}

// The driver pauses once after every client creation, the last one included;
// then the stop flag, its line, one signal per translater, the last line.
TEST_F(TracedRunTest, TheDriverPausesAfterEveryCreationThenSignalsEachTranslaterOnce) {
    const std::regex shape("S(n\\(\\)){" + std::to_string(SIZES.clients) + "}FLG{" +
                           std::to_string(SIZES.translaters) + "}LE");
    for (const Recording& recording : s_recordings) {
        const Trace& trace = recording.trace;
        const std::vector<Event> events = EventsOf(trace, trace.threads.driver);
        const std::string word = Word(events);
        ASSERT_TRUE(std::regex_match(word, shape))
            << recording.dir << ": the driver's events read " << word;
        std::vector<long long> created;
        std::vector<long long> signalled;
        for (const Event& event : events) {
            if (event.probe == Probe::kClientCreated) {
                created.push_back(event.Get<args::ClientCreated>().client);
            } else if (event.probe == Probe::kStopSignal) {
                signalled.push_back(event.Get<args::StopSignal>().id);
            }
        }
        std::vector<long long> in_order(SIZES.translaters);
        std::iota(in_order.begin(), in_order.end(), 0);
        EXPECT_EQ(signalled, in_order) << recording.dir;
        for (std::size_t i = 0; i < created.size(); ++i) {
            EXPECT_EQ(created[i], static_cast<long long>(i)) << recording.dir;
        }
        EXPECT_EQ(events.back().Get<args::DriverEnd>().status, 0)
            << recording.dir << ": the driver's exit status";
    }
}

// Each pause spins what it drew, and the draws reach the top of their range:
// over a run's n draws the largest is below MAX_DELAY * 1e-9^(1/n) with a
// chance of 1e-9, so a build whose pauses draw from a tenth of MAX_DELAY fails
// here. (Each run by itself: two runs started in one second draw alike.)
TEST_F(TracedRunTest, EveryPauseSpinsTheIterationsItDrewAndTheDrawsReachTheTop) {
    double reached = 0;  // the largest draw of a run over its bound, at best
    for (const Recording& recording : s_recordings) {
        std::map<int, long long> bound_of;  // by thread: the pause in progress
        int pauses = 0;
        long long largest = 0;
        int draws = 0;
        for (const Event& event : recording.trace.events) {
            if (event.probe == Probe::kDelayStart) {
                const long long bound = event.Get<args::DelayStart>().bound;
                EXPECT_GE(bound, 0);
                EXPECT_LT(bound, SIZES.max_delay);
                largest = std::max(largest, bound);
                ++draws;
                bound_of[event.tid] = bound;
            } else if (event.probe == Probe::kDelayEnd) {
                ASSERT_EQ(bound_of.count(event.tid), 1u) << "a pause ends that never began";
                EXPECT_EQ(event.Get<args::DelayEnd>().iterations, bound_of[event.tid])
                    << recording.dir << ": thread " << event.tid;
                bound_of.erase(event.tid);
                ++pauses;
            }
        }
        EXPECT_GT(pauses, SIZES.clients) << recording.dir;
        reached = std::max(reached, static_cast<double>(largest + 1) /
                                        (SIZES.max_delay * std::pow(1e-9, 1.0 / draws)));
    }
    EXPECT_GE(reached, 1.0) << "no run's largest pause drawn came near MAX_DELAY";
}

// tools/trace attaches to every probe the program carries: its script (kept
// beside the recording) names each of them, the ones no run fires included.
TEST_F(TracedRunTest, RecordsEveryProbeTheProgramCarries) {
    std::string problem;
    const std::map<std::string, int> built = ProbesInBinary(problem);
    ASSERT_EQ(problem, "");
    const std::regex attached(R"(^usdt::translaters:([a-z_]+) )");
    std::map<std::string, int> scripted;
    for (const std::string& line : SplitLines(ReadFile(s_recordings.front().dir + "/probes.bt"))) {
        std::smatch match;
        if (std::regex_search(line, match, attached)) {
            scripted[match[1]] = static_cast<int>(std::count(line.begin(), line.end(), '%')) - 2;
        }
    }
    EXPECT_EQ(scripted, built) << "probe -> arguments printed, against readelf -n";
}

// After the stop flag: a translater that waits in JobFinished when its signal
// comes leaves at once, without a timeout; one still working misses the signal
// and leaves after a wait that runs out.
TEST_F(TracedRunTest, AtTheStopAWaitingTranslaterLeavesAtOnceAndABusyOneAfterATimeout) {
    std::set<bool> seen;  // waiting, busy
    for (const Recording& recording : s_recordings) {
        const Trace& trace = recording.trace;
        const std::vector<bool> waiting = TracedRunTest::WaitingAtStopSignal(trace);
        ASSERT_EQ(waiting.size(), static_cast<std::size_t>(SIZES.translaters));
        for (int t = 0; t < SIZES.translaters; ++t) {
            const std::string word = Word(EventsOf(trace, trace.threads.Translater(t)));
            // The end of its last JobFinished: the wait that ended it, the return.
            const std::string tail = word.substr(word.size() - 5);
            seen.insert(waiting[t]);
            if (waiting[t]) {
                EXPECT_EQ(tail, "wkjLE")
                    << recording.dir << ": translater " << t
                    << " was waiting, unwoken, when signalled, yet its events end " << word;
            } else {
                EXPECT_EQ(tail, "wKjLE") << recording.dir << ": translater " << t
                                         << " was busy when signalled, yet its events end " << word;
            }
        }
    }
    // Unless the runs are fixed, they were recorded until both ways were seen.
    EXPECT_TRUE(FixedRuns() > 0 || seen.size() == 2)
        << "only " << (seen.count(true) ? "waiting" : "busy") << " translaters at the stop in "
        << s_recordings.size() << " runs";
}

TEST_F(TracedRunTest, ATimedWaitThatIsNotSignalledLastsAboutOneSecond) {
    int timed_out = 0;
    for (const Recording& recording : s_recordings) {
        std::map<int, std::int64_t> began;
        for (const Event& event : recording.trace.events) {
            if (event.probe == Probe::kJobWait) {
                began[event.tid] = event.ns;
            } else if (event.probe == Probe::kJobWake &&
                       event.Get<args::JobWake>().result == runtrace::WAIT_TIMED_OUT) {
                const std::int64_t lasted = event.ns - began[event.tid];
                EXPECT_GE(lasted, TIMED_WAIT_AT_LEAST_NS) << recording.dir;
                EXPECT_LE(lasted, TIMED_WAIT_AT_MOST_NS) << recording.dir;
                ++timed_out;
            }
        }
    }
    EXPECT_TRUE(FixedRuns() > 0 || timed_out > 0)
        << "no wait ran out in " << s_recordings.size() << " runs";
}

}  // namespace
