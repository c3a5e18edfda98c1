// Test-only LD_PRELOAD library: makes memory allocations fail, and watches how
// the process ends.
//
// It stands in for malloc, calloc and realloc (operator new goes through
// malloc; glibc's own allocations, a new thread's TLS among them, go through
// these too) and forwards to glibc's allocator. Each allocation is counted, in
// one of three ways (TRANSLATERS_FAIL_ALLOC_COUNT):
//   main     every allocation from the start of main on (the default)
//   start    every allocation from the start of the process
//   threads  only those made on threads other than the main thread, from the
//            start of main on: the clients' and translaters', such as a
//            queue's storage growing
// and fails, with ENOMEM, either
//   TRANSLATERS_FAIL_ALLOC_AT=N    the Nth counted allocation only, or
//   TRANSLATERS_FAIL_ALLOC_FROM=N  every counted allocation from the Nth on;
// and, with TRANSLATERS_FAIL_ALLOC_AFTER_FAILED_CREATE=1, every allocation
// made after a pthread_create that failed (for instance in the
// TRANSLATERS_FAIL_CREATE_AT shim, preloaded after this one).
//
// TRANSLATERS_FAIL_ALLOC_LONG_RUN=1 makes a long run: each pthread_create
// first waits (at most two seconds) until every other thread sleeps in a futex
// wait. Each client then starts only once the one before it has ended and its
// translater is idle again, so every client gets a job, all on translater 0,
// and that queue's storage grows as its letters pass through.
//
// TRANSLATERS_FAIL_ALLOC_REPORT_FD names a file descriptor, open in the
// process as it starts (a pipe, so that no file size limit applies to it), on
// which the shim notes, one line each:
//   main N          main started after N allocations of the process
//   failed N SIZE main|thread   it failed counted allocation N (0: one after a
//                   failed thread creation), of SIZE bytes, on that thread
//   exit N RUNNING  the process exits normally after N counted allocations,
//                   with RUNNING threads still running
// No line "exit" means the process did not end through exit: _Exit, a signal.
//
// Whatever the mode, a mutex or condition variable destroyed while another
// thread runs is reported on standard error, where the tests see it: nothing
// may be torn down under a running thread. A thread runs from its creation
// until its body returns, which comes before pthread_join returns for it (a
// thread that has been joined may still show in /proc for a moment).
//
// Inside malloc nothing may allocate, so the shim uses system calls and
// fixed buffers only.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shim_support.h"

// glibc's own allocator, under its own names.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

extern char** environ;

