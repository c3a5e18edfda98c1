// A trace of one run of the translaters program, as tools/trace records it
// (trace.tsv: one probe firing a line, "ns <TAB> tid <TAB> probe [<TAB> arg]...",
// sorted by time), and its join with the log recorded beside it.
//
// The join rests on the line probe: it fires right after each line of the log
// is written, under the console lock, so its n-th firing is line n, and the
// thread that fired it is the thread that wrote the line. A trace whose line
// firings do not match the log line for line was not recorded with that log.
#ifndef TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H
#define TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log_checker.h"

namespace runtrace {

// The result a timed wait returns when it runs out (ETIMEDOUT on Linux).
const int WAIT_TIMED_OUT = 110;

struct Event {
    std::int64_t ns = 0;  // CLOCK_MONOTONIC
    int tid = 0;
    std::string probe;
    std::vector<long long> args;

    long long Arg(std::size_t i) const { return i < args.size() ? args[i] : 0; }
};

// Which thread is which, from the probes that start each thread; 0 if that
// thread never started.
struct Threads {
    int driver = 0;
    std::array<int, logcheck::NUM_TRANSLATERS> translaters{};
    std::array<int, logcheck::NUM_CLIENTS> clients{};
};

struct Trace {
    std::vector<Event> events;  // in order of time
    Threads threads;
    // line_events[n]: the index in events of the line probe of log line n + 1.
    std::vector<std::size_t> line_events;
};

// Reads trace.tsv into trace.events and names the threads. Returns "" or what
// is wrong, with the trace's line number.
std::string ParseTrace(const std::string& text, Trace& trace);

// Joins a parsed trace with the log (standard output) it was recorded with:
// the n-th line probe must come from the thread that wrote line n. Returns ""
// or what differs, naming the first log line that does.
std::string JoinLog(const std::string& log, Trace& trace);

}  // namespace runtrace

#endif  // TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H
