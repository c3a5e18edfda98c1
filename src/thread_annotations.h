// Clang's thread-safety attributes, which -Wthread-safety checks (tools/lint
// compiles the program so), and a pthread mutex they can name. Other compilers
// see no attributes.
#ifndef TRANSLATERS_THREAD_ANNOTATIONS_H
#define TRANSLATERS_THREAD_ANNOTATIONS_H

#include <pthread.h>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
#define GUARDED_BY(mutex) THREAD_ANNOTATION(guarded_by(mutex))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))

// A pthread mutex as a capability. Lock and Unlock are the pthread calls,
// inline in this header, so that whatever maps those calls (the interleavings
// harness) still reaches them. Native is for init, destroy and the condition
// waits, which hold the mutex again when they return.
class CAPABILITY("mutex") CMutex {
public:
    void Lock() ACQUIRE() { pthread_mutex_lock(&m_native); }
    void Unlock() RELEASE() { pthread_mutex_unlock(&m_native); }
    pthread_mutex_t* Native() { return &m_native; }

private:
    pthread_mutex_t m_native{};
};

#endif  // TRANSLATERS_THREAD_ANNOTATIONS_H
