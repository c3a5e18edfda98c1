// Fuzz target: the trace decoder on a trace.tsv and its join with a log, at
// sizes the input picks. A trace that parses must come back the same through
// FormatTrace.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "run_trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::LogTraceInput input = fuzzing::ReadLogTraceInput(data, size);
    runtrace::Trace trace;
    if (!runtrace::ParseTrace(input.trace, trace, input.sizes).Ok()) {
        return 0;
    }
    runtrace::Trace again;
    const std::string text = runtrace::FormatTrace(trace.events);
    if (!runtrace::ParseTrace(text, again, input.sizes).Ok() ||
        runtrace::FormatTrace(again.events) != text) {
        __builtin_trap();
    }
    const logcheck::CStatus joined = runtrace::JoinLog(input.log, trace);
    if (joined.Ok() == trace.line_events.empty() && !input.log.empty()) {
        __builtin_trap();  // a join either fails and keeps no line, or ties every line
    }
    return 0;
}
