// What the test-only LD_PRELOAD shims share: the next definition of a symbol
// (the one the shim stands in for), and the watch on teardown.
//
// A shim that includes this stands in for pthread_cond_destroy and
// pthread_mutex_destroy: each calls the shim's own shim::ReportTeardown with
// its name, then forwards to the real call. Include it in one source file of
// a shim only.
#ifndef TRANSLATERS_TESTS_SHIM_SUPPORT_H
#define TRANSLATERS_TESTS_SHIM_SUPPORT_H

#include <dlfcn.h>
#include <pthread.h>

namespace shim {

template <typename Function>
Function Real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Says on standard error, if the shim finds it wrong, that call tears a
// channel down now. Defined by each shim.
void ReportTeardown(const char* call);

}  // namespace shim

extern "C" int pthread_cond_destroy(pthread_cond_t* cond) {
    shim::ReportTeardown("pthread_cond_destroy");
    static const auto real = shim::Real<int (*)(pthread_cond_t*)>("pthread_cond_destroy");
    return real(cond);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* mutex) {
    shim::ReportTeardown("pthread_mutex_destroy");
    static const auto real = shim::Real<int (*)(pthread_mutex_t*)>("pthread_mutex_destroy");
    return real(mutex);
}

#endif  // TRANSLATERS_TESTS_SHIM_SUPPORT_H
