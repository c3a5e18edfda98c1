// translaters: a pool of translater threads serving a wave of client threads.
//
// Threads: the main thread (the driver), NUM_TRANSLATERS translater threads
// alive for the whole run, and up to NUM_CLIENTS short-lived client threads.
// Locks: g_io_mutex around each output line, and one lock per translater
// inside CTranslater. No thread ever holds two locks at once.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "ctranslater.h"
#include "probes.h"
#include "run_sizes.h"
#include "swap_case.h"

namespace {

// Fixed at build time (CMake options of the same names).
const int NUM_TRANSLATERS = run_sizes::NUM_TRANSLATERS;
const int NUM_CLIENTS = run_sizes::NUM_CLIENTS;
const int MAX_CHARS = run_sizes::MAX_CHARS;
const int MAX_DELAY = run_sizes::MAX_DELAY;

const char UNKNOWN_EXCEPTION_TEXT[] = "Unknown exception occured!";

[[noreturn]] void FailRun(const char* message);

// Ends the run on an exception that no handler catches, as the second arm of
// main's handler does: one thrown while the pool is built before main (each
// translater's queue allocates its storage), while main reserves the handle
// lists, in a client thread (a queue that cannot grow) or anywhere else.
// Nothing that can throw runs under the console lock, which this takes.
[[noreturn]] void ReportUncaughtException() {
    FailRun(UNKNOWN_EXCEPTION_TEXT);
}

// Installed first, before the pool is built, so that no exception of the run
// ends in an abort. The handler it replaces is never called again.
const std::terminate_handler REPLACED_TERMINATE_HANDLER =
    std::set_terminate(ReportUncaughtException);

}  // namespace

// Thread handles in creation order; touched only by the main thread.
std::vector<pthread_t> g_translater_threads;
std::vector<pthread_t> g_client_threads;
// The pool, built during static initialisation: IDs 0, 1, 2 equal the indices.
CTranslater g_translaters[NUM_TRANSLATERS];
// The console lock: guards std::cout and std::cerr, one whole line at a time.
pthread_mutex_t g_io_mutex = PTHREAD_MUTEX_INITIALIZER;
// The stop flag: written once by the driver, after every client has ended;
// read by the translaters, partly under no lock.
std::atomic<bool> g_done{false};

namespace {

// Writes one whole line of the log under the console lock, then flushes it.
// The caller must not hold a translater's lock. The stream operators catch
// any failure inside (it marks the stream bad), so nothing thrown can leave
// the console lock held.
template <typename... Parts>
void WriteLine(const Parts&... parts) {
    pthread_mutex_lock(&g_io_mutex);
    (std::cout << ... << parts) << '\n' << std::flush;
    probes::Line();
    pthread_mutex_unlock(&g_io_mutex);
}

// Writes one failure line to standard error, as WriteLine does the log.
void WriteErrorLine(const char* message) {
    pthread_mutex_lock(&g_io_mutex);
    std::cerr << message << '\n' << std::flush;
    probes::ErrorLine();
    pthread_mutex_unlock(&g_io_mutex);
}

// The pacing function: a busy spin of 0 to MAX_DELAY - 1 iterations.
// glibc's rand is MT-safe, so every thread draws from the one seeded generator.
void Delay() {
    const int bound = std::rand() % MAX_DELAY;
    probes::DelayStart(bound);
    int i = 0;
    for (; i < bound; ++i) {
        // An empty statement the compiler must keep, with i as its input, so the
        // optimiser can neither drop the loop nor fold it into one step.
        __asm__ __volatile__("" : : "r"(i));
    }
    probes::DelayEnd(i);
}

// The character line: the translation is made under the console lock.
void WriteTranslation(int id, char ch) {
    pthread_mutex_lock(&g_io_mutex);
    std::cout << "Translater " << id << ": " << ch << " -> " << SwapCase(ch) << '\n' << std::flush;
    probes::Line();
    pthread_mutex_unlock(&g_io_mutex);
}

// Takes one job up to its NUL terminator and returns its count of characters.
int TranslateJob(CTranslater& translater, int id) {
    int count = 0;
    for (char ch = translater.Pop(); ch != '\0'; ch = translater.Pop()) {
        WriteTranslation(id, ch);
        ++count;
        Delay();
    }
    return count;
}

void* TranslaterThread(void* arg) {
    CTranslater& translater = *static_cast<CTranslater*>(arg);
    const int id = translater.GetID();
    probes::TranslaterStart(id);
    WriteLine("Translater ", id, ": Entering thread");
    // JobFinished returns false only at the stop with no claim held, so a job
    // claimed before the stop is always served first.
    while (translater.JobFinished()) {
        const int count = TranslateJob(translater, id);
        WriteLine("Translater ", id, ": ", "Translated ", count, " characters");
    }
    WriteLine("Translater ", id, ": ", "Leaving thread");
    probes::TranslaterEnd(id);
    return nullptr;
}

// A random letter from 'a'-'y' or 'A'-'Y': the first draw picks the case, the
// second the letter.
char RandomLetter() {
    const bool lower = std::rand() % 2 == 1;
    const char first = lower ? 'a' : 'A';
    return static_cast<char>(first + std::rand() % 25);
}

// Claims the lowest-numbered unclaimed translater in one pass; -1 if none.
int ClaimTranslater() {
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        if (g_translaters[t].TryToOccupy()) {
            return t;
        }
    }
    return -1;
}