namespace {

enum class Counted { kMain, kStart, kThreads };

struct Config {
    Counted counted = Counted::kMain;
    long at = 0;    // fail this one only; 0: none
    long from = 0;  // fail every one from this on; 0: none
    bool after_failed_create = false;
    bool long_run = false;
    int report_fd = -1;
};

// Read from the environment at the first allocation that finds it set up.
std::atomic<bool> g_configured{false};
Config g_config;

std::atomic<bool> g_in_main{false};
std::atomic<long> g_counted{0};
std::atomic<long> g_process_allocations{0};
std::atomic<bool> g_create_failed{false};

long NumberFrom(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? 0 : std::strtol(value, nullptr, 10);
}

bool Configure() {
    if (g_configured) {
        return true;
    }
    if (environ == nullptr) {
        return false;  // too early in the process to read anything
    }
    const char* counted = std::getenv("TRANSLATERS_FAIL_ALLOC_COUNT");
    if (counted != nullptr && std::strcmp(counted, "start") == 0) {
        g_config.counted = Counted::kStart;
    } else if (counted != nullptr && std::strcmp(counted, "threads") == 0) {
        g_config.counted = Counted::kThreads;
    }
    g_config.at = NumberFrom("TRANSLATERS_FAIL_ALLOC_AT");
    g_config.from = NumberFrom("TRANSLATERS_FAIL_ALLOC_FROM");
    g_config.after_failed_create = NumberFrom("TRANSLATERS_FAIL_ALLOC_AFTER_FAILED_CREATE") != 0;
    g_config.long_run = NumberFrom("TRANSLATERS_FAIL_ALLOC_LONG_RUN") != 0;
    const char* report_fd = std::getenv("TRANSLATERS_FAIL_ALLOC_REPORT_FD");
    g_config.report_fd =
        report_fd == nullptr ? -1 : static_cast<int>(std::strtol(report_fd, nullptr, 10));
    g_configured = true;
    return true;
}

bool OnMainThread() {
    return syscall(SYS_gettid) == getpid();
}

// A line of decimal numbers and words, built without allocating.
class CLine {
public:
    CLine& Word(const char* word) {
        Append(word, std::strlen(word));
        return Append(" ", 1);
    }
    CLine& Number(unsigned long value) {
        char digits[24];
        std::size_t n = 0;
        do {
            digits[sizeof(digits) - 1 - n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        Append(digits + sizeof(digits) - n, n);
        return Append(" ", 1);
    }
    // Copies the line, without its last space, as a string of at most size - 1
    // characters.
    void CopyTo(char* text, std::size_t size) const {
        const std::size_t length = m_size == 0 ? 0 : std::min(m_size - 1, size - 1);
        std::memcpy(text, m_text, length);
        text[length] = '\0';
    }
    // Writes the line, a newline in place of its last space.
    void WriteTo(int fd) {
        if (m_size != 0) {
            m_text[m_size - 1] = '\n';
            (void)!write(fd, m_text, m_size);
        }
    }
    // Writes the line on the report descriptor, if there is one.
    void Report() {
        if (Configure() && g_config.report_fd >= 0) {
            WriteTo(g_config.report_fd);
        }
    }

private:
    CLine& Append(const char* text, std::size_t length) {
        const std::size_t room = sizeof(m_text) - m_size;
        const std::size_t taken = length < room ? length : room;
        std::memcpy(m_text + m_size, text, taken);
        m_size += taken;
        return *this;
    }

    char m_text[128] = {};
    std::size_t m_size = 0;
};

// The threads created whose bodies have not returned yet; each body runs
// through RunBody, its start kept in a slot of its own (nothing may allocate).
using BodyFunction = void* (*)(void*);
struct Start {
    BodyFunction body;
    void* arg;
};
const int MAX_STARTS = 256;
Start g_starts[MAX_STARTS];
std::atomic<int> g_next_start{0};
std::atomic<long> g_running{0};

void* RunBody(void* slot) {
    const Start& start = *static_cast<const Start*>(slot);
    void* const result = start.body(start.arg);
    --g_running;
    return result;
}

// Whether thread tid sleeps in a futex wait: its /proc syscall file starts
// with the number of the system call it is in ("running" while on a CPU).
bool AsleepInFutex(const char* tid) {
    char path[64];
    // snprintf with nothing but %s allocates nothing.
    const int length = std::snprintf(path, sizeof(path), "/proc/self/task/%s/syscall", tid);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof(path)) {
        return true;  // no thread ID is that long
    }
    char text[32] = {};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return true;  // the thread has ended
    }
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    return n > 0 && end != text && number == SYS_futex;
}

// Whether every thread but the calling one sleeps in a futex wait; reads
// /proc/self/task with system calls only, so it allocates nothing.
bool OtherThreadsAsleep() {
    const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    char self[24] = {};
    CLine().Number(static_cast<unsigned long>(syscall(SYS_gettid))).CopyTo(self, sizeof(self));
    bool asleep = true;
    alignas(dirent64) char entries[4096];
    for (long n; asleep && (n = syscall(SYS_getdents64, fd, entries, sizeof(entries))) > 0;) {
        for (long offset = 0; asleep && offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            const char* tid = entry->d_name;
            if (tid[0] != '.' && std::strcmp(tid, self) != 0) {
                asleep = AsleepInFutex(tid);
            }
        }
    }
    close(fd);
    return asleep;
}

void WaitForOtherThreadsToSleep() {
    const timespec pause{0, 1000000};
    for (int waits = 0; waits < 2000 && !OtherThreadsAsleep(); ++waits) {
        nanosleep(&pause, nullptr);
    }
}

// The number of this allocation as counted, or 0 if it is not counted.
long Count() {
    const long process_number = ++g_process_allocations;
    if (g_config.counted == Counted::kStart) {
        g_counted = process_number;
        return process_number;
    }
    if (!g_in_main || (g_config.counted == Counted::kThreads && OnMainThread())) {
        return 0;
    }
    return ++g_counted;
}

// Whether the allocation now being made, of size bytes, is to fail.
bool ShallFail(std::size_t size) {
    const bool configured = Configure();
    const long number = Count();
    if (!configured) {
        return false;
    }
    const bool chosen =
        number != 0 && (number == g_config.at || (g_config.from != 0 && number >= g_config.from));
    const bool after_create = g_config.after_failed_create && g_create_failed;
    if (!chosen && !after_create) {
        return false;
    }
    CLine()
        .Word("failed")
        .Number(chosen ? number : 0)
        .Number(size)
        .Word(OnMainThread() ? "main" : "thread")
        .Report();
    errno = ENOMEM;
    return true;
}

using MainFunction = int (*)(int, char**, char**);
using StartMainFunction = int (*)(MainFunction, int, char**, void (*)(), void (*)(), void (*)(),
                                  void*);
using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

MainFunction g_real_main = nullptr;

int CountedMain(int argc, char** argv, char** envp) {
    CLine().Word("main").Number(g_process_allocations.load()).Report();
    g_in_main = true;
    return g_real_main(argc, argv, envp);
}

__attribute__((destructor)) void ReportExit() {
    CLine().Word("exit").Number(g_counted.load()).Number(g_running.load()).Report();
}

}  // namespace

void shim::ReportTeardown(const char* call) {
    if (g_running > 0) {
        CLine().Word("torn down under a running thread:").Word(call).WriteTo(STDERR_FILENO);
    }
}

extern "C" void* malloc(std::size_t size) {
    return ShallFail(size) ? nullptr : __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    return ShallFail(count * size) ? nullptr : __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    // realloc to size 0 frees; it allocates nothing that could fail.
    return size != 0 && ShallFail(size) ? nullptr : __libc_realloc(pointer, size);
}

// Wraps main, so that "from the start of main" can be counted.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's name
extern "C" int __libc_start_main(MainFunction main, int argc, char** argv, void (*init)(),
                                 void (*fini)(), void (*rtld_fini)(), void* stack_end) {
    g_real_main = main;
    static const auto real = shim::Real<StartMainFunction>("__libc_start_main");
    return real(CountedMain, argc, argv, init, fini, rtld_fini, stack_end);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*body)(void*),
                              void* arg) {
    static const auto real = shim::Real<CreateFunction>("pthread_create");
    if (Configure() && g_config.long_run) {
        WaitForOtherThreadsToSleep();
    }
    const int slot = g_next_start++;
    if (slot >= MAX_STARTS) {
        return real(thread, attr, body, arg);  // more threads than this program makes
    }
    g_starts[slot] = Start{body, arg};
    ++g_running;
    const int result = real(thread, attr, RunBody, &g_starts[slot]);
    if (result != 0) {
        --g_running;
        g_create_failed = true;
    }
    return result;
}
