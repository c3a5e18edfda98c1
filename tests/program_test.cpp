// The program as a process: exit status, standard error and the frame of the log.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_runner.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SplitLines;
using testing_support::StdoutMode;

constexpr int NUM_TRANSLATERS = 3;
constexpr double RUN_BOUND_SECONDS = 30;
// A failed run ends at once; the shim may hold it up to two seconds.
constexpr double FAILED_RUN_BOUND_SECONDS = 10;

RunResult RunTranslaters(RunOptions options = {}) {
    options.timeout_seconds = RUN_BOUND_SECONDS;
    return RunProgram(TRANSLATERS_EXE, options);
}

int CountLines(const std::vector<std::string>& lines, const std::string& wanted) {
    int count = 0;
    for (const std::string& line : lines) {
        count += line == wanted ? 1 : 0;
    }
    return count;
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    return false;
}

std::string Translater(int id) {
    return "Translater " + std::to_string(id) + ": ";
}

void ExpectCleanRun(const RunResult& result) {
    ASSERT_FALSE(result.timed_out) << "the program hung";
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = SplitLines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "All translaters finished");
    EXPECT_EQ(CountLines(lines, "All translaters finished"), 1);
    EXPECT_EQ(CountLines(lines, "All clients finished"), 1);
    for (int id = 0; id < NUM_TRANSLATERS; ++id) {
        EXPECT_EQ(CountLines(lines, Translater(id) + "Entering thread"), 1) << id;
        EXPECT_EQ(CountLines(lines, Translater(id) + "Leaving thread"), 1) << id;
    }
    EXPECT_FALSE(HasLineStartingWith(lines, Translater(NUM_TRANSLATERS)));
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

// Creations 1 to 3 start the translaters; the shim fails the Nth one.
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
    EXPECT_EQ(result.err, "Unable to create thread\n");
    const std::vector<std::string> lines = SplitLines(result.out);
    if (failing == 1) {
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(HasLineStartingWith(lines, "All "));
    EXPECT_FALSE(HasLineStartingWith(lines, "Client "));
    for (int id = failing - 1; id < NUM_TRANSLATERS; ++id) {
        EXPECT_FALSE(HasLineStartingWith(lines, Translater(id))) << "never created: " << id;
    }
}

INSTANTIATE_TEST_SUITE_P(EachTranslater, TranslaterCreationFailureTest, ::testing::Values(1, 2, 3));

// A log that cannot be written, on a full device or a closed stream.
class UnwritableLogTest : public ::testing::TestWithParam<StdoutMode> {};

TEST_P(UnwritableLogTest, IsAFailureExplainedOnStandardError) {
    RunOptions options;
    options.stdout_mode = GetParam();
    const RunResult result = RunTranslaters(options);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Unable to write the log to standard output\n");
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
