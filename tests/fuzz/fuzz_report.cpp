// Fuzz target: the report's writers (the table, both pictures, the Perfetto
// file) on whatever the log checker and the join with a trace accept, as
// translaters-report runs them, at sizes the input picks.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_input.h"
#include "log_checker.h"
#include "report.h"
#include "run_model.h"

namespace {

void WriteAll(const report::RunModel& model) {
    std::ostringstream table;
    report::PrintReport(model, table);
    if (table.str().empty() || report::TimelineSvg(model).empty()) {
        __builtin_trap();
    }
    if (model.has_times &&
        (report::TimeAxisSvg(model).empty() || report::PerfettoJson(model).empty())) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::LogTraceInput input = fuzzing::ReadLogTraceInput(data, size);
    if (input.log.empty()) {
        return 0;  // translaters-report refuses an empty log as a usage error
    }
    const logcheck::Result result = logcheck::CheckRun(input.log, "", 0, input.sizes);
    if (!result.Clean()) {
        return 0;
    }
    report::RunModel model = report::ModelFromLog(result.summary);
    WriteAll(model);
    if (!input.has_trace) {
        return 0;
    }
    if (report::AddTrace(input.trace, input.log, model).Ok() != model.has_times) {
        __builtin_trap();
    }
    if (model.has_times) {
        WriteAll(model);
    }
    return 0;
}
