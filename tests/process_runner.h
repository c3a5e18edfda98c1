// Runs the program as a child process with its output captured, a bound on its
// running time, and optional faults injected around it.
#ifndef TRANSLATERS_TESTS_PROCESS_RUNNER_H
#define TRANSLATERS_TESTS_PROCESS_RUNNER_H

#include <cstddef>
#include <string>
#include <vector>

namespace testing_support {

enum class StdoutMode {
    kCapture,      // a pipe, read to its end
    kDevFull,      // /dev/full
    kClosed,       // no standard output at all
    kReaderGone,   // a pipe whose reader has already gone
    kFileLimited,  // a file that takes only stdout_limit bytes (RLIMIT_FSIZE)
    // A pipe of one page whose reader goes away after stdout_limit bytes, once
    // the child is blocked writing the rest; a child that ends first gets its
    // whole log read (RunResult::reader_left tells which happened).
    kReaderLeaves,
};

// The file descriptor on which the child finds the report pipe.
const int REPORT_FD = 3;

struct RunOptions {
    std::vector<std::string> args;       // after argv[0]
    std::vector<std::string> extra_env;  // "NAME=value", added to the environment
    StdoutMode stdout_mode = StdoutMode::kCapture;
    std::size_t stdout_limit = 0;  // bytes, for kFileLimited and kReaderLeaves
    // Ignored in the child (an ignored disposition survives exec); every other
    // signal that ends a process has its default action there.
    std::vector<int> ignored_signals;
    bool report_pipe = false;     // a pipe on REPORT_FD, read into RunResult::report
    bool pin_to_one_cpu = false;  // run on CPU 0 only, where races surface more often
    // The child's address space limit (RLIMIT_AS) in bytes; 0 leaves it as it is.
    std::size_t address_space_limit = 0;
    double timeout_seconds = 30;  // the child is killed after this long
    std::string stdin_text;       // the child's standard input; empty: /dev/null
};

struct RunResult {
    std::string out;  // for kFileLimited, what reached the file
    std::string err;
    std::string report;    // what the child wrote on REPORT_FD
    int exit_status = -1;  // -1 unless the child exited normally
    int signal = 0;        // the signal that ended the child, if any
    bool timed_out = false;
    // kReaderLeaves: the reader went away while the child was blocked writing
    // to it, so that write cannot succeed. False if the child's log fitted.
    bool reader_left = false;
    double seconds = 0;  // wall time until the child ended
};

RunResult RunProgram(const std::string& path, const RunOptions& options = {});

// Splits text into lines; a trailing newline ends the last line.
std::vector<std::string> SplitLines(const std::string& text);

// A whole file, "" if it cannot be read; and a file written whole.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace testing_support

#endif  // TRANSLATERS_TESTS_PROCESS_RUNNER_H
