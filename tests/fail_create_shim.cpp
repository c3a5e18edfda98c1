// Test-only LD_PRELOAD library: makes the Nth pthread_create of the process fail
// with EAGAIN, N taken from TRANSLATERS_FAIL_CREATE_AT (1 for the first call).
// Every other call goes to the real pthread_create.
//
// After the failure, threads are still running, so no mutex or condition
// variable may be destroyed any more: the shim reports any such call on
// standard error, where the tests see it.
//
// Before failing, it waits (at most two seconds) until every other thread of
// the process sleeps in a futex wait, so the failure meets translaters that
// are already waiting on their condition variables: the case in which tearing
// the channels down would hang the process.
//
// With TRANSLATERS_REPORT_SEED set, it also tells on the report pipe
// (REPORT_FD) each seed the program gives srand, as "seed N"; with
// TRANSLATERS_SEED=N it seeds with N instead, so that runs started in the
// same second draw independently.
#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "process_runner.h"
#include "shim_support.h"

namespace {

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<long> g_calls{0};
std::atomic<bool> g_failed{false};

long FailingCall() {
    const char* value = std::getenv("TRANSLATERS_FAIL_CREATE_AT");
    return value == nullptr ? 0 : std::strtol(value, nullptr, 10);
}

bool OtherThreadsAsleep() {
    const std::string self = std::to_string(syscall(SYS_gettid));
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return true;
    }
    bool asleep = true;
    while (const dirent* entry = readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self) {
            continue;
        }
        std::ifstream file("/proc/self/task/" + tid + "/syscall");
        std::string number;    // "running" while on a CPU
        if (file >> number) {  // a thread that has ended has no file
            asleep = asleep && number == std::to_string(SYS_futex);
        }
    }
    closedir(tasks);
    return asleep;
}

void WaitForOtherThreadsToSleep() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!OtherThreadsAsleep() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*body)(void*),
                              void* arg) {
    if (++g_calls == FailingCall()) {
        WaitForOtherThreadsToSleep();
        g_failed = true;
        return EAGAIN;
    }
    static const auto real = shim::Real<CreateFunction>("pthread_create");
    return real(thread, attr, body, arg);
}

extern "C" void srand(unsigned seed) {
    if (std::getenv("TRANSLATERS_REPORT_SEED") != nullptr) {
        const std::string line = "seed " + std::to_string(seed) + "\n";
        const ssize_t written = write(testing_support::REPORT_FD, line.data(), line.size());
        (void)written;
    }
    const char* instead = std::getenv("TRANSLATERS_SEED");
    static const auto real = shim::Real<void (*)(unsigned)>("srand");
    real(instead != nullptr ? static_cast<unsigned>(std::strtoul(instead, nullptr, 10)) : seed);
}

void shim::ReportTeardown(const char* call) {
    if (g_failed) {
        const std::string line = std::string("torn down after the failure: ") + call + "\n";
        // Best effort: there is nothing to do if standard error is gone. A cast
        // to void does not silence g++'s warn_unused_result, which glibc's
        // fortified write() carries.
        const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}
