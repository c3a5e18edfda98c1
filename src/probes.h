// Static probes (USDT) of the translaters program, provider "translaters".
//
// Each probe is a single nop in the instruction stream and a note in the
// .note.stapsdt section that tells a tracer (bpftrace, perf, SystemTap, gdb)
// where the nop is and where its arguments live. Untraced, a probe costs that
// nop: its arguments are values the code already holds, in registers or on
// the stack, and nothing is computed for it. A tracer that attaches turns the
// nop into a breakpoint.
//
// The build decides whether the probes are in (TRANSLATERS_PROBES, 1 or 0):
// they are where CMake found <sys/sdt.h> (Debian: systemtap-sdt-dev) at
// configure time, unless it was configured with -DTRANSLATERS_PROBES=OFF.
// Without them they compile to nothing; the program behaves identically.
//
// The list of probes, their arguments and when they fire is in the manual
// page (translaters.1, PROBES), which the trace tests hold the program to.
// Arguments are integers: IDs and indices in decimal, a
// character as its (signed) code, a timed wait's return code as errno values
// (0 or ETIMEDOUT).
#ifndef TRANSLATERS_PROBES_H
#define TRANSLATERS_PROBES_H

#ifndef TRANSLATERS_PROBES
#error "TRANSLATERS_PROBES is the build's decision: 1 with the static probes, 0 without"
#endif

#if TRANSLATERS_PROBES
#include <sys/sdt.h>
#define TRANSLATERS_PROBE0(name) DTRACE_PROBE(translaters, name)
#define TRANSLATERS_PROBE1(name, a) DTRACE_PROBE1(translaters, name, a)
#define TRANSLATERS_PROBE2(name, a, b) DTRACE_PROBE2(translaters, name, a, b)
#else
#define TRANSLATERS_PROBE0(name) static_cast<void>(0)
#define TRANSLATERS_PROBE1(name, a) static_cast<void>(a)
#define TRANSLATERS_PROBE2(name, a, b) (static_cast<void>(a), static_cast<void>(b))
#endif

// One typed function per probe, so a probe's arguments are checked where it
// fires. Each is always inlined, in cold paths too: the nop lands at the call
// site, and no call is made for it.
#if defined(__clang__)
// <sys/sdt.h> passes empty variadic arguments, a GNU extension that
// -Wpedantic flags in clang.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"
#endif

namespace probes {

// The driver: main's first act.
[[gnu::always_inline]] inline void DriverStart() {
    TRANSLATERS_PROBE0(driver_start);
}
// The driver: client thread `client` was created; its pause follows.
[[gnu::always_inline]] inline void ClientCreated(int client) {
    TRANSLATERS_PROBE1(client_created, client);
}
// The driver: the stop flag was set.
[[gnu::always_inline]] inline void StopFlag() {
    TRANSLATERS_PROBE0(stop_flag);
}
// The driver: the run ends with this exit status (a failure report included).
[[gnu::always_inline]] inline void DriverEnd(int status) {
    TRANSLATERS_PROBE1(driver_end, status);
}

// A translater thread begins, before its entry line, and ends, after its
// leaving line.
[[gnu::always_inline]] inline void TranslaterStart(int id) {
    TRANSLATERS_PROBE1(translater_start, id);
}
[[gnu::always_inline]] inline void TranslaterEnd(int id) {
    TRANSLATERS_PROBE1(translater_end, id);
}
// A client thread has drawn its job length (its first act); it ends holding
// translater `translater`, or -1 when it was turned away.
[[gnu::always_inline]] inline void ClientStart(int client, int letters) {
    TRANSLATERS_PROBE2(client_start, client, letters);
}
[[gnu::always_inline]] inline void ClientEnd(int client, int translater) {
    TRANSLATERS_PROBE2(client_end, client, translater);
}

// The channel, each under its translater's lock.
[[gnu::always_inline]] inline void Claim(int id, bool won) {
    TRANSLATERS_PROBE2(claim, id, won);
}
[[gnu::always_inline]] inline void Push(int id, char ch) {
    TRANSLATERS_PROBE2(push, id, ch);
}
[[gnu::always_inline]] inline void Pop(int id, char ch) {
    TRANSLATERS_PROBE2(pop, id, ch);
}
[[gnu::always_inline]] inline void PopWait(int id) {
    TRANSLATERS_PROBE1(pop_wait, id);
}
[[gnu::always_inline]] inline void PopWake(int id) {
    TRANSLATERS_PROBE1(pop_wake, id);
}
[[gnu::always_inline]] inline void Release(int id) {
    TRANSLATERS_PROBE1(release, id);
}
[[gnu::always_inline]] inline void JobWait(int id) {
    TRANSLATERS_PROBE1(job_wait, id);
}
[[gnu::always_inline]] inline void JobWake(int id, int wait_result) {
    TRANSLATERS_PROBE2(job_wake, id, wait_result);
}
[[gnu::always_inline]] inline void JobReturn(int id, bool claimed) {
    TRANSLATERS_PROBE2(job_return, id, claimed);
}
[[gnu::always_inline]] inline void StopSignal(int id) {
    TRANSLATERS_PROBE1(stop_signal, id);
}

// A pause: its drawn bound at the start, the iterations it spun at the end.
[[gnu::always_inline]] inline void DelayStart(int bound) {
    TRANSLATERS_PROBE1(delay_start, bound);
}
[[gnu::always_inline]] inline void DelayEnd(int iterations) {
    TRANSLATERS_PROBE1(delay_end, iterations);
}

// A whole line was written and flushed, still under the console lock: the
// n-th firing of `line` is line n of standard output, of `error_line` line n
// of standard error.
[[gnu::always_inline]] inline void Line() {
    TRANSLATERS_PROBE0(line);
}
[[gnu::always_inline]] inline void ErrorLine() {
    TRANSLATERS_PROBE0(error_line);
}

}  // namespace probes

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif  // TRANSLATERS_PROBES_H
