// Static probes (USDT) of the translaters program, provider "translaters",
// one typed function per probe of probes.def, so a probe's arguments are
// checked where it fires.
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

// Each function is always inlined, in cold paths too: the nop lands at the
// call site, and no call is made for it.
#if defined(__clang__)
// <sys/sdt.h> passes empty variadic arguments, a GNU extension that
// -Wpedantic flags in clang.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"
#endif

namespace probes {

#define PROBE0(Function, name)                      \
    [[gnu::always_inline]] inline void Function() { \
        TRANSLATERS_PROBE0(name);                   \
    }
#define PROBE1(Function, name, T1, a1)                   \
    [[gnu::always_inline]] inline void Function(T1 a1) { \
        TRANSLATERS_PROBE1(name, a1);                    \
    }
#define PROBE2(Function, name, T1, a1, T2, a2)                  \
    [[gnu::always_inline]] inline void Function(T1 a1, T2 a2) { \
        TRANSLATERS_PROBE2(name, a1, a2);                       \
    }
#include "probes.def"
#undef PROBE0
#undef PROBE1
#undef PROBE2

}  // namespace probes

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif  // TRANSLATERS_PROBES_H
