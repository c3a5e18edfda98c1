// The program's own channel and thread bodies under Relacy's scheduler: each
// execution runs src/main.cpp's main (as TranslatersMain) as thread 0, which
// starts the translaters and the clients exactly as the program does; every
// lock taken, wait, start and join is a step the scheduler picks.
//
// Searches (--search):
//   bounded   Relacy's context-bound search (CHESS's preemption bound): every
//             execution with at most --bound preemptions, and at every other
//             step (a thread blocks or ends) every choice of the next thread.
//             Exhaustive within the bound. (Relacy has no reduction: at
//             2x3x(1..2), one preemption, one early wake-up and every job
//             length already make 11 million executions, 4.5 minutes.) A
//             wait's time runs out when no thread can run; up to --early
//             waits in an execution end before any signal (a spurious
//             wake-up, or a time-out that comes first), at each wait both
//             ways.
//   sampled   Relacy's random scheduler: --executions executions, execution i
//             seeded with i; at each step a random thread, or with
//             probability 1/4 a waiter whose time runs out, besides Relacy's
//             own spurious wake-ups and the --early ones.
// Locks taken and waits are the steps; a lock's release and a signal are not
// (a switch just before one equals one just after it).
// The draws the program makes from rand: a client's first draw, its job's
// length, is a choice of the search (every length from 1 to MAX_CHARS), or
// with --lengths fixed client k's k % MAX_CHARS + 1; every other draw (a letter, its case, a pause)
// is fixed by thread and draw. So an execution is replayed exactly from Relacy's state, which a
// failure prints with the command that replays it (--replay).
//
// Each execution must end with every thread (Relacy reports a deadlock, and a
// livelock as more than --depth steps); its log, written by the program as it
// writes it, must pass the log checker at the harness's sizes; no translater
// may sleep in Pop with letters in its queue; and at the end no translater may
// hold a claim or a letter. A failure prints what broke, the
// end of the execution's history (thread, operation, source line; the whole of
// it in interleavings-failure.txt) and the command that replays it.
#include "relacy_shim.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "ctranslater.h"
#include "log_check.h"
#include "run_sizes.h"

// src/main.cpp's.
int TranslatersMain();
extern std::vector<pthread_t> g_translater_threads;
extern std::vector<pthread_t> g_client_threads;
extern CTranslater g_translaters[run_sizes::NUM_TRANSLATERS];
extern pthread_mutex_t g_io_mutex;

namespace interleave {
namespace {

constexpr int NUM_TRANSLATERS = run_sizes::NUM_TRANSLATERS;
constexpr int NUM_CLIENTS = run_sizes::NUM_CLIENTS;
constexpr int THREADS = 1 + NUM_TRANSLATERS + NUM_CLIENTS;  // the driver first

// The harness reads and resets state the program keeps private: explicit
// instantiation may name private members, and the friend hands them out.
template <typename Tag, typename Tag::Type MEMBER>
struct Expose {
    friend typename Tag::Type Get(Tag /*tag*/) { return MEMBER; }
};
struct IdCounter {
    using Type = int*;
    friend Type Get(IdCounter);
};
struct Occupied {
    using Type = bool CTranslater::*;
    friend Type Get(Occupied);
};
struct Cond {
    using Type = pthread_cond_t CTranslater::*;
    friend Type Get(Cond);
};
struct Queue {
    using Type = std::queue<char> CTranslater::*;
    friend Type Get(Queue);
};
// Relacy counts heap blocks itself unless this is set; its count makes every
// free a choice of the search, which the program's heap has no need of.
struct AllocOff {
    using Type = int rl::context::*;
    friend Type Get(AllocOff);
};
template struct Expose<IdCounter, &CTranslater::m_num_translaters>;
template struct Expose<Occupied, &CTranslater::m_occupied>;
template struct Expose<Queue, &CTranslater::m_queue>;
template struct Expose<Cond, &CTranslater::m_cond>;
template struct Expose<AllocOff, &rl::context::disable_alloc_>;

struct Options {
    std::string search = "bounded";
    unsigned bound = 2;
    rl::iteration_t executions = 100;
    unsigned depth = 100000;
    int early = 1;            // waits ended before any signal, in one execution
    bool all_lengths = true;  // every job length, or client k's fixed at k % MAX_CHARS + 1
    std::string replay;
};
Options g_options;

struct Start {
    void* (*body)(void*);
    void* arg;
    int ordinal;  // creation order: the translaters, then the clients
};

// What one execution has done so far; reset by Run::before.
struct Execution {
    int created = 0;
    Start starts[THREADS] = {};
    int ordinal[THREADS] = {};  // by Relacy's thread index; -1 for the driver
    int draws[THREADS] = {};
    int early = 0;
    // The condition variable each thread sleeps on in an untimed wait (Pop's),
    // until a signal on it.
    const rl::rl_pthread_cond_t* sleeping[THREADS] = {};
    int status = -1;
};
Execution g_execution;
std::stringbuf g_out;
std::stringbuf g_err;

bool IsClient(unsigned thread) {
    return g_execution.ordinal[thread] >= NUM_TRANSLATERS;
}

// A choice among limit values that the search makes.
unsigned Choose(unsigned limit) {
    return rl::ctx().rand(limit, rl::sched_type_user);
}

// A wait that ends before any signal, while the execution has such ends left:
// a spurious wake-up, or a time-out that comes first. The waiter lets the lock
// go and takes it back, as a wait that ends so does.
bool EarlyWake(rl::rl_pthread_mutex_t* mutex, const char* what, rl::debug_info_param info) {
    if (g_execution.early >= g_options.early || Choose(2) == 0) {
        return false;
    }
    ++g_execution.early;
    RL_HIST_IMPL(rl::ctx(), info, rl::user_msg_event){what} RL_HIST_END();
    rl::rl_pthread_mutex_unlock(mutex, info);
    rl::rl_pthread_mutex_lock(mutex, info);
    return true;
}

void* RunStarted(void* start) {
    const Start& begun = *static_cast<Start*>(start);
    g_execution.ordinal[rl::thread_index()] = begun.ordinal;
    return begun.body(begun.arg);
}

struct Run : rl::test_suite<Run, 1> {
    static const rl::thread_id_t dynamic_thread_count = NUM_TRANSLATERS + NUM_CLIENTS;

