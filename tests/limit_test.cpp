// A wave past what the machine gives: thread creation fails for real, and the
// run must end as the program promises, with exit status 1, "Unable to create
// thread" and a log that is a legal beginning of a run; never a crash, an
// abort or a hang.
//
// Every client that has ended keeps its stack until the driver joins it, after
// the whole wave has been launched, so the launch takes one stack of address
// space per thread. A cap on the address space (RLIMIT_AS) some stacks short of
// what a whole run takes makes a client's creation fail partway through the
// launch. The cap is searched for on this machine, not assumed.
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "log_checker.h"
#include "process_runner.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;

const logcheck::Sizes SIZES;  // this build's
constexpr std::size_t MIB = std::size_t{1} << 20;
// Far beyond what a run of any size this test is built with can take.
constexpr std::size_t LARGEST_CAP = std::size_t{1} << 40;
// A whole run ends within about a second (its stop may wait out one), a failed
// one at once; this only catches a hang.
constexpr double RUN_BOUND_SECONDS = 10;
constexpr int RUNS_AT_THE_CAP = 3;

// The stack of a new thread by default: glibc takes it from RLIMIT_STACK, which
// the program inherits from this process.
std::size_t DefaultStackSize() {
    pthread_attr_t attr;
    std::size_t size = 0;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

// One malloc arena: otherwise glibc gives threads arenas of their own, each
// taking 64 MiB of address space, as many as happen to allocate at once, and
// the address space a run takes would vary by more stacks than the cap is short.
RunResult RunCapped(std::size_t cap, bool pinned = false) {
    RunOptions options;
    options.address_space_limit = cap;
    options.extra_env = {"MALLOC_ARENA_MAX=1"};
    options.pin_to_one_cpu = pinned;
    options.timeout_seconds = RUN_BOUND_SECONDS;
    return RunProgram(TRANSLATERS_EXE, options);
}

// Whether a whole run fits under the cap: it ends normally, with every client.
bool Fits(std::size_t cap) {
    const RunResult result = RunCapped(cap);
    return logcheck::CheckRun(result.out, result.err, result.exit_status).Clean();
}

// The smallest cap under which a whole run fits, to within step; 0 if none does.
std::size_t SmallestFittingCap(std::size_t step) {
    std::size_t fits = 64 * MIB;
    while (!Fits(fits)) {
        if (fits >= LARGEST_CAP) {
            return 0;
        }
        fits *= 2;
    }
    std::size_t short_of = 0;
    while (fits - short_of > step) {
        const std::size_t middle = short_of + (fits - short_of) / 2;
        (Fits(middle) ? fits : short_of) = middle;
    }
    return fits;
}

TEST(WavePastTheLimitTest, FailedThreadCreationEndsTheRunWithStatusOne) {
    const std::size_t stack = DefaultStackSize();
    ASSERT_GT(stack, 0U);
    const std::size_t fits = SmallestFittingCap(stack / 8);
    ASSERT_GT(fits, 0U) << "no run fitted under any cap";
    // Half the wave's stacks short (one at least): every translater still fits.
    const std::size_t short_by = static_cast<std::size_t>(std::max(1, SIZES.clients / 2));
    ASSERT_GT(fits, short_by * stack);
    const std::size_t cap = fits - short_by * stack;
    for (int i = 0; i < 2 * RUNS_AT_THE_CAP; ++i) {
        const bool pinned = i % 2 == 1;
        SCOPED_TRACE("run " + std::to_string(i) + (pinned ? ", pinned" : "") + ", cap " +
                     std::to_string(cap / MIB) + " MiB of a whole run's " +
                     std::to_string(fits / MIB) + " MiB");
        const RunResult result = RunCapped(cap, pinned);
        ASSERT_FALSE(result.timed_out) << "the program hung";
        EXPECT_EQ(result.signal, 0) << "the program was killed by a signal";
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, logcheck::CREATE_FAILED_TEXT);
        const logcheck::Result check =
            logcheck::CheckStoppedRun(result.out, result.err, result.exit_status);
        EXPECT_TRUE(check.Clean()) << logcheck::FormatFindings(check);
    }
}

}  // namespace
