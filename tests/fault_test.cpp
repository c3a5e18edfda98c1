// Every failure path of the program, run by run: each allocation failing (the
// Nth once, and every one from the Nth on), both failure reports, and the log
// failing after any number of bytes. A run must end as a clean normal run (the
// failure was absorbed) or as the failure reported on standard error with
// exit status 1 and a log that is a legal beginning of a run; never by an
// abort, another status or a hang, and never with anything torn down under a
// running thread.
//
// The runs preload the test-only fail_alloc_shim, which stands in for malloc;
// under a sanitizer, which owns malloc, it cannot, so the sanitizer presets
// leave label fault out.
//
// FaultAllocation, FaultReports and FaultWrite are the everyday set (label
// fault); FaultStress (label stress) runs each allocation pass several times
// and cuts the log at many more points.
//
// Environment (and those of run_batch.h):
//   TRANSLATERS_FAULT_ROUNDS      rounds of each allocation pass in FaultStress
//   TRANSLATERS_FAULT_EVERY_BYTE  1: FaultStress cuts the log after every byte
//                                 up to 40000 (some 40000 runs, well over an hour)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "log_checker.h"
#include "run_batch.h"

namespace {

using testing_support::FromEnvironment;
using testing_support::HungOrKilled;
using testing_support::PlannedRun;
using testing_support::RunOptions;
using testing_support::RunOutcome;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::StdoutMode;

using logcheck::CREATE_FAILED_TEXT;
using logcheck::UNKNOWN_EXCEPTION_TEXT;
using logcheck::WRITE_FAILED_TEXT;

const logcheck::Sizes SIZES;  // this build's
// The first and the last creation of a translater, then of a client, and one
// in the middle of the run.
const int CREATIONS[] = {1, SIZES.translaters, SIZES.translaters + 1, (SIZES.Creations() + 1) / 2,
                         SIZES.Creations()};
// More allocation points than this in one run means the sweep would not end.
const long MAX_POINTS = 2000;
const int STRESS_ROUNDS = 3;

// What the shim noted on the report pipe (see fail_alloc_shim.cpp).
struct ShimReport {
    long before_main = -1;      // allocations before main; -1: main never started
    std::vector<long> failed;   // the counted numbers it failed (0: after a failed creation)
    bool exited = false;        // the process ended through exit
    long exit_running = 0;      // threads still running then
    long exit_allocations = 0;  // counted allocations by then
};

ShimReport ParseReport(const std::string& text) {
    ShimReport report;
    std::istringstream lines(text);
    std::string word;
    while (lines >> word) {
        if (word == "main") {
            lines >> report.before_main;
        } else if (word == "failed") {
            long number = 0;
            std::string size_and_thread;
            lines >> number;
            std::getline(lines, size_and_thread);
            report.failed.push_back(number);
        } else if (word == "exit") {
            report.exited = true;
            lines >> report.exit_allocations >> report.exit_running;
        }
    }
    return report;
}

// A run with the allocation shim preloaded (and the thread creation shim after
// it, if asked), reporting on the report pipe; settings: "NAME=value".
RunOptions ShimOptions(std::vector<std::string> settings, bool fail_create_too = false) {
    RunOptions options;
    // This shim first, so that it sees the creation that the other one fails.
    settings.push_back(std::string("LD_PRELOAD=") + FAIL_ALLOC_SHIM +
                       (fail_create_too ? std::string(" ") + FAIL_CREATE_SHIM : ""));
    settings.push_back("TRANSLATERS_FAIL_ALLOC_REPORT_FD=" +
                       std::to_string(testing_support::REPORT_FD));
    options.extra_env = std::move(settings);
    options.report_pipe = true;
    return options;
}

// A run that ended through exit, after every other thread had ended.
std::string CheckEndedThroughExit(const ShimReport& report) {
    if (!report.exited) {
        return "the process did not end through exit (no \"exit\" in the shim's report)\n";
    }
    if (report.exit_running != 0) {
        return "the process exited with " + std::to_string(report.exit_running) +
               " other threads still running\n";
    }
    return "";
}

// A normal run, through the log checker, that ended once every thread had.
std::string CheckNormalRun(const RunResult& run, const ShimReport& report) {
    return logcheck::FormatFindings(logcheck::CheckRun(run.out, run.err, run.exit_status)) +
           CheckEndedThroughExit(report);
}

// A reported failure: a legal beginning of a run, the process ended at once
// (by _Exit: no static destructor ran, so "exit" is not in the report).
std::string CheckReportedFailure(const RunResult& run, const ShimReport& report) {
    std::string problem =
        logcheck::FormatFindings(logcheck::CheckStoppedRun(run.out, run.err, run.exit_status));
    if (report.exited) {
        problem += "the failed run ended through exit, running static destructors\n";
    }
    return problem;
}

// Either outcome that an allocation failure may have.
std::string CheckAllocationRun(const RunResult& run) {
    const std::string hung_or_killed = HungOrKilled(run);
    if (!hung_or_killed.empty()) {
        return hung_or_killed;
    }
    const ShimReport report = ParseReport(run.report);
    return run.exit_status == 0 ? CheckNormalRun(run, report) : CheckReportedFailure(run, report);
}

// ---------------------------------------------------------------------------
// Allocation failures.

// One way of sweeping the allocation points.
struct Pass {
    const char* name;
    const char* counted;  // the shim's count: "start", "main" or "threads"
    bool from;            // every allocation from the Nth on, not the Nth alone
    bool long_run;        // every client gets a job, so the queue's storage grows
};

// The tally of one pass.
struct PassResult {
    long points = 0;  // allocation points reached: the last N that a run reached
    int runs = 0;
    int clean = 0;
    int reported = 0;
    int other = 0;
    int failed_on_threads = 0;  // reported failures of an allocation on a thread
};

PlannedRun AllocationRun(const Pass& pass, long n, int round) {
    PlannedRun plan;
    plan.name =
        std::string("alloc-") + pass.name + "-" + std::to_string(n) + "-" + std::to_string(round);
    std::vector<std::string> settings{
        std::string("TRANSLATERS_FAIL_ALLOC_COUNT=") + pass.counted,
        std::string(pass.from ? "TRANSLATERS_FAIL_ALLOC_FROM=" : "TRANSLATERS_FAIL_ALLOC_AT=") +
            std::to_string(n)};
    if (pass.long_run) {
        settings.emplace_back("TRANSLATERS_FAIL_ALLOC_LONG_RUN=1");
    }
    plan.options = ShimOptions(settings);
    plan.options.pin_to_one_cpu = round % 2 == 1;
    plan.check = CheckAllocationRun;
    return plan;
}

bool Reached(const RunResult& run, long n) {
    const ShimReport report = ParseReport(run.report);
    return std::find(report.failed.begin(), report.failed.end(), n) != report.failed.end();
}

void Tally(const RunOutcome& outcome, PassResult& result) {
    ++result.runs;
    if (!outcome.problem.empty()) {
        ++result.other;
    } else if (outcome.run.exit_status == 0) {
        ++result.clean;
    } else {
        ++result.reported;
        result.failed_on_threads += outcome.run.report.find(" thread\n") != std::string::npos;
    }
}

// Fails allocation N (or every one from N on) for N = 1, 2, ... until a run
// ends without reaching N, or up to last_n if that is not 0; runs as many N
// at once as run in parallel.
PassResult Sweep(const Pass& pass, int round, long last_n = 0) {
    const int batch = FromEnvironment("TRANSLATERS_E2E_PARALLEL", 8);
    PassResult result;
    bool ended = false;
    for (long first = 1; !ended; first += batch) {
        if (first > MAX_POINTS) {
            ADD_FAILURE() << pass.name << ": more than " << MAX_POINTS << " allocation points";
            break;
        }
        std::vector<PlannedRun> plans;
        for (long n = first; n < first + batch && (last_n == 0 || n <= last_n); ++n) {
            plans.push_back(AllocationRun(pass, n, round));
        }
        const std::vector<RunOutcome> outcomes = testing_support::RunBatch(plans);
        testing_support::ReportProblems(plans, outcomes);
        for (std::size_t i = 0; i < plans.size(); ++i) {
            Tally(outcomes[i], result);
            const long n = first + static_cast<long>(i);
            if (!ended && Reached(outcomes[i].run, n)) {
                result.points = n;
            } else {
                ended = true;
            }
        }
        ended = ended || (last_n != 0 && first + batch > last_n);
    }
    std::cout << "pass " << pass.name << " (round " << round << "): " << result.points
              << " allocation points, " << result.runs << " runs: " << result.clean << " clean, "
              << result.reported << " reported (" << result.failed_on_threads << " on a thread), "
              << result.other << " other\n";
    return result;
}

// The allocations of a run that fails none: before main, and from main on.
ShimReport CountAllocations() {
    const RunResult run = RunProgram(TRANSLATERS_EXE, ShimOptions({}));
    EXPECT_EQ(CheckAllocationRun(run), "");
    const ShimReport report = ParseReport(run.report);
    std::cout << "a run without failures: " << report.before_main << " allocations before main, "
              << report.exit_allocations << " from main on\n";
    return report;
}

const Pass BEFORE_MAIN_ONCE{"before-main-once", "start", false, false};
const Pass BEFORE_MAIN_FROM{"before-main-from", "start", true, false};
const Pass MAIN_PASSES[] = {
    {"main-once", "main", false, false},
    {"main-from", "main", true, false},
    {"main-once-long", "main", false, true},
    {"main-from-long", "main", true, true},
};
const Pass THREAD_PASSES[] = {
    {"threads-once", "threads", false, false},
    {"threads-from", "threads", true, false},
};
const Pass LONG_THREAD_PASSES[] = {
    {"threads-once-long", "threads", false, true},
    {"threads-from-long", "threads", true, true},
};

// Before main, the pool is built: each translater's queue allocates.
void SweepBeforeMain(int round) {
    const long before_main = CountAllocations().before_main;
    ASSERT_GE(before_main, SIZES.translaters);
    for (const Pass& pass : {BEFORE_MAIN_ONCE, BEFORE_MAIN_FROM}) {
        const PassResult result = Sweep(pass, round, before_main);
        EXPECT_EQ(result.points, before_main) << pass.name;
        EXPECT_GE(result.reported, SIZES.translaters) << pass.name;
    }
}

void SweepFromMain(int round) {
    for (const Pass& pass : MAIN_PASSES) {
        EXPECT_GT(Sweep(pass, round).reported, 0) << pass.name;
    }
    for (const Pass& pass : THREAD_PASSES) {
        Sweep(pass, round);
    }
}

// A long run's queue grows on a client thread: a Push whose allocation fails
// there, outside every handler, must end the run with the report too.
void SweepLongRunThreads(int round) {
    for (const Pass& pass : LONG_THREAD_PASSES) {
        const PassResult result = Sweep(pass, round);
        EXPECT_GE(result.points, 2) << pass.name << ": the queue's storage never grew";
        EXPECT_GT(result.failed_on_threads, 0) << pass.name;
    }
}

TEST(FaultAllocation, EachAllocationBeforeMainFailing) {
    SweepBeforeMain(0);
}

TEST(FaultAllocation, EachAllocationFromMainOnFailing) {
    SweepFromMain(0);
}

TEST(FaultAllocation, EachAllocationOfALongRunsThreadsFailing) {
    SweepLongRunThreads(0);
}

// ---------------------------------------------------------------------------
// The two failure reports, each where it is certain.

RunResult RunWithShims(std::vector<std::string> settings, bool fail_create_too) {
    return RunProgram(TRANSLATERS_EXE, ShimOptions(std::move(settings), fail_create_too));
}

void ExpectReported(const RunResult& run, const char* text) {
    ASSERT_EQ(HungOrKilled(run), "");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, text);
    EXPECT_EQ(CheckReportedFailure(run, ParseReport(run.report)), "");
}

