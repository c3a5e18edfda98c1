#include "run_batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace testing_support {
namespace {

const int DEFAULT_PARALLEL = 8;
const int MAX_LOGS_PRINTED = 3;

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
    if (!run.report.empty()) {
        std::ofstream(base + ".report", std::ios::binary) << run.report;
    }
    return base;
}

}  // namespace

int FromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    const long number = value == nullptr ? 0 : std::strtol(value, nullptr, 10);
    return number > 0 && number < 100000 ? static_cast<int>(number) : fallback;
}

std::string HungOrKilled(const RunResult& run) {
    if (run.timed_out) {
        return "no exit within the time limit: hung\n";
    }
    if (run.signal != 0) {
        return "ended by signal " + std::to_string(run.signal) + "\n";
    }
    return "";
}

std::vector<RunOutcome> RunBatch(const std::vector<PlannedRun>& plans, int parallel) {
    std::vector<RunOutcome> outcomes(plans.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < plans.size(); i = next++) {
            try {
                outcomes[i].run = RunProgram(TRANSLATERS_EXE, plans[i].options);
                outcomes[i].problem = plans[i].check(outcomes[i].run);
            } catch (const std::exception& error) {
                outcomes[i].problem = std::string("could not run: ") + error.what() + "\n";
            }
        }
    };
    if (parallel <= 0) {
        parallel = FromEnvironment("TRANSLATERS_E2E_PARALLEL", DEFAULT_PARALLEL);
    }
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

int ReportProblems(const std::vector<PlannedRun>& plans, const std::vector<RunOutcome>& outcomes) {
    int failed = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const RunOutcome& outcome = outcomes[i];
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
                   << outcome.run.err;
            if (!outcome.run.report.empty()) {
                report << "----- report -----\n" << outcome.run.report;
            }
            report << "-----\n";
        }
        ADD_FAILURE() << report.str();
        ++failed;
    }
    return failed;
}

void ExpectAllClean(const std::vector<PlannedRun>& plans) {
    const int failed = ReportProblems(plans, RunBatch(plans));
    std::cout << plans.size() - failed << " of " << plans.size() << " runs clean\n";
}

}  // namespace testing_support
