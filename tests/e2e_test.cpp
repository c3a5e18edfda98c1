// Whole runs of the program, each passed through the log checker: normal runs,
// runs pinned to one CPU (where races surface far more often), and runs where
// each thread creation in turn fails. Every run must be clean.
//
// A run mostly waits (a translater that misses the stop signal waits out its
// one-second timeout), so several run at once.
//
// Environment:
//   TRANSLATERS_E2E_RUNS         runs in each normal or pinned case
//   TRANSLATERS_E2E_FAIL_ROUNDS  runs per creation point in the failure cases
//   TRANSLATERS_E2E_PARALLEL     runs at once (default 8)
//   TRANSLATERS_E2E_LOG_DIR      where the logs of failing runs are saved
//                                (default: e2e-failures in the working directory)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log_checker.h"
#include "process_runner.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;

const double RUN_TIMEOUT_SECONDS = 30;
const int DEFAULT_PARALLEL = 8;
const int MAX_LOGS_PRINTED = 3;
const int RUNS = 24;
const int PINNED_RUNS = 16;
const int FAIL_ROUNDS = 2;
const int STRESS_RUNS = 300;
const int STRESS_PINNED_RUNS = 300;
const int STRESS_FAIL_ROUNDS = 6;

// A positive number from the environment, or the fallback.
int FromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    const long number = value == nullptr ? 0 : std::strtol(value, nullptr, 10);
    return number > 0 && number < 100000 ? static_cast<int>(number) : fallback;
}

struct Plan {
    std::string name;
    RunOptions options;
    int fail_create_at = 0;  // 0 for a normal run
};

struct Outcome {
    RunResult run;
    std::string problem;  // empty for a clean run
};

std::string Check(const Plan& plan, const RunResult& run) {
    if (run.timed_out) {
        return "no exit within the time limit: hung\n";
    }
    if (run.signal != 0) {
        return "ended by signal " + std::to_string(run.signal) + "\n";
    }
    const logcheck::Result result =
        plan.fail_create_at == 0
            ? logcheck::CheckRun(run.out, run.err, run.exit_status)
            : logcheck::CheckFailedRun(run.out, run.err, run.exit_status, plan.fail_create_at);
    return logcheck::FormatFindings(result);
}

// Runs every plan, at most `parallel` at once.
std::vector<Outcome> RunAll(const std::vector<Plan>& plans) {
    std::vector<Outcome> outcomes(plans.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < plans.size(); i = next++) {
            try {
                outcomes[i].run = RunProgram(TRANSLATERS_EXE, plans[i].options);
                outcomes[i].problem = Check(plans[i], outcomes[i].run);
            } catch (const std::exception& error) {
                outcomes[i].problem = std::string("could not run: ") + error.what() + "\n";
            }
        }
    };
    const int parallel = FromEnvironment("TRANSLATERS_E2E_PARALLEL", DEFAULT_PARALLEL);
    std::vector<std::thread> workers;
    workers.reserve(parallel);
    for (int w = 0; w < parallel; ++w) {
        workers.emplace_back(worker);
    }
    for (std::thread& thread : workers) {
        thread.join();
    }
    return outcomes;
}

std::string SaveLog(const std::string& name, const RunResult& run) {
    const char* dir_setting = std::getenv("TRANSLATERS_E2E_LOG_DIR");
    std::string dir = dir_setting != nullptr && *dir_setting != '\0' ? dir_setting : "e2e-failures";
    char cwd[4096];
    if (dir.front() != '/' && getcwd(cwd, sizeof(cwd)) != nullptr) {
        dir = std::string(cwd) + "/" + dir;
    }
    mkdir(dir.c_str(), 0755);
    std::string base = dir + "/" + name;
    std::ofstream(base + ".out", std::ios::binary) << run.out;
    std::ofstream(base + ".err", std::ios::binary) << run.err;
    return base;
}

// Reports each run that is not clean: its findings, where its log is saved
// and, for the first few, the whole log.
void ExpectAllClean(const std::vector<Plan>& plans) {
    const std::vector<Outcome> outcomes = RunAll(plans);
    int failed = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const Outcome& outcome = outcomes[i];
        if (outcome.problem.empty()) {
            continue;
        }
        const std::string saved = SaveLog(plans[i].name, outcome.run);
        std::ostringstream report;
        report << plans[i].name << ": exit status " << outcome.run.exit_status << ", "
               << outcome.run.seconds << " s\n"
               << outcome.problem << "log saved as " << saved << ".out and .err\n";
        if (failed < MAX_LOGS_PRINTED) {
            report << "----- standard output -----\n"
                   << outcome.run.out << "----- standard error -----\n"
                   << outcome.run.err << "-----\n";
        }
        ADD_FAILURE() << report.str();
        ++failed;
    }
    std::cout << plans.size() - failed << " of " << plans.size() << " runs clean\n";
}

std::vector<Plan> NormalRuns(const char* name, int runs, bool pinned) {
    std::vector<Plan> plans(FromEnvironment("TRANSLATERS_E2E_RUNS", runs));
    for (std::size_t i = 0; i < plans.size(); ++i) {
        plans[i].name = std::string(name) + "-" + std::to_string(i);
        plans[i].options.pin_to_one_cpu = pinned;
        plans[i].options.timeout_seconds = RUN_TIMEOUT_SECONDS;
    }
    return plans;
}

// Every creation point fails in turn, `rounds` times each; every other round
// runs pinned to one CPU.
std::vector<Plan> FailureRuns(const char* name, int rounds) {
    std::vector<Plan> plans;
    rounds = FromEnvironment("TRANSLATERS_E2E_FAIL_ROUNDS", rounds);
    for (int round = 0; round < rounds; ++round) {
        for (int at = 1; at <= logcheck::NUM_CREATIONS; ++at) {
            Plan plan;
            plan.name =
                std::string(name) + "-at" + std::to_string(at) + "-" + std::to_string(round);
            plan.fail_create_at = at;
            plan.options.extra_env = {std::string("LD_PRELOAD=") + FAIL_CREATE_SHIM,
                                      "TRANSLATERS_FAIL_CREATE_AT=" + std::to_string(at)};
            plan.options.pin_to_one_cpu = round % 2 == 1;
            plan.options.timeout_seconds = RUN_TIMEOUT_SECONDS;
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