TEST(FaultReports, FailedThreadCreationReportsItsError) {
    for (const int at : CREATIONS) {
        SCOPED_TRACE("creation " + std::to_string(at));
        const RunResult run =
            RunWithShims({"TRANSLATERS_FAIL_CREATE_AT=" + std::to_string(at)}, true);
        ExpectReported(run, CREATE_FAILED_TEXT);
        EXPECT_EQ(logcheck::FormatFindings(
                      logcheck::CheckFailedRun(run.out, run.err, run.exit_status, at)),
                  "");
    }
}

// The runtime_error of a failed creation cannot be built when allocation
// fails too: main's second arm reports the bad_alloc instead.
TEST(FaultReports, ErrorThatCannotBeAllocatedReportsAnUnknownException) {
    for (const int at : CREATIONS) {
        SCOPED_TRACE("creation " + std::to_string(at));
        const RunResult run = RunWithShims({"TRANSLATERS_FAIL_CREATE_AT=" + std::to_string(at),
                                            "TRANSLATERS_FAIL_ALLOC_AFTER_FAILED_CREATE=1"},
                                           true);
        ExpectReported(run, UNKNOWN_EXCEPTION_TEXT);
        EXPECT_NE(run.report.find("failed 0 "), std::string::npos) << "no allocation failed";
        if (at == 1) {
            EXPECT_EQ(run.out, "");
        }
    }
}

