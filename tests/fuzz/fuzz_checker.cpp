// Fuzz target: the log checker on a whole saved run (standard output, standard
// error, exit status), checked as each kind of run, at sizes the input picks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "log_checker.h"

namespace {

logcheck::Result Check(const fuzzing::CheckerInput& run) {
    switch (run.kind) {
        case fuzzing::RunKind::kFailed:
            return logcheck::CheckFailedRun(run.out, run.err, run.exit_status, run.failed_at,
                                            run.sizes);
        case fuzzing::RunKind::kStopped:
            return logcheck::CheckStoppedRun(run.out, run.err, run.exit_status, run.sizes);
        case fuzzing::RunKind::kCut:
            return logcheck::CheckCutRun(run.out, run.err, run.exit_status, run.sizes);
        case fuzzing::RunKind::kNormal:
            break;
    }
    return logcheck::CheckRun(run.out, run.err, run.exit_status, run.sizes);
}

// What holds of any result: a clean one's summary points at lines of the log,
// and every finding names a line of it, or none.
bool Consistent(const logcheck::Result& result) {
    const int lines = result.summary.line_count;
    for (const logcheck::Finding& finding : result.findings) {
        if (finding.line < 0 || finding.line > lines + 1 || finding.message.empty()) {
            return false;
        }
    }
    if (!result.Clean()) {
        return true;
    }
    for (const logcheck::Job& job : result.summary.jobs) {
        if (job.first_letter_line < 1 || job.first_letter_line > lines ||
            job.summary_line > lines || job.end_line > lines || job.letters.empty()) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::CheckerInput run = fuzzing::ReadCheckerInput(data, size);
    const logcheck::Result result = Check(run);
    if (!Consistent(result)) {
        __builtin_trap();
    }
    const std::string text = logcheck::FormatFindings(result);
    if (result.Clean() != text.empty()) {
        __builtin_trap();
    }
    return 0;
}
