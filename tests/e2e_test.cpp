// Whole runs of the program, each passed through the log checker: normal runs,
// runs pinned to one CPU (where races surface far more often), and runs where
// each thread creation in turn fails. Every run must be clean. And over a
// batch of runs, what is drawn at random reaches its whole range, and the
// program writes every form of line that the shared definition reads.
//
// Environment (and those of run_batch.h):
//   TRANSLATERS_E2E_RUNS         runs in each normal or pinned case
//   TRANSLATERS_E2E_FAIL_ROUNDS  runs per creation point in the failure cases
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "log_checker.h"
#include "run_batch.h"

namespace {

using testing_support::ExpectAllClean;
using testing_support::FromEnvironment;
using testing_support::HungOrKilled;
using testing_support::PlannedRun;
using testing_support::RunBatch;
using testing_support::RunOutcome;
using testing_support::RunResult;

const logcheck::Sizes SIZES;  // this build's

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

// What clean runs showed of the random draws and of the forms of line.
struct Seen {
    std::set<char> letters;
    long long letters_sent = 0;
    long long jobs = 0;
    int shortest = SIZES.max_chars + 1;
    int longest = 0;
    std::set<logcheck::LineKind> kinds;

    void Take(const std::string& log) {
        for (const logcheck::Job& job : logcheck::CheckRun(log, "", 0).summary.jobs) {
            letters.insert(job.letters.begin(), job.letters.end());
            letters_sent += static_cast<long long>(job.letters.size());
            shortest = std::min(shortest, job.count);
            longest = std::max(longest, job.count);
            ++jobs;
        }
        for (const std::string& text : testing_support::SplitLines(log)) {
            logcheck::Line line;
            if (logcheck::ParseLine(text, line)) {
                kinds.insert(line.kind);
            }
        }
    }
};

// Observations that show each of `outcomes` outcomes of chance p per
// observation but for a chance below 1e-9: outcomes * (1 - p)^n <= 1e-9.
long long Needed(double p, int outcomes = 1) {
    return static_cast<long long>(std::ceil(std::log(1e-9 / outcomes) / std::log1p(-p)));
}

// Batches of runs, each run seeded apart by the shim (runs started in one
// second would draw alike), until every letter 'a'-'y' and 'A'-'Y', a job of 1
// letter and one in the top tenth of MAX_CHARS, and every form of line have
// been seen; or until a correct program would have shown each of them but for
// a chance below 1e-9. (Clients are turned away only where they outnumber the
// translaters.) A run mostly waits, so 32 run at once.
TEST(E2eRuns, DrawsReachTheirRangesAndEveryLineFormIsWritten) {
    const int ALPHABET = 2 * 25;
    const int BATCH = 32;
    const int MAX_RUNS = 2000;  // a bound for a program that sends no letter at all
    const int LONG_JOB = static_cast<int>(std::ceil(0.9 * SIZES.max_chars));
    const double max_chars = SIZES.max_chars;
    const long long jobs_needed =
        std::max(Needed(1 / max_chars), Needed((max_chars - LONG_JOB + 1) / max_chars));
    const std::size_t forms =
        logcheck::LINE_FORMS.size() - (SIZES.clients > SIZES.translaters ? 0 : 1);
    Seen seen;
    int runs = 0;
    int batches = 0;
    unsigned seed = std::random_device{}();
    while (!(seen.letters.size() == ALPHABET && seen.shortest == 1 && seen.longest >= LONG_JOB &&
             seen.kinds.size() == forms) &&
           (seen.letters_sent < Needed(1.0 / ALPHABET, ALPHABET) || seen.jobs < jobs_needed) &&
           runs < MAX_RUNS) {
        std::vector<PlannedRun> plans = NormalRuns("draws", BATCH, batches++ % 2 == 1);
        for (PlannedRun& plan : plans) {
            plan.options.extra_env = {std::string("LD_PRELOAD=") + FAIL_CREATE_SHIM,
                                      "TRANSLATERS_SEED=" + std::to_string(seed++)};
        }
        const std::vector<RunOutcome> outcomes = RunBatch(plans, BATCH);
        ASSERT_EQ(testing_support::ReportProblems(plans, outcomes), 0);
        for (const RunOutcome& outcome : outcomes) {
            seen.Take(outcome.run.out);
        }
        runs += static_cast<int>(plans.size());
    }
    const std::string in_runs = " in " + std::to_string(runs) + " runs";
    EXPECT_EQ(seen.letters.size(), std::size_t{ALPHABET})
        << std::string(seen.letters.begin(), seen.letters.end()) << in_runs;
    EXPECT_EQ(seen.shortest, 1) << seen.jobs << " jobs" << in_runs;
    EXPECT_GE(seen.longest, LONG_JOB) << seen.jobs << " jobs" << in_runs;
    EXPECT_EQ(seen.kinds.size(), forms) << "forms of line written" << in_runs;
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
