// Fuzz target: the trace decoder on a trace.tsv and its join with a log, at
// sizes the input picks. A trace that parses must come back the same through
// FormatTrace.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "run_trace.h"

namespace {

bool SameEvents(const runtrace::Trace& a, const runtrace::Trace& b) {
    if (a.events.size() != b.events.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.events.size(); ++i) {
        const runtrace::Event& x = a.events[i];
        const runtrace::Event& y = b.events[i];
        if (x.ns != y.ns || x.tid != y.tid || x.probe != y.probe || x.args != y.args ||
            x.other != y.other) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::LogTraceInput input = fuzzing::ReadLogTraceInput(data, size);
    runtrace::Trace trace;
    if (!runtrace::ParseTrace(input.trace, trace, input.sizes).empty()) {
        return 0;
    }
    runtrace::Trace again;
    if (!runtrace::ParseTrace(runtrace::FormatTrace(trace.events), again, input.sizes).empty() ||
        !SameEvents(trace, again)) {
        __builtin_trap();
    }
    const std::string problem = runtrace::JoinLog(input.log, trace);
    if (problem.empty() == trace.line_events.empty() && !input.log.empty()) {
        __builtin_trap();  // a join either fails and keeps no line, or ties every line
    }
    return 0;
}
