// Puts the program's own units (src/ctranslater.cpp, src/main.cpp) under
// Relacy's scheduler: included first in every unit of the interleavings
// harness, it maps the pthread calls the program makes onto Relacy's
// emulation, so that every lock, wait, signal, thread start and join is a step
// the scheduler decides. The program's text is not touched.
//
// The system headers the program uses come first, so that the macros below
// reach only the program's own code. Relacy's headers come without
// relacy.hpp's macros for new, delete, malloc, assert and errno: the program
// allocates from the heap as it always does.
#ifndef TRANSLATERS_TESTS_INTERLEAVE_RELACY_SHIM_H
#define TRANSLATERS_TESTS_INTERLEAVE_RELACY_SHIM_H

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <queue>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <relacy/atomic.hpp>
#include <relacy/atomic_fence.hpp>
#include <relacy/backoff.hpp>
#include <relacy/base.hpp>
#include <relacy/context.hpp>
#include <relacy/context_base_impl.hpp>
#include <relacy/dyn_thread.hpp>
#include <relacy/stdlib/condition_variable.hpp>
#include <relacy/stdlib/event.hpp>
#include <relacy/stdlib/mutex.hpp>
#include <relacy/stdlib/pthread.hpp>
#include <relacy/stdlib/semaphore.hpp>
#include <relacy/stdlib/windows.hpp>
#include <relacy/test_suite.hpp>
#include <relacy/thread_local.hpp>
#include <relacy/var.hpp>

namespace interleave {

// Outside a simulation (the pool's static construction and destruction) the
// sync objects are not made: the harness builds the pool again inside each
// execution, where they are.
inline int MutexInit(rl::rl_pthread_mutex_t* mutex, const void* /*attr*/,
                     rl::debug_info_param info) {
    return rl::is_ctx() ? rl::rl_pthread_mutex_init(mutex, nullptr, info) : 0;
}
inline int MutexDestroy(rl::rl_pthread_mutex_t* mutex, rl::debug_info_param info) {
    return rl::is_ctx() ? rl::rl_pthread_mutex_destroy(mutex, info) : 0;
}
inline int CondInit(rl::rl_pthread_cond_t* cond, const void* /*attr*/, rl::debug_info_param info) {
    return rl::is_ctx() ? rl::rl_pthread_cond_init(cond, nullptr, info) : 0;
}
inline int CondDestroy(rl::rl_pthread_cond_t* cond, rl::debug_info_param info) {
    return rl::is_ctx() ? rl::rl_pthread_cond_destroy(cond, info) : 0;
}

// Releasing a lock and signalling are no steps of their own: a switch just
// before one is the same as a switch just after it, as no thread can act on the
// lock or the signal in between. Every lock taken and every wait is a step.
inline int MutexUnlock(rl::rl_pthread_mutex_t* mutex, rl::debug_info_param info) {
    rl::preemption_disabler in_step(rl::ctx());
    return rl::rl_pthread_mutex_unlock(mutex, info);
}
void Signalled(const rl::rl_pthread_cond_t* cond);
inline int CondSignal(rl::rl_pthread_cond_t* cond, rl::debug_info_param info) {
    rl::preemption_disabler in_step(rl::ctx());
    Signalled(cond);
    return rl::rl_pthread_cond_signal(cond, info);
}

// Relacy's join writes the thread's result unasked; the program asks none.
inline int ThreadJoin(rl::rl_pthread_t thread, void** result, rl::debug_info_param info) {
    void* ignored = nullptr;
    return rl::rl_pthread_join(thread, result != nullptr ? result : &ignored, info);
}

// Defined by the harness: the waits, with the spurious wake-ups and the
// time-outs its search allows, and thread creation, which tells the harness
// which thread is which.
int CondWait(rl::rl_pthread_cond_t* cond, rl::rl_pthread_mutex_t* mutex, rl::debug_info_param info);
int CondTimedWait(rl::rl_pthread_cond_t* cond, rl::rl_pthread_mutex_t* mutex,
                  rl::debug_info_param info);
int ThreadCreate(rl::rl_pthread_t* thread, void* (*body)(void*), void* arg,
                 rl::debug_info_param info);

}  // namespace interleave

#undef pthread_mutex_init
#undef pthread_mutex_destroy
#undef pthread_cond_init
#undef pthread_cond_destroy
#undef pthread_cond_wait
#undef pthread_cond_timedwait
#undef pthread_create
#undef pthread_join
#undef pthread_mutex_unlock
#undef pthread_cond_signal
#define pthread_mutex_init(mutex, attr) ::interleave::MutexInit(mutex, attr, RL_INFO)
#define pthread_mutex_destroy(mutex) ::interleave::MutexDestroy(mutex, RL_INFO)
#define pthread_cond_init(cond, attr) ::interleave::CondInit(cond, attr, RL_INFO)
#define pthread_cond_destroy(cond) ::interleave::CondDestroy(cond, RL_INFO)
#define pthread_cond_wait(cond, mutex) ::interleave::CondWait(cond, mutex, RL_INFO)
#define pthread_cond_timedwait(cond, mutex, deadline) \
    ((void)(deadline), ::interleave::CondTimedWait(cond, mutex, RL_INFO))
#define pthread_create(thread, attr, body, arg) \
    ((void)(attr), ::interleave::ThreadCreate(thread, body, arg, RL_INFO))
#define pthread_mutex_unlock(mutex) ::interleave::MutexUnlock(mutex, RL_INFO)
#define pthread_cond_signal(cond) ::interleave::CondSignal(cond, RL_INFO)
#define pthread_join(thread, result) ::interleave::ThreadJoin(thread, result, RL_INFO)
// A static mutex is made, like the pool's, by the harness in each execution.
#undef PTHREAD_MUTEX_INITIALIZER
#define PTHREAD_MUTEX_INITIALIZER \
    {}

#endif  // TRANSLATERS_TESTS_INTERLEAVE_RELACY_SHIM_H