// Outside main's handler: the handle lists' reserve, and the pool before main.
TEST(FaultReports, AllocationOutsideMainsHandlerReportsAnUnknownException) {
    const RunResult reserve = RunWithShims({"TRANSLATERS_FAIL_ALLOC_AT=1"}, false);
    ExpectReported(reserve, UNKNOWN_EXCEPTION_TEXT);
    EXPECT_EQ(reserve.out, "");
    const long before_main = CountAllocations().before_main;
    const RunResult pool =
        RunWithShims({"TRANSLATERS_FAIL_ALLOC_COUNT=start",
                      "TRANSLATERS_FAIL_ALLOC_AT=" + std::to_string(before_main)},
                     false);
    ExpectReported(pool, UNKNOWN_EXCEPTION_TEXT);
    EXPECT_EQ(pool.out, "");
    EXPECT_EQ(ParseReport(pool.report).before_main, -1) << "main ran after the pool failed";
}

// ---------------------------------------------------------------------------
// The log failing after K bytes.

std::vector<std::size_t> Sizes(std::size_t all_up_to, std::size_t step, std::size_t last) {
    std::vector<std::size_t> sizes;
    for (std::size_t size = 1; size <= all_up_to; ++size) {
        sizes.push_back(size);
    }
    for (std::size_t size = all_up_to + step; size <= last; size += step) {
        sizes.push_back(size);
    }
    return sizes;
}

