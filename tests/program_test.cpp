// The program as a process: exit status, standard error and the frame of the log.
#include <chrono>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_checker.h"
#include "process_runner.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::StdoutMode;

const logcheck::Sizes SIZES;  // this build's
// A failed run ends at once; the shim may hold it up to two seconds.
constexpr double FAILED_RUN_BOUND_SECONDS = 10;

RunResult RunTranslaters(const RunOptions& options = {}) {
    return RunProgram(TRANSLATERS_EXE, options);
}

// Exit status 0, nothing on standard error, and a log the checker accepts:
// every translater started and stopped, the driver's lines last.
void ExpectCleanRun(const RunResult& result) {
    ASSERT_FALSE(result.timed_out) << "the program hung";
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(
        logcheck::FormatFindings(logcheck::CheckRun(result.out, result.err, result.exit_status)),
        "");
}

TEST(ProgramRunTest, NormalRunExitsCleanlyWithEveryTranslaterStartedAndStopped) {
    ExpectCleanRun(RunTranslaters());
}

TEST(ProgramRunTest, ArgumentsAndEnvironmentAreIgnored) {
    RunOptions options;
    options.args = {"--help", "-n", "5", "input.txt"};
    options.extra_env = {"NUM_CLIENTS=1", "TRANSLATERS=0"};
    ExpectCleanRun(RunTranslaters(options));
}

// The generator is seeded with the time in whole seconds at the start of the
// run (the shim tells the seed given to srand), so runs started in different
// seconds draw differently.
TEST(ProgramRunTest, SeedsWithTheTimeSoRunsInDifferentSecondsDiffer) {
    RunOptions options;
    options.extra_env = {std::string("LD_PRELOAD=") + FAIL_CREATE_SHIM,
                         "TRANSLATERS_REPORT_SEED=1"};
    options.report_pipe = true;
    std::vector<long> seeds;
    std::vector<std::string> logs;
    for (int run = 0; run < 2; ++run) {
        const std::time_t before = std::time(nullptr);
        const RunResult result = RunTranslaters(options);
        const std::time_t after = std::time(nullptr);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        ASSERT_EQ(result.report.rfind("seed ", 0), 0u) << "srand was not called: " << result.report;
        seeds.push_back(std::stol(result.report.substr(5)));
        EXPECT_EQ(result.report, "seed " + std::to_string(seeds.back()) + "\n") << "seeded twice";
        EXPECT_GE(seeds.back(), before);
        EXPECT_LE(seeds.back(), after);
        logs.push_back(result.out);
        // The next run starts in a later second than this one's seed.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::time(nullptr) <= seeds.back() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_NE(seeds.front(), seeds.back());
    EXPECT_NE(logs.front(), logs.back());
}

// Creations 1 to NUM_TRANSLATERS start the translaters; the shim fails the Nth one.
class TranslaterCreationFailureTest : public ::testing::TestWithParam<int> {};

TEST_P(TranslaterCreationFailureTest, ReportsAndExitsWithStatusOne) {
    const int failing = GetParam();
    RunOptions options;
    options.extra_env = {std::string("LD_PRELOAD=") + FAIL_CREATE_SHIM,
                         "TRANSLATERS_FAIL_CREATE_AT=" + std::to_string(failing)};
    options.timeout_seconds = FAILED_RUN_BOUND_SECONDS;
    const RunResult result = RunProgram(TRANSLATERS_EXE, options);
    ASSERT_FALSE(result.timed_out) << "the failed run hung";
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 1);
    // Status 1, the report, no driver line, and only translaters before it.
    EXPECT_EQ(logcheck::FormatFindings(
                  logcheck::CheckFailedRun(result.out, result.err, result.exit_status, failing)),
              "");
    if (failing == 1) {
        EXPECT_EQ(result.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(EachTranslater, TranslaterCreationFailureTest,
                         ::testing::Range(1, SIZES.translaters + 1));

// A log that cannot be written, on a full device or a closed stream.
class UnwritableLogTest : public ::testing::TestWithParam<StdoutMode> {};

TEST_P(UnwritableLogTest, IsAFailureExplainedOnStandardError) {
    RunOptions options;
    options.stdout_mode = GetParam();
    const RunResult result = RunTranslaters(options);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, logcheck::WRITE_FAILED_TEXT);
}

INSTANTIATE_TEST_SUITE_P(FullAndClosed, UnwritableLogTest,
                         ::testing::Values(StdoutMode::kDevFull, StdoutMode::kClosed));

TEST(ProgramOutputTest, ReaderThatGoesAwayEndsTheProgramBySigpipe) {
    RunOptions options;
    options.stdout_mode = StdoutMode::kReaderGone;
    const RunResult result = RunTranslaters(options);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, SIGPIPE);
    EXPECT_EQ(result.err, "");
}

}  // namespace
