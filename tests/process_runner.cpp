#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the child needs is built before fork, so the child only makes
// async-signal-safe calls.
struct ChildPlan {
    std::vector<char*> argv;
    std::vector<char*> envp;
};

ChildPlan PlanChild(const std::string& path, const RunOptions& options) {
    ChildPlan plan;
    plan.argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : options.args) {
        plan.argv.push_back(const_cast<char*>(arg.c_str()));
    }
    plan.argv.push_back(nullptr);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        plan.envp.push_back(*entry);
    }
    for (const std::string& entry : options.extra_env) {
        plan.envp.push_back(const_cast<char*>(entry.c_str()));
    }
    plan.envp.push_back(nullptr);
    return plan;
}

// The text in an unlinked temporary file, open for reading from its start: the
// child reads it at its own pace, and nothing is left behind.
int StdinFile(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/process-runner-stdin-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot create a file for the child's standard input");
    }
    unlink(name.c_str());
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno != EINTR) {
            close(fd);
            throw std::runtime_error("cannot write the child's standard input");
        }
        written += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

[[noreturn]] void ExecChild(const std::string& path, const RunOptions& options,
                            const ChildPlan& plan, int out_fd, int err_fd, int in_fd) {
    if (options.stdout_mode == StdoutMode::kCapture) {
        dup2(out_fd, STDOUT_FILENO);
    } else if (options.stdout_mode == StdoutMode::kDevFull) {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, STDOUT_FILENO);
    } else if (options.stdout_mode == StdoutMode::kClosed) {
        close(STDOUT_FILENO);
    } else {
        // A pipe whose reader has already gone, as in `translaters | head -0`.
        int gone[2];
        if (pipe(gone) == 0) {
            close(gone[0]);
            dup2(gone[1], STDOUT_FILENO);
        }
    }
    dup2(err_fd, STDERR_FILENO);
    const int in = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    if (options.pin_to_one_cpu) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(0, &cpus);
        sched_setaffinity(0, sizeof(cpus), &cpus);
    }
    // As a shell would: a reader that goes away ends the program by SIGPIPE.
    (void)signal(SIGPIPE, SIG_DFL);
    execve(path.c_str(), plan.argv.data(), plan.envp.data());
    _exit(127);
}

// Reads both pipes until they close or the deadline passes.
bool Drain(int out_fd, int err_fd, RunResult& result, Clock::time_point deadline) {
    std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    int open_fds = 2;
    while (open_fds > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            throw std::runtime_error("poll failed");
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    return true;
}

}  // namespace

RunResult RunProgram(const std::string& path, const RunOptions& options) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.timeout_seconds));
    const ChildPlan plan = PlanChild(path, options);
    const int in_fd = options.stdin_text.empty() ? -1 : StdinFile(options.stdin_text);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ExecChild(path, options, plan, out_pipe[1], err_pipe[1], in_fd);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (in_fd >= 0) {
        close(in_fd);
    }
    RunResult result;
    result.timed_out = !Drain(out_pipe[0], err_pipe[0], result, deadline);
    if (result.timed_out) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    // With both pipes closed the child has ended or is about to; a child that
    // closed its output early is still bounded by the deadline.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
        }
        usleep(1000);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace testing_support