void* ClientThread(void* arg) {
    const int count = std::rand() % MAX_CHARS + 1;
    const auto client = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    probes::ClientStart(client, count);
    WriteLine("Client ", client, ": Entering thread");
    Delay();
    const int t = ClaimTranslater();
    if (t < 0) {
        WriteLine("Client ", client, ": All translaters are occupied, leaving thread");
        probes::ClientEnd(client, t);
        return nullptr;
    }
    for (int j = 0; j < count; ++j) {
        const char letter = RandomLetter();
        WriteLine("Client ", client, ">", t, ": Sending ", letter);
        g_translaters[t].Push(letter);
        Delay();
    }
    WriteLine("Client ", client, ">", t, ": Sended ", count, " characters, leaving thread");
    g_translaters[t].Push('\0');
    probes::ClientEnd(client, t);
    return nullptr;
}

// Creates a joinable thread and appends its handle to threads.
void StartThread(std::vector<pthread_t>& threads, void* (*body)(void*), void* arg) {
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, body, arg) != 0) {
        throw std::runtime_error("Unable to create thread");
    }
    threads.push_back(thread);
}

void StartTranslaters() {
    for (CTranslater& translater : g_translaters) {
        StartThread(g_translater_threads, TranslaterThread, &translater);
    }
}

void LaunchClients() {
    for (int i = 0; i < NUM_CLIENTS; ++i) {
        StartThread(g_client_threads, ClientThread, reinterpret_cast<void*>(std::intptr_t{i}));
        probes::ClientCreated(i);
        Delay();
    }
}

void JoinAll(const std::vector<pthread_t>& threads) {
    for (const pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
}

void StopTranslaters() {
    g_done = true;
    probes::StopFlag();
    WriteLine("All clients finished");
    for (CTranslater& translater : g_translaters) {
        translater.CondSignal();
    }
    JoinAll(g_translater_threads);
    WriteLine("All translaters finished");
}

// A log that could not be written makes a failed run, not a success: says so
// on standard error. Called by the driver once every other thread has ended.
bool LogWasWritten() {
    std::cout.flush();
    if (std::cout && std::ferror(stdout) == 0) {
        return true;
    }
    WriteErrorLine("Unable to write the log to standard output");
    return false;
}

// Ends a failed run. Threads are still running and may be waiting on a
// translater's condition variable, so static destructors must not run: the
// process ends here, holding the console lock so no other line follows.
[[noreturn]] void FailRun(const char* message) {
    pthread_mutex_lock(&g_io_mutex);
    std::cerr << message << '\n';
    std::cout.flush();
    std::cerr.flush();
    probes::ErrorLine();
    probes::DriverEnd(1);
    std::_Exit(1);
}

}  // namespace

int main() {
    probes::DriverStart();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    g_translater_threads.reserve(NUM_TRANSLATERS);
    g_client_threads.reserve(NUM_CLIENTS);
    try {
        StartTranslaters();
        LaunchClients();
    } catch (const std::runtime_error& error) {
        FailRun(error.what());
    } catch (...) {
        FailRun(UNKNOWN_EXCEPTION_TEXT);
    }
    JoinAll(g_client_threads);
    StopTranslaters();
    const int status = LogWasWritten() ? 0 : 1;
    pthread_mutex_destroy(&g_io_mutex);
    probes::DriverEnd(status);
    return status;
}
