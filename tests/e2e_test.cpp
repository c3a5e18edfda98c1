// Whole runs of the program, each passed through the log checker: normal runs,
// runs pinned to one CPU (where races surface far more often), and runs where
// each thread creation in turn fails. Every run must be clean.
//
// Environment (and those of run_batch.h):
//   TRANSLATERS_E2E_RUNS         runs in each normal or pinned case
//   TRANSLATERS_E2E_FAIL_ROUNDS  runs per creation point in the failure cases
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_checker.h"
#include "run_batch.h"

namespace {

using testing_support::ExpectAllClean;
using testing_support::FromEnvironment;
using testing_support::HungOrKilled;
using testing_support::PlannedRun;
using testing_support::RunResult;

const double RUN_TIMEOUT_SECONDS = 30;
const int RUNS = 24;
const int PINNED_RUNS = 16;
const int FAIL_ROUNDS = 2;
const int STRESS_RUNS = 300;
const int STRESS_PINNED_RUNS = 300;
const int STRESS_FAIL_ROUNDS = 6;

// A normal run (fail_create_at 0) or one whose creation fail_create_at failed,
// through the log checker.
std::string Check(int fail_create_at, const RunResult& run) {
    const std::string hung_or_killed = HungOrKilled(run);
    if (!hung_or_killed.empty()) {
        return hung_or_killed;
    }
    const logcheck::Result result =
        fail_create_at == 0
            ? logcheck::CheckRun(run.out, run.err, run.exit_status)
            : logcheck::CheckFailedRun(run.out, run.err, run.exit_status, fail_create_at);
    return logcheck::FormatFindings(result);
}

std::vector<PlannedRun> NormalRuns(const char* name, int runs, bool pinned) {
    std::vector<PlannedRun> plans(FromEnvironment("TRANSLATERS_E2E_RUNS", runs));
    for (std::size_t i = 0; i < plans.size(); ++i) {
        plans[i].name = std::string(name) + "-" + std::to_string(i);
        plans[i].options.pin_to_one_cpu = pinned;
        plans[i].options.timeout_seconds = RUN_TIMEOUT_SECONDS;
        plans[i].check = [](const RunResult& run) { return Check(0, run); };
    }
    return plans;
}

// Every creation point fails in turn, `rounds` times each; every other round
// runs pinned to one CPU.
std::vector<PlannedRun> FailureRuns(const char* name, int rounds) {
    std::vector<PlannedRun> plans;
    rounds = FromEnvironment("TRANSLATERS_E2E_FAIL_ROUNDS", rounds);
    for (int round = 0; round < rounds; ++round) {
        for (int at = 1; at <= logcheck::Sizes{}.Creations(); ++at) {
            PlannedRun plan;
            plan.name =
                std::string(name) + "-at" + std::to_string(at) + "-" + std::to_string(round);
            plan.options.extra_env = {std::string("LD_PRELOAD=") + FAIL_CREATE_SHIM,
                                      "TRANSLATERS_FAIL_CREATE_AT=" + std::to_string(at)};
            plan.options.pin_to_one_cpu = round % 2 == 1;
            plan.options.timeout_seconds = RUN_TIMEOUT_SECONDS;
            plan.check = [at](const RunResult& run) { return Check(at, run); };
            plans.push_back(plan);
        }
    }
    return plans;
}

TEST(E2eRuns, NormalRunsAreClean) {
    ExpectAllClean(NormalRuns("run", RUNS, false));
}

TEST(E2eRuns, RunsPinnedToOneCpuAreClean) {
    ExpectAllClean(NormalRuns("pinned", PINNED_RUNS, true));
}

TEST(E2eRuns, EachFailedCreationEndsCleanly) {
    ExpectAllClean(FailureRuns("fail", FAIL_ROUNDS));
}

TEST(E2eStress, NormalRunsAreClean) {
    ExpectAllClean(NormalRuns("stress", STRESS_RUNS, false));
}

TEST(E2eStress, RunsPinnedToOneCpuAreClean) {
    ExpectAllClean(NormalRuns("stress-pinned", STRESS_PINNED_RUNS, true));
}

TEST(E2eStress, EachFailedCreationEndsCleanly) {
    ExpectAllClean(FailureRuns("stress-fail", STRESS_FAIL_ROUNDS));
}

}  // namespace
