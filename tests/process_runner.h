// Runs the program as a child process with its output captured, a bound on its
// running time, and optional faults injected around it.
#ifndef TRANSLATERS_TESTS_PROCESS_RUNNER_H
#define TRANSLATERS_TESTS_PROCESS_RUNNER_H

#include <string>
#include <vector>

namespace testing_support {

enum class StdoutMode { kCapture, kDevFull, kClosed, kReaderGone };

struct RunOptions {
    std::vector<std::string> args;       // after argv[0]
    std::vector<std::string> extra_env;  // "NAME=value", added to the environment
    StdoutMode stdout_mode = StdoutMode::kCapture;
    bool pin_to_one_cpu = false;  // run on CPU 0 only, where races surface more often
    double timeout_seconds = 30;  // the child is killed after this long
    std::string stdin_text;       // the child's standard input; empty: /dev/null
};

struct RunResult {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 unless the child exited normally
    int signal = 0;        // the signal that ended the child, if any
    bool timed_out = false;
    double seconds = 0;  // wall time until the child ended
};

RunResult RunProgram(const std::string& path, const RunOptions& options = {});

// Splits text into lines; a trailing newline ends the last line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace testing_support

#endif  // TRANSLATERS_TESTS_PROCESS_RUNNER_H