    void before() {
        rl::ctx().*Get(AllocOff{}) = 1;
        g_execution = Execution{};
        g_execution.ordinal[0] = -1;
        g_out.str(std::string());
        g_err.str(std::string());
        // The pool and the console lock as static initialisation leaves them.
        *Get(IdCounter{}) = 0;
        for (CTranslater& translater : g_translaters) {
            new (&translater) CTranslater();
        }
        new (&g_io_mutex) rl::rl_pthread_mutex_t();
        rl::rl_pthread_mutex_init(&g_io_mutex, nullptr, RL_INFO);
        g_done = false;
        g_translater_threads.clear();
        g_client_threads.clear();
    }

    void thread(unsigned /*index*/) { g_execution.status = TranslatersMain(); }

    // At every step: no translater sleeps in Pop with letters in its queue, as
    // it does when a push did not wake it.
    void invariant() {
        for (const rl::rl_pthread_cond_t* cond : g_execution.sleeping) {
            for (CTranslater& translater : g_translaters) {
                if (cond == &(translater.*Get(Cond{})) && !(translater.*Get(Queue{})).empty()) {
                    static std::string reported;
                    reported = "translater " + std::to_string(translater.GetID()) +
                               " sleeps in Pop with letters in its queue: no push woke it";
                    rl::ctx().fail_test(reported.c_str(), rl::test_result_user_invariant_failed,
                                        RL_INFO);
                }
            }
        }
    }

