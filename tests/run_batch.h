// Many runs of the program, several at once, each judged by its own check; the
// logs of the runs that are not clean are saved and reported as test failures.
//
// A run mostly waits (a translater that misses the stop signal waits out its
// one-second timeout), so several run at once.
//
// Environment:
//   TRANSLATERS_E2E_PARALLEL  runs at once (default 8)
//   TRANSLATERS_E2E_LOG_DIR   where the logs of runs that are not clean are saved
//                             (default: e2e-failures in the working directory)
#ifndef TRANSLATERS_TESTS_RUN_BATCH_H
#define TRANSLATERS_TESTS_RUN_BATCH_H

#include <functional>
#include <string>
#include <vector>

#include "process_runner.h"

namespace testing_support {

struct PlannedRun {
    std::string name;  // names the saved log: NAME.out, NAME.err, NAME.report
    RunOptions options;
    // What is wrong with the finished run, "" if nothing.
    std::function<std::string(const RunResult&)> check;
};

struct RunOutcome {
    RunResult run;
    std::string problem;  // empty for a clean run
};

// A positive number from the environment, or the fallback.
int FromEnvironment(const char* name, int fallback);

// What is wrong with a run that hung or that a signal ended; "" otherwise.
std::string HungOrKilled(const RunResult& run);

// Runs the program once for each plan, at most TRANSLATERS_E2E_PARALLEL at once
// (default 8), or `parallel` if it is given.
std::vector<RunOutcome> RunBatch(const std::vector<PlannedRun>& plans, int parallel = 0);

// Reports each run that is not clean as a test failure: its problem, where its
// log is saved and, for the first few, the whole log. Returns their number.
int ReportProblems(const std::vector<PlannedRun>& plans, const std::vector<RunOutcome>& outcomes);

// Runs every plan and reports each run that is not clean.
void ExpectAllClean(const std::vector<PlannedRun>& plans);

}  // namespace testing_support

#endif  // TRANSLATERS_TESTS_RUN_BATCH_H