// A run whose log took only `limit` bytes: it ran on to its end (every
// thread ended) and reported the failure, and what it wrote is the beginning
// of a legal log. A log that fitted (in the file, or in what the reader read
// and the pipe held when the program ended) makes a normal run.
std::string CheckWriteFailureRun(const RunResult& run, std::size_t limit, bool reader) {
    const std::string hung_or_killed = HungOrKilled(run);
    if (!hung_or_killed.empty()) {
        return hung_or_killed;
    }
    const ShimReport report = ParseReport(run.report);
    const bool fitted = reader ? !run.reader_left : run.exit_status == 0;
    std::string problem;
    if ((!reader && run.out.size() > limit) || (!fitted && run.out.size() != limit)) {
        problem = "the log has " + std::to_string(run.out.size()) + " bytes, but it took " +
                  std::to_string(limit) + "\n";
    }
    if (fitted) {
        return problem + CheckNormalRun(run, report);
    }
    return problem +
           logcheck::FormatFindings(logcheck::CheckCutRun(run.out, run.err, run.exit_status)) +
           CheckEndedThroughExit(report);
}

std::vector<PlannedRun> CutRuns(const std::vector<std::size_t>& sizes, bool reader,
                                std::atomic<int>& cut) {
    std::vector<PlannedRun> plans;
    for (const std::size_t size : sizes) {
        PlannedRun plan;
        plan.name = std::string(reader ? "reader-" : "file-") + std::to_string(size);
        plan.options = ShimOptions({});
        plan.options.stdout_mode = reader ? StdoutMode::kReaderLeaves : StdoutMode::kFileLimited;
        plan.options.stdout_limit = size;
        plan.options.ignored_signals = {reader ? SIGPIPE : SIGXFSZ};
        plan.check = [size, reader, &cut](const RunResult& run) {
            if (reader ? run.reader_left : run.exit_status != 0) {
                ++cut;  // the log did not fit
            }
            return CheckWriteFailureRun(run, size, reader);
        };
        plans.push_back(plan);
    }
    return plans;
}

