#include "ctranslater.h"

#include <sys/time.h>

#include <ctime>

#include "probes.h"

int CTranslater::m_num_translaters;

CTranslater::CTranslater() : m_id(m_num_translaters++) {
    pthread_mutex_init(m_mutex.Native(), nullptr);
    pthread_cond_init(&m_cond, nullptr);
}

CTranslater::~CTranslater() {
    pthread_mutex_destroy(m_mutex.Native());
    pthread_cond_destroy(&m_cond);
}

void CTranslater::Push(char ch) {
    m_mutex.Lock();
    m_queue.push(ch);
    probes::Push(m_id, ch);
    pthread_cond_signal(&m_cond);
    m_mutex.Unlock();
}

char CTranslater::Pop() {
    m_mutex.Lock();
    while (m_queue.empty()) {
        probes::PopWait(m_id);
        pthread_cond_wait(&m_cond, m_mutex.Native());
        probes::PopWake(m_id);
    }
    const char ch = m_queue.front();
    m_queue.pop();
    probes::Pop(m_id, ch);
    m_mutex.Unlock();
    return ch;
}

bool CTranslater::TryToOccupy() {
    m_mutex.Lock();
    const bool claimed = !m_occupied;
    m_occupied = true;
    probes::Claim(m_id, claimed);
    m_mutex.Unlock();
    return claimed;
}

bool CTranslater::JobFinished() {
    m_mutex.Lock();
    // The flag is already clear at start-up; clearing it then would drop a claim
    // that a client took before this thread got here.
    if (m_started) {
        m_occupied = false;
        probes::Release(m_id);
    }
    m_started = true;
    while (!m_occupied) {
        WaitAtMostOneSecond();
        if (g_done) {
            break;
        }
    }
    // Decided under the lock: the thread serves a job whenever it holds a claim,
    // even if the stop flag is already set, so a claimed job is never dropped.
    const bool claimed = m_occupied;
    probes::JobReturn(m_id, claimed);
    m_mutex.Unlock();
    return claimed;
}

void CTranslater::CondSignal() {
    m_mutex.Lock();
    pthread_cond_signal(&m_cond);
    probes::StopSignal(m_id);
    m_mutex.Unlock();
}

void CTranslater::WaitAtMostOneSecond() {
    timeval now{};
    gettimeofday(&now, nullptr);
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + 1;
    deadline.tv_nsec = static_cast<long>(now.tv_usec) * 1000;
    // Signal, timeout and spurious wake-up are alike: the caller re-tests. The
    // result only tells a tracer whether the wait ran out.
    probes::JobWait(m_id);
    const int result = pthread_cond_timedwait(&m_cond, m_mutex.Native(), &deadline);
    probes::JobWake(m_id, result);
}