    void after() {
        std::string broken;
        for (CTranslater& translater : g_translaters) {
            if (translater.*Get(Occupied{})) {
                broken += "translater " + std::to_string(translater.GetID()) +
                          " still claimed at the end\n";
            }
            if (!(translater.*Get(Queue{})).empty()) {
                broken += "translater " + std::to_string(translater.GetID()) +
                          " left letters in its queue\n";
            }
        }
        broken += CheckLog(
            g_out.str(), g_err.str(), g_execution.status,
            RunSizes{NUM_TRANSLATERS, NUM_CLIENTS, run_sizes::MAX_CHARS, run_sizes::MAX_DELAY});
        if (!broken.empty()) {
            static std::string reported;
            reported = "the execution's end state or log:\n" + broken + "the log:\n" + g_out.str();
            rl::ctx().fail_test(reported.c_str(), rl::test_result_user_assert_failed, RL_INFO);
        }
        for (CTranslater& translater : g_translaters) {
            translater.~CTranslater();
        }
    }
};

}  // namespace

int CondWait(rl::rl_pthread_cond_t* cond, rl::rl_pthread_mutex_t* mutex,
             rl::debug_info_param info) {
    if (EarlyWake(mutex, "spurious wake-up", info)) {
        return 0;
    }
    const rl::rl_pthread_cond_t*& sleeping = g_execution.sleeping[rl::thread_index()];
    sleeping = cond;
    const int result = rl::rl_pthread_cond_wait(cond, mutex, info);
    sleeping = nullptr;
    return result;
}

void Signalled(const rl::rl_pthread_cond_t* cond) {
    for (const rl::rl_pthread_cond_t*& sleeping : g_execution.sleeping) {
        if (sleeping == cond) {
            sleeping = nullptr;
        }
    }
}

int CondTimedWait(rl::rl_pthread_cond_t* cond, rl::rl_pthread_mutex_t* mutex,
                  rl::debug_info_param info) {
    if (EarlyWake(mutex, "time-out before any signal", info)) {
        return rl::RL_ETIMEDOUT;
    }
    return rl::rl_pthread_cond_timedwait(cond, mutex, nullptr, info);
}

int ThreadCreate(rl::rl_pthread_t* thread, void* (*body)(void*), void* arg,
                 rl::debug_info_param info) {
    Start& start = g_execution.starts[g_execution.created];
    start = Start{body, arg, g_execution.created};
    ++g_execution.created;
    return rl::rl_pthread_create(thread, nullptr, RunStarted, &start, info);
}

// The program's draws: a client's first, its job's length, is the search's
// choice; the rest are fixed by thread and draw.
int Draw() {
    const unsigned self = rl::thread_index();
    const int draw = g_execution.draws[self]++;
    if (draw == 0 && IsClient(self)) {
        return g_options.all_lengths ? static_cast<int>(Choose(run_sizes::MAX_CHARS))
                                     : g_execution.ordinal[self] - NUM_TRANSLATERS;
    }
    return static_cast<int>((self * 7919U + static_cast<unsigned>(draw) * 104729U) % 10007U);
}

}  // namespace interleave

// Two changes to Relacy's context-bound search, for this harness's threads.
using BoundedSearch =
    rl::tree_search_scheduler<rl::context_bound_scheduler<interleave::THREADS>,
                              rl::context_bound_scheduler_thread_info<interleave::THREADS>,
                              interleave::THREADS>;

// Relacy treats every blocking wait as a yield that makes the waiter stand back
// until each other thread has run once, blocked threads included. A thread
// blocked for good (the driver in a join) then keeps a waiter with a time-out
// from ever being picked, and once only such waiters are left the scheduler
// picks a thread that has ended, which starts its body again. Here only
// threads that can run take precedence.
template <>
void BoundedSearch::yield_priority(unsigned yield) {
    thread_info_t& waiter = *this->thread_;
    for (thread_id_t i = 0; i != interleave::THREADS; ++i) {
        thread_info_t& other = this->threads_[i];
        if (waiter.index_ != i && other.yield_sched_count_[waiter.index_] < yield &&
            other.state_ == thread_state_running) {
            other.yield_priority_[waiter.index_] = yield;
            other.total_yield_priority_ += yield;
            this->block_thread(waiter.index_, false);
        }
        other.yield_sched_count_[waiter.index_] = 0;
    }
    if (this->running_threads_count == 0) {
        purge_blocked_threads();
    }
}

// Relacy lets a waiter's time run out at any step, which makes the tree of a
// program whose waits re-arm themselves (JobFinished's) infinite. Here the
// time of a wait runs out when no thread can run (the clock is what is left to
// move); a wait ended early, before any signal, is the harness's choice at the
// wait (EarlyWake). Otherwise as Relacy.
template <>
rl::thread_id_t BoundedSearch::schedule_impl(unpark_reason& reason, unsigned yield) {
    thread_info_t& current = *this->thread_;
    if (current.total_yield_priority_ != 0) {
        for (thread_id_t i = 0; i != interleave::THREADS; ++i) {
            unsigned& priority = current.yield_priority_[i];
            if (priority != 0) {
                priority -= 1;
                current.total_yield_priority_ -= 1;
                if (priority == 0) {
                    this->unblock_thread(i);
                }
            }
            current.yield_sched_count_[i] += 1;
        }
    }
    if (yield != 0) {
        yield_priority(yield);
    }
    reason = unpark_reason_normal;
    thread_id_t next = current.index_;
    if (self().can_switch(current) || current.state_ != thread_state_running) {
        if (this->running_threads_count == 0 && this->timed_thread_count_ != 0) {
            thread_info_t& waiter =
                *this->timed_threads_[this->rand(this->timed_thread_count_, sched_type_user)];
            next = waiter.index_;
            this->unpark_thread(next);
            reason = unpark_reason_timeout;
        } else if (this->running_threads_count == 1) {
            next = this->running_threads[0];
        } else {
            next = this->running_threads[this->rand(this->running_threads_count, sched_type_sched)];
        }
    }
    if (next != current.index_) {
        self().on_switch(current);
    }
    return next;
}

