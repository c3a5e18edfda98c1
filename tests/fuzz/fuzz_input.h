// The layout of the fuzz targets' inputs, read by the targets and written by
// fuzz_tool (the seeds): a few header bytes that choose the run's sizes and how
// it is checked, then the texts a user feeds the readers.
//
//   fuzz_checker:          KIND FAILED_AT SIZES(3) STATUS ERR_LENGTH OUT ERR
//   fuzz_trace, _report:   SIZES(3) LOG [TRACE_SEPARATOR TRACE]
//
// A size byte below BIG_SIZES picks a small size, so that a run stays fast;
// the top ones pick the largest sizes a user can give (up to 999999999), so
// that a reader that allocates in proportion to a size rather than to its
// input is found too.
#ifndef TRANSLATERS_TESTS_FUZZ_FUZZ_INPUT_H
#define TRANSLATERS_TESTS_FUZZ_FUZZ_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log_lines.h"

namespace fuzzing {

// How the checker target checks a run: CheckRun, CheckFailedRun,
// CheckStoppedRun or CheckCutRun.
enum class RunKind { kNormal, kFailed, kStopped, kCut };
const int RUN_KINDS = 4;

// Between a log and its trace in the inputs of fuzz_trace and fuzz_report.
const char TRACE_SEPARATOR[] = "\f trace\n";

// The largest size a user can give to the size options.
const int LARGEST_SIZE = run_sizes::LARGEST_SIZE;
// Size bytes from this one up pick the largest sizes.
const int BIG_SIZES = 250;
// The small sizes: 1 to these.
const int SMALL_TRANSLATERS = 8;
const int SMALL_CLIENTS = 64;
const int SMALL_MAX_CHARS = 128;

inline int SizeFromByte(std::uint8_t byte, int small) {
    return byte >= BIG_SIZES ? LARGEST_SIZE - (UINT8_MAX - byte) : 1 + byte % small;
}

// The byte that picks size; false if none does.
inline bool ByteForSize(int size, int small, std::uint8_t& byte) {
    if (size >= 1 && size <= small) {
        byte = static_cast<std::uint8_t>(size - 1);
    } else if (size <= LARGEST_SIZE && size > LARGEST_SIZE - (UINT8_MAX - BIG_SIZES) - 1) {
        byte = static_cast<std::uint8_t>(UINT8_MAX - (LARGEST_SIZE - size));
    } else {
        return false;
    }
    return true;
}

// Reads the header bytes one after the other; 0 once they run out.
class CInput {
public:
    CInput(const std::uint8_t* data, std::size_t size)
        : m_text(reinterpret_cast<const char*>(data), size) {}

    std::uint8_t Byte() {
        if (m_text.empty()) {
            return 0;
        }
        const auto byte = static_cast<std::uint8_t>(m_text.front());
        m_text.remove_prefix(1);
        return byte;
    }

    logcheck::Sizes Sizes() {
        logcheck::Sizes sizes;
        sizes.translaters = SizeFromByte(Byte(), SMALL_TRANSLATERS);
        sizes.clients = SizeFromByte(Byte(), SMALL_CLIENTS);
        sizes.max_chars = SizeFromByte(Byte(), SMALL_MAX_CHARS);
        return sizes;
    }

    // What follows the header.
    std::string_view Rest() const { return m_text; }

private:
    std::string_view m_text;
};

// Writes the size bytes; false if a size has no byte.
inline bool AppendSizes(const logcheck::Sizes& sizes, std::string& input) {
    std::uint8_t bytes[3] = {};
    if (!ByteForSize(sizes.translaters, SMALL_TRANSLATERS, bytes[0]) ||
        !ByteForSize(sizes.clients, SMALL_CLIENTS, bytes[1]) ||
        !ByteForSize(sizes.max_chars, SMALL_MAX_CHARS, bytes[2])) {
        return false;
    }
    input.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
    return true;
}

// The checker target's input: a whole saved run.
struct CheckerInput {
    RunKind kind = RunKind::kNormal;
    int failed_at = 1;  // 1 to sizes.Creations()
    logcheck::Sizes sizes;
    int exit_status = 0;  // -1 to 254
    std::string out;
    std::string err;
};

inline CheckerInput ReadCheckerInput(const std::uint8_t* data, std::size_t size) {
    CInput input(data, size);
    CheckerInput run;
    run.kind = static_cast<RunKind>(input.Byte() % RUN_KINDS);
    const std::uint8_t failed_at = input.Byte();
    run.sizes = input.Sizes();
    run.failed_at = 1 + failed_at % run.sizes.Creations();
    run.exit_status = input.Byte() - 1;
    const std::size_t err_length = input.Byte();
    const std::string_view rest = input.Rest();
    const std::size_t out_length = rest.size() - std::min(err_length, rest.size());
    run.out = rest.substr(0, out_length);
    run.err = rest.substr(out_length);
    return run;
}

// False if the run cannot be written so (a size or status out of reach).
inline bool WriteCheckerInput(const CheckerInput& run, std::string& input) {
    if (run.err.size() > UINT8_MAX || run.exit_status < -1 || run.exit_status >= UINT8_MAX) {
        return false;
    }
    input = {static_cast<char>(run.kind), static_cast<char>(run.failed_at - 1)};
    if (!AppendSizes(run.sizes, input)) {
        return false;
    }
    input += static_cast<char>(run.exit_status + 1);
    input += static_cast<char>(run.err.size());
    input += run.out + run.err;
    return true;
}

// The trace and report targets' input: a log and, maybe, its trace.
struct LogTraceInput {
    logcheck::Sizes sizes;
    std::string log;
    bool has_trace = false;
    std::string trace;
};

inline LogTraceInput ReadLogTraceInput(const std::uint8_t* data, std::size_t size) {
    CInput input(data, size);
    LogTraceInput run;
    run.sizes = input.Sizes();
    const std::string_view rest = input.Rest();
    const std::size_t separator = rest.find(TRACE_SEPARATOR);
    run.log = rest.substr(0, separator);
    if (separator != std::string_view::npos) {
        run.has_trace = true;
        run.trace = rest.substr(separator + sizeof TRACE_SEPARATOR - 1);
    }
    return run;
}

inline bool WriteLogTraceInput(const LogTraceInput& run, std::string& input) {
    input.clear();
    if (!AppendSizes(run.sizes, input)) {
        return false;
    }
    input += run.log;
    if (run.has_trace) {
        input += TRACE_SEPARATOR + run.trace;
    }
    return true;
}

}  // namespace fuzzing

#endif  // TRANSLATERS_TESTS_FUZZ_FUZZ_INPUT_H