// Every run clean. A file takes exactly its limit, so whether a run was cut
// follows from its log; a reader leaves only once the program is blocked on
// the full pipe, and a log (6 to 22 KB) hardly ever fits in the at most 2000
// bytes read and the one page the pipe holds, so nearly every reader's run is
// cut.
void ExpectCutRunsClean(const std::vector<std::size_t>& sizes, bool reader) {
    std::atomic<int> cut{0};
    const std::vector<PlannedRun> plans = CutRuns(sizes, reader, cut);
    testing_support::ExpectAllClean(plans);
    std::cout << cut << " of " << plans.size() << " runs cut\n";
    if (reader) {
        EXPECT_GE(cut * 10, static_cast<int>(plans.size()) * 9) << "too few runs were cut";
    }
}

// A file that takes K bytes: K = 1 to 64, then every 509th byte across a log.
TEST(FaultWrite, FileThatTakesOnlyKBytesWithSigxfszIgnored) {
    ExpectCutRunsClean(Sizes(64, 509, 64 + 64 * 509), false);
}

// A reader that leaves after K bytes: K = 1 to 32, then every 61st up to 1008.
TEST(FaultWrite, ReaderThatLeavesAfterKBytesWithSigpipeIgnored) {
    ExpectCutRunsClean(Sizes(32, 61, 32 + 16 * 61), true);
}

// At their default actions the signals end the program, the usual Unix way,
// after exactly the K bytes that got through.
TEST(FaultWrite, SignalsAtTheirDefaultEndTheProgram) {
    for (const bool reader : {false, true}) {
        for (const std::size_t size : {1, 100, 1000}) {
            SCOPED_TRACE(std::string(reader ? "reader, " : "file, ") + std::to_string(size));
            RunOptions options;
            options.stdout_mode = reader ? StdoutMode::kReaderLeaves : StdoutMode::kFileLimited;
            options.stdout_limit = size;
            const RunResult run = RunProgram(TRANSLATERS_EXE, options);
            ASSERT_FALSE(run.timed_out);
            if (reader && !run.reader_left) {
                // The whole log fitted in what was read and the pipe: a normal run.
                EXPECT_EQ(
                    logcheck::FormatFindings(logcheck::CheckRun(run.out, run.err, run.exit_status)),
                    "");
                continue;
            }
            EXPECT_EQ(run.signal, reader ? SIGPIPE : SIGXFSZ);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out.size(), size);
            // The log as a cut run's; the signal ended the run instead of the report.
            EXPECT_EQ(
                logcheck::FormatFindings(logcheck::CheckCutRun(run.out, WRITE_FAILED_TEXT, 1)), "");
        }
    }
}

// ---------------------------------------------------------------------------
// The fuller campaign: every pass several times, every other round pinned to
// one CPU, and the log cut at many more points.

TEST(FaultStress, EveryAllocationPassInRounds) {
    const int rounds = FromEnvironment("TRANSLATERS_FAULT_ROUNDS", STRESS_ROUNDS);
    for (int round = 1; round <= rounds; ++round) {
        SweepBeforeMain(round);
        SweepFromMain(round);
        SweepLongRunThreads(round);
    }
}

TEST(FaultStress, LogCutAtManyMorePoints) {
    const bool every_byte = FromEnvironment("TRANSLATERS_FAULT_EVERY_BYTE", 0) == 1;
    ExpectCutRunsClean(every_byte ? Sizes(40000, 1, 0) : Sizes(256, 307, 40000), false);
    ExpectCutRunsClean(Sizes(128, 67, 2000), true);
}

}  // namespace
