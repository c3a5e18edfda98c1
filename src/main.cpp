// translaters: a pool of translater threads serving a wave of client threads.
//
// Threads: the main thread (the driver), NUM_TRANSLATERS translater threads
// alive for the whole run, and up to NUM_CLIENTS short-lived client threads.
// Locks: g_io_mutex around each output line, and one lock per translater
// inside CTranslater. No thread ever holds two locks at once.
#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "ctranslater.h"

namespace {

const int NUM_TRANSLATERS = 3;
const int NUM_CLIENTS = 30;
const int MAX_CHARS = 100;
const int MAX_DELAY = 100000;

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

// Writes one whole line under the console lock, then flushes it.
// The caller must not hold a translater's lock.
template <typename... Parts>
void WriteLine(std::ostream& stream, const Parts&... parts) {
    pthread_mutex_lock(&g_io_mutex);
    (stream << ... << parts) << '\n' << std::flush;
    pthread_mutex_unlock(&g_io_mutex);
}

// The pacing function: a busy spin of 0 to MAX_DELAY - 1 iterations.
// glibc's rand is MT-safe, so every thread draws from the one seeded generator.
void Delay() {
    const int bound = std::rand() % MAX_DELAY;
    for (int i = 0; i < bound; ++i) {
        // An empty statement the compiler must keep, with i as its input, so the
        // optimiser can neither drop the loop nor fold it into one step.
        __asm__ __volatile__("" : : "r"(i));
    }
}

// Swaps the case of 'a'-'z' and 'A'-'Z'; every other value comes out as it
// went in. Only letters reach toupper/tolower, so no negative value does.
char SwapCase(char ch) {
    if (ch >= 'a' && ch <= 'z') {
        return static_cast<char>(std::toupper(ch));
    }
    if (ch >= 'A' && ch <= 'Z') {
        return static_cast<char>(std::tolower(ch));
    }
    return ch;
}

// The character line: the translation is made under the console lock.
void WriteTranslation(int id, char ch) {
    pthread_mutex_lock(&g_io_mutex);
    std::cout << "Translater " << id << ": " << ch << " -> " << SwapCase(ch) << '\n' << std::flush;
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
    WriteLine(std::cout, "Translater ", id, ": Entering thread");
    // JobFinished returns false only at the stop with no claim held, so a job
    // claimed before the stop is always served first.
    while (translater.JobFinished()) {
        const int count = TranslateJob(translater, id);
        WriteLine(std::cout, "Translater ", id, ": ", "Translated ", count, " characters");
    }
    WriteLine(std::cout, "Translater ", id, ": ", "Leaving thread");
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
    WriteLine(std::cout, "Client ", client, ": Entering thread");
    Delay();
    const int t = ClaimTranslater();
    if (t < 0) {
        WriteLine(std::cout, "Client ", client, ": All translaters are occupied, leaving thread");
        return nullptr;
    }
    for (int j = 0; j < count; ++j) {
        const char letter = RandomLetter();
        WriteLine(std::cout, "Client ", client, ">", t, ": Sending ", letter);
        g_translaters[t].Push(letter);
        Delay();
    }
    WriteLine(std::cout, "Client ", client, ">", t, ": Sended ", count,
              " characters, leaving thread");
    g_translaters[t].Push('\0');
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
        Delay();
    }
}

void JoinAll(const std::vector<pthread_t>& threads) {
    for (const pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
}

// Ends a failed run. Threads are still running and may be waiting on a
// translater's condition variable, so static destructors must not run: the
// process ends here, holding the console lock so no other line follows.
[[noreturn]] void FailRun(const char* message) {
    pthread_mutex_lock(&g_io_mutex);
    std::cerr << message << '\n';
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(1);
}

void StopTranslaters() {
    g_done = true;
    WriteLine(std::cout, "All clients finished");
    for (CTranslater& translater : g_translaters) {
        translater.CondSignal();
    }
    JoinAll(g_translater_threads);
    WriteLine(std::cout, "All translaters finished");
}

// A log that could not be written makes a failed run, not a success: says so
// on standard error. Called by the driver once every other thread has ended.
bool LogWasWritten() {
    std::cout.flush();
    if (std::cout && std::ferror(stdout) == 0) {
        return true;
    }
    WriteLine(std::cerr, "Unable to write the log to standard output");
    return false;
}

}  // namespace

int main() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    g_translater_threads.reserve(NUM_TRANSLATERS);
    g_client_threads.reserve(NUM_CLIENTS);
    try {
        StartTranslaters();
        LaunchClients();
    } catch (const std::runtime_error& error) {
        FailRun(error.what());
    } catch (...) {
        FailRun("Unknown exception occured!");
    }
    JoinAll(g_client_threads);
    StopTranslaters();
    const bool logged = LogWasWritten();
    pthread_mutex_destroy(&g_io_mutex);
    return logged ? 0 : 1;
}
