// A trace of one run of the translaters program, as tools/trace records it,
// decoded once into typed events for every reader (the report and the tests),
// and its join with the log recorded beside it.
//
// The file, trace.tsv, has one probe firing a line, sorted by time, in the
// form that TRACE_SEPARATOR and the rest below define, there alone: ParseTrace
// reads the lines by it, FormatTrace writes them by it, and tools/trace records
// them by it (for every probe the program carries), its bpftrace printf built
// from the definition, which toolsupport.trace_line_form reads out of here.
//
// The join rests on the line probe: it fires right after each line of the log
// is written, under the console lock, so its n-th firing is line n, and the
// thread that fired it is the thread that wrote the line. A trace whose line
// firings do not match the log line for line was not recorded with that log.
#ifndef TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H
#define TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "log_lines.h"
#include "status.h"

namespace runtrace {

// A line of trace.tsv: the head's fields (the time in nanoseconds, the thread
// id, the probe's name), then the probe's arguments, each field after
// TRACE_SEPARATOR but the first, then TRACE_END. Every field is a decimal
// number but the name; the forms are the conversions by which bpftrace's
// printf prints them (its %d is 64 bits wide), %s standing for the name.
// tools/toolsupport.py reads these as written: one a line, literals only.
constexpr char TRACE_SEPARATOR = '\t';
constexpr char TRACE_END = '\n';
constexpr const char* TRACE_HEAD_FORMS[] = {"%llu", "%d", "%s"};
constexpr const char* TRACE_ARGUMENT_FORM = "%d";

// The program's probes (src/probes.def). A probe a trace names that is not
// one of them is read as kOther, with its name kept.
#define PROBE0(Function, name) k##Function,
#define PROBE1(Function, name, T1, a1) k##Function,
#define PROBE2(Function, name, T1, a1, T2, a2) k##Function,
enum class Probe {
#include "probes.def"
    kOther,
};
#undef PROBE0
#undef PROBE1
#undef PROBE2

// A known probe's name in the program, its number of arguments and their names.
struct ProbeInfo {
    const char* name;
    Probe probe;
    int args;
    const char* arg_names[2];
};
extern const ProbeInfo KNOWN_PROBES[static_cast<int>(Probe::kOther)];

// The name of a known probe.
const char* ProbeName(Probe probe);

// What a timed wait returns when it runs out (job_wake's result).
const long long WAIT_TIMED_OUT = ETIMEDOUT;

// Each probe's arguments by name (src/probes.def), as the trace holds them:
// integers, whatever the type the probe fires them with.
namespace args {
// Macro arguments here are names of types and members, which take no parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define PROBE0(Function, name) \
    struct Function {};
#define PROBE1(Function, name, T1, a1) \
    struct Function {                  \
        long long a1;                  \
    };
#define PROBE2(Function, name, T1, a1, T2, a2) \
    struct Function {                          \
        long long a1;                          \
        long long a2;                          \
    };
#include "probes.def"
#undef PROBE0
#undef PROBE1
#undef PROBE2
// NOLINTEND(bugprone-macro-parentheses)
// A probe the program does not declare: its name and arguments as read.
struct Other {
    std::string name;
    std::vector<long long> values;
};
}  // namespace args

// An event's arguments: the alternative of its probe, in the order of Probe.
#define PROBE0(Function, name) args::Function,
#define PROBE1(Function, name, T1, a1) args::Function,
#define PROBE2(Function, name, T1, a1, T2, a2) args::Function,
using Arguments = std::variant<
#include "probes.def"
    args::Other>;
#undef PROBE0
#undef PROBE1
#undef PROBE2

struct Event {
    std::int64_t ns = 0;  // CLOCK_MONOTONIC
    int tid = 0;
    Probe probe = Probe::kOther;
    Arguments args = args::Other{};  // those of probe

    // The arguments of an event of the probe A names (args::Push: .id, .ch);
    // std::bad_variant_access for an event of another probe.
    template <class A>
    const A& Get() const {
        return std::get<A>(args);
    }
    template <class A>
    A& Get() {
        return std::get<A>(args);
    }
    const char* Name() const {
        return probe == Probe::kOther ? std::get<args::Other>(args).name.c_str() : ProbeName(probe);
    }
};

// Which thread is which, from the probes that start each thread: the thread
// id of each, 0 for one that never started.
// Kept by ID, not in an array up to the highest one, so that a trace naming
// translater 999999998 takes no more memory than its lines.
struct Threads {
    int driver = 0;
    std::map<int, int> translaters;  // by ID, those the trace names
    std::map<int, int> clients;      // by index, likewise

    int Translater(int t) const { return Get(translaters, t); }
    int Client(int c) const { return Get(clients, c); }

private:
    static int Get(const std::map<int, int>& tids, int i) {
        const auto tid = tids.find(i);
        return tid != tids.end() ? tid->second : 0;
    }
};

struct Trace {
    logcheck::Sizes sizes;      // of the run
    std::vector<Event> events;  // in order of time
    Threads threads;
    // line_events[n]: the index in events of the line probe of log line n + 1.
    std::vector<std::size_t> line_events;
};

// Reads trace.tsv of a run of these sizes into trace: the events, each known
// probe with its number of arguments, each time at most 2^62 ns, and the
// threads named, each index in range. The error names the trace's line.
logcheck::CStatus ParseTrace(const std::string& text, Trace& trace,
                             const logcheck::Sizes& sizes = logcheck::Sizes{});

// The events as lines of trace.tsv.
std::string FormatTrace(const std::vector<Event>& events);

// Joins a parsed trace with the log (standard output) it was recorded with:
// the n-th line probe must come from the thread that wrote line n. The error
// names the first log line that differs.
logcheck::CStatus JoinLog(const std::string& log, Trace& trace);

// ParseTrace, then JoinLog: the trace recorded with log, as every reader takes it.
logcheck::CStatus ReadTrace(const std::string& text, const std::string& log, Trace& trace,
                            const logcheck::Sizes& sizes = logcheck::Sizes{});

}  // namespace runtrace

#endif  // TRANSLATERS_TOOLS_RUNTRACE_RUN_TRACE_H
