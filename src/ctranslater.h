// CTranslater: the channel between one translater thread and at most one client.
//
// Contract
// --------
// A translater is claimed by a client (TryToOccupy) and released only by its own
// thread (JobFinished). While claimed, the client streams a job into the queue
// (Push): letters, then a NUL terminator. The owning thread takes them (Pop).
//
// States, with the occupancy flag:
//   starting  (false)  the thread has not yet entered its first JobFinished
//   idle      (false)  the thread waits in JobFinished
//   claimed   (true)   a client's TryToOccupy succeeded; the thread has not seen it yet
//   working   (true)   JobFinished returned true; the thread pops up to the terminator
//   stopped   (false)  JobFinished returned false; the thread leaves
// A claim taken while starting survives the thread's first JobFinished.
//
// Who calls what:
//   client            TryToOccupy, then (only if it returned true) Push
//   owning thread     JobFinished, Pop, GetID
//   driver            CondSignal, once per translater, after setting g_done
//
// Blocking: Pop blocks while the queue is empty. JobFinished blocks until the
// translater is claimed or the stop flag is seen after a wake-up; it re-arms a
// fresh one-second wall-clock wait on every pass, so a missed signal costs at
// most one second. Push, TryToOccupy and CondSignal never wait for anything but
// m_mutex.
//
// Stop guarantee: JobFinished returns false only when g_done is set and no claim
// is held. Once g_done is set no client is left to claim, so a translater never
// leaves with a claimed job untranslated.
//
// Locking: m_mutex guards m_occupied, m_started and m_queue; every public
// operation but GetID takes it, and WaitAtMostOneSecond needs it held. The
// annotations below say so and clang checks them (-Wthread-safety, in
// tools/lint). Push and CondSignal signal while holding it, and the owning
// thread holds it from the end of each wait through its tests, so no signal
// falls between a test and the next wait. No operation takes any other lock
// while holding m_mutex; callers must not hold the console lock when they call
// in.
//
// Tracing: the operations fire static probes (probes.h) while they hold
// m_mutex: claim, push, pop, release, stop_signal, the entry to and return
// from each wait, and JobFinished's return. So a trace orders them exactly as
// the lock did.
#ifndef TRANSLATERS_CTRANSLATER_H
#define TRANSLATERS_CTRANSLATER_H

#include <pthread.h>

#include <atomic>
#include <queue>

#include "thread_annotations.h"

// The stop flag: set once, by the driver, after every client has ended.
extern std::atomic<bool> g_done;

class CTranslater {
public:
    // Called during static initialisation of the pool: IDs are 0, 1, 2, ...
    // in order of construction.
    CTranslater();
    // Called during static destruction, when no thread uses the object any more.
    ~CTranslater();

    CTranslater(const CTranslater&) = delete;
    CTranslater& operator=(const CTranslater&) = delete;

    // Called only by the client holding the claim. Appends ch and wakes the
    // owning thread. Never waits for room.
    void Push(char ch) EXCLUDES(m_mutex);

    // Called only by the owning translater thread. Blocks until a character is
    // queued, then removes and returns the oldest one.
    char Pop() EXCLUDES(m_mutex);

    // Called by any client. Claims the translater if it is unclaimed and returns
    // whether it did; on false nothing changes. Signals nothing.
    bool TryToOccupy() EXCLUDES(m_mutex);

    // Called only by the owning translater thread: first at start-up, then after
    // each job's terminator. Releases the claim (except on the first call, which
    // keeps a claim taken during start-up), then waits for a claim or the stop.
    // Returns true when claimed (serve a job), false when stopped with no claim.
    // Never reads the queue.
    bool JobFinished() EXCLUDES(m_mutex);

    // Called only by the driver, after setting g_done. Wakes the owning thread
    // if it waits; changes no state.
    void CondSignal() EXCLUDES(m_mutex);

    // Called by the owning translater thread. Lock-free: m_id never changes.
    int GetID() const { return m_id; }

private:
    // Waits on m_cond until one second from now on the wall clock, a signal or
    // a spurious wake-up.
    void WaitAtMostOneSecond() REQUIRES(m_mutex);

    const int m_id;
    bool m_occupied GUARDED_BY(m_mutex) = false;
    CMutex m_mutex;
    pthread_cond_t m_cond;
    std::queue<char> m_queue GUARDED_BY(m_mutex);
    bool m_started GUARDED_BY(m_mutex) = false;  // set by the first JobFinished

    // Zero-initialised storage with no run-time initialiser, so the pool finds it
    // at zero whichever unit is initialised first.
    static int m_num_translaters;
};

#endif  // TRANSLATERS_CTRANSLATER_H
