// The fuzz targets' helper, built with them:
//
//   fuzz_tool dict
//       writes the dictionary of the targets on standard output: the pieces of
//       every line form (logcheck::LINE_FORMS) and a line of each, the probe
//       names (runtrace::KNOWN_PROBES), the texts of standard error, the trace
//       separator and the largest numbers, so the dictionary never differs
//       from the readers.
//   fuzz_tool checker-seed KIND FAILED_AT TRANSLATERS CLIENTS MAX_CHARS OUT ERR STATUS
//       writes a seed of fuzz_checker: the saved run OUT, ERR, STATUS (a file
//       holding the exit status), KIND one of normal, failed, stopped, cut.
//   fuzz_tool log-seed TRANSLATERS CLIENTS MAX_CHARS LOG [TRACE]
//       writes a seed of fuzz_trace and fuzz_report: a log and its trace.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "fuzz_input.h"
#include "log_checker.h"
#include "run_trace.h"

namespace {

// A dictionary entry: printable bytes as they are, the rest as \xNN.
std::string Entry(const std::string& text) {
    const char DIGITS[] = "0123456789ABCDEF";
    std::string entry = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F && ch != '"' && ch != '\\') {
            entry += ch;
        } else {
            entry += std::string("\\x") + DIGITS[byte / 16] + DIGITS[byte % 16];
        }
    }
    return entry + "\"";
}

std::set<std::string> DictionaryWords() {
    std::set<std::string> words;
    for (const logcheck::LineForm& form : logcheck::LINE_FORMS) {
        std::string piece;
        for (const char* f = form.form;; ++f) {
            if (*f == '\0' || logcheck::IsPlaceholder(*f)) {
                if (!piece.empty()) {
                    words.insert(piece);
                }
                piece.clear();
                if (*f == '\0') {
                    break;
                }
            } else {
                piece += *f;
            }
        }
        logcheck::Line line;
        line.kind = form.kind;
        line.translater = 0;
        line.client = 0;
        line.count = 1;
        line.ch = 'a';
        line.out = logcheck::SwapCase(line.ch);
        words.insert(logcheck::FormatLine(line) + "\n");
    }
    for (const runtrace::ProbeInfo& probe : runtrace::KNOWN_PROBES) {
        words.insert(runtrace::TRACE_SEPARATOR + std::string(probe.name) +
                     (probe.args > 0 ? runtrace::TRACE_SEPARATOR : runtrace::TRACE_END));
    }
    // The largest ID a user's sizes allow, and the largest number of a trace.
    words.insert(std::to_string(fuzzing::LARGEST_SIZE - 1));
    words.insert(std::to_string(std::numeric_limits<std::int64_t>::max()));
    for (const char* text : {logcheck::CREATE_FAILED_TEXT, logcheck::UNKNOWN_EXCEPTION_TEXT,
                             logcheck::WRITE_FAILED_TEXT, fuzzing::TRACE_SEPARATOR}) {
        words.insert(text);
    }
    return words;
}

// A whole number from 0 to 999999999; -1 for anything else.
int Number(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= 0 && value <= fuzzing::LARGEST_SIZE
               ? static_cast<int>(value)
               : -1;
}

bool ReadSizes(char** argv, logcheck::Sizes& sizes) {
    sizes.translaters = Number(argv[0]);
    sizes.clients = Number(argv[1]);
    sizes.max_chars = Number(argv[2]);
    return sizes.translaters > 0 && sizes.clients > 0 && sizes.max_chars > 0;
}

bool Read(const char* path, std::string& text) {
    logcheck::CStatusOr<std::string> read = logcheck::ReadFile(path);
    if (!read.Ok()) {
        std::cerr << "fuzz_tool: cannot read " << path << "\n";
        return false;
    }
    text = std::move(read.Value());
    return true;
}

int CheckerSeed(char** argv) {
    const std::string kinds[] = {"normal", "failed", "stopped", "cut"};
    fuzzing::CheckerInput run;
    int kind = 0;
    while (kind < fuzzing::RUN_KINDS && kinds[kind] != argv[0]) {
        ++kind;
    }
    std::string status;
    if (kind == fuzzing::RUN_KINDS || !ReadSizes(argv + 2, run.sizes) || !Read(argv[5], run.out) ||
        !Read(argv[6], run.err) || !Read(argv[7], status)) {
        return 2;
    }
    run.kind = static_cast<fuzzing::RunKind>(kind);
    run.failed_at = std::max(1, Number(argv[1]));
    while (!status.empty() && status.back() == '\n') {
        status.pop_back();
    }
    run.exit_status = Number(status.c_str());
    std::string input;
    if (!fuzzing::WriteCheckerInput(run, input)) {
        std::cerr << "fuzz_tool: this run has no seed\n";
        return 2;
    }
    std::cout << input;
    return 0;
}

int LogSeed(int argc, char** argv) {
    fuzzing::LogTraceInput run;
    if (!ReadSizes(argv, run.sizes) || !Read(argv[3], run.log)) {
        return 2;
    }
    run.has_trace = argc == 5;
    if (run.has_trace && !Read(argv[4], run.trace)) {
        return 2;
    }
    std::string input;
    if (!fuzzing::WriteLogTraceInput(run, input)) {
        std::cerr << "fuzz_tool: these sizes have no seed\n";
        return 2;
    }
    std::cout << input;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "dict" && argc == 2) {
        for (const std::string& word : DictionaryWords()) {
            std::cout << Entry(word) << "\n";
        }
        return 0;
    }
    if (command == "checker-seed" && argc == 10) {
        return CheckerSeed(argv + 2);
    }
    if (command == "log-seed" && (argc == 6 || argc == 7)) {
        return LogSeed(argc - 2, argv + 2);
    }
    std::cerr << "usage: fuzz_tool dict | checker-seed KIND FAILED_AT TRANSLATERS CLIENTS "
                 "MAX_CHARS OUT ERR STATUS | log-seed TRANSLATERS CLIENTS MAX_CHARS LOG [TRACE]\n";
    return 2;
}