// The program's rand and srand (it calls std::rand, std::srand): the harness's
// draws instead of the C library's generator.
extern "C" int rand() noexcept {
    return interleave::Draw();
}
extern "C" void srand(unsigned /*seed*/) noexcept {}

namespace {

void Usage() {
    std::cerr << "usage: interleavings [--search bounded|sampled] [--bound K] [--executions N]\n"
                 "                     [--depth STEPS] [--early N] [--lengths all|fixed]\n"
                 "                     [--replay STATE]\n";
}

bool ParseOptions(int argc, char** argv, interleave::Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        try {
            if (option == "--search" && (value == "bounded" || value == "sampled")) {
                options.search = value;
            } else if (option == "--bound") {
                options.bound = static_cast<unsigned>(std::stoul(value));
            } else if (option == "--executions") {
                options.executions = std::stoull(value);
            } else if (option == "--depth") {
                options.depth = static_cast<unsigned>(std::stoul(value));
            } else if (option == "--lengths" && (value == "all" || value == "fixed")) {
                options.all_lengths = value == "all";
            } else if (option == "--early") {
                options.early = std::stoi(value);
            } else if (option == "--replay") {
                options.replay = value;
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    return true;
}

// The pool as static initialisation left it, outside any simulation, so that
// static destruction finds it whole.
void RestorePool() {
    for (CTranslater& translater : g_translaters) {
        new (&translater) CTranslater();
    }
}

}  // namespace

int main(int argc, char** argv) {
    interleave::Options& options = interleave::g_options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    // Static initialisation built the pool outside a simulation; each execution
    // builds its own.
    for (CTranslater& translater : g_translaters) {
        translater.~CTranslater();
    }
    rl::test_params params;
    params.search_type = options.search == "bounded" ? rl::sched_bound : rl::sched_random;
    params.context_bound = options.bound;
    params.iteration_count = options.executions;
    params.execution_depth_limit = options.depth;
    params.initial_state = options.replay;
    std::ostringstream history;
    std::ostringstream progress;
    params.output_stream = &history;
    params.progress_stream = &progress;

    std::streambuf* const out = std::cout.rdbuf(&interleave::g_out);
    std::streambuf* const err = std::cerr.rdbuf(&interleave::g_err);
    const auto start = std::chrono::steady_clock::now();
    const bool passed = rl::simulate<interleave::Run>(params);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    RestorePool();

    std::cout << "interleavings: " << run_sizes::NUM_TRANSLATERS << " translaters, "
              << run_sizes::NUM_CLIENTS << " clients, jobs of 1 to " << run_sizes::MAX_CHARS
              << " letters; " << options.search << " search";
    if (options.search == "bounded") {
        std::cout << " (at most " << options.bound << " preemptions)";
    }
    std::cout << ", up to " << options.early << " waits ended early in an execution, "
              << (options.all_lengths ? "every job length"
                                      : "client k's job k % MAX_CHARS + 1 letters")
              << "\n";
    if (passed) {
        std::cout << "interleavings: " << params.stop_iteration << " executions passed in "
                  << seconds << " s\n";
        return 0;
    }
    const std::string failure = history.str();
    std::ofstream("interleavings-failure.txt") << failure;
    // What broke, then the history's last steps.
    const std::size_t history_start = failure.find("\nexecution history");
    std::cout << failure.substr(0, history_start) << "\n...\n";
    std::size_t tail = failure.find("\nthread 0:");
    tail = tail == std::string::npos ? failure.size() : tail;
    std::size_t from = tail;
    for (int lines = 0; lines < 60 && from > history_start && from != std::string::npos; ++lines) {
        from = failure.rfind('\n', from - 1);
    }
    std::cout << failure.substr(from == std::string::npos ? 0 : from, tail - from)
              << "\n(the whole history: interleavings-failure.txt)"
              << "\ninterleavings: execution " << params.stop_iteration
              << " failed: " << rl::test_result_str(params.test_result)
              << "\ninterleavings: replay it with: " << argv[0] << " --search " << options.search
              << (options.search == "bounded" ? " --bound " + std::to_string(options.bound) : "")
              << " --depth " << options.depth << " --early " << options.early << " --lengths "
              << (options.all_lengths ? "all" : "fixed") << " --replay '" << params.final_state
              << "'\n";
    return 1;
}
