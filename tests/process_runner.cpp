#include "process_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

// The child's ends of what the parent set up; -1 where there is none.
struct ChildFds {
    int out = -1;       // write end of the standard output pipe
    int err = -1;       // write end of the standard error pipe
    int in = -1;        // standard input file; -1: /dev/null
    int out_file = -1;  // standard output file, for kFileLimited
    int report = -1;    // write end of the report pipe
};

// An unlinked temporary file, open for reading and writing: nothing is left
// behind.
int TemporaryFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/process-runner-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary file for the child");
    }
    unlink(name.c_str());
    return fd;
}

// The whole content of a file, from its start.
std::string ReadWholeFile(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof(buffer), static_cast<off_t>(text.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// The text in a temporary file, open for reading from its start: the child
// reads it at its own pace.
int StdinFile(const std::string& text) {
    const int fd = TemporaryFile();
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

// Async-signal-safe, like everything the child does before exec.
void SetUpStdout(const RunOptions& options, const ChildFds& fds) {
    switch (options.stdout_mode) {
        case StdoutMode::kCapture:
        case StdoutMode::kReaderLeaves:
            dup2(fds.out, STDOUT_FILENO);
            break;
        case StdoutMode::kDevFull:
            dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
            break;
        case StdoutMode::kClosed:
            close(STDOUT_FILENO);
            break;
        case StdoutMode::kReaderGone: {
            // A pipe whose reader has already gone, as in `translaters | head -0`.
            int gone[2];
            if (pipe(gone) == 0) {
                close(gone[0]);
                dup2(gone[1], STDOUT_FILENO);
            }
            break;
        }
        case StdoutMode::kFileLimited: {
            dup2(fds.out_file, STDOUT_FILENO);
            const rlimit limit{options.stdout_limit, options.stdout_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
            break;
        }
    }
}

// As a shell would: a reader that goes away ends the program by SIGPIPE, a
// file grown past its limit by SIGXFSZ, unless the test ignores them. Either
// default action may dump core; no test wants a core file.
void SetUpSignals(const RunOptions& options) {
    (void)signal(SIGPIPE, SIG_DFL);
    (void)signal(SIGXFSZ, SIG_DFL);
    for (const int ignored : options.ignored_signals) {
        (void)signal(ignored, SIG_IGN);
    }
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

[[noreturn]] void ExecChild(const std::string& path, const RunOptions& options,
                            const ChildPlan& plan, const ChildFds& fds) {
    SetUpStdout(options, fds);
    dup2(fds.err, STDERR_FILENO);
    dup2(fds.in >= 0 ? fds.in : open("/dev/null", O_RDONLY), STDIN_FILENO);
    // Last, since REPORT_FD may be one of the descriptors dup'ed above.
    if (fds.report == REPORT_FD) {
        fcntl(REPORT_FD, F_SETFD, 0);
    } else if (fds.report >= 0) {
        dup2(fds.report, REPORT_FD);
    }
    if (options.pin_to_one_cpu) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(0, &cpus);
        sched_setaffinity(0, sizeof(cpus), &cpus);
    }
    SetUpSignals(options);
    if (options.address_space_limit != 0) {
        const rlimit limit{options.address_space_limit, options.address_space_limit};
        setrlimit(RLIMIT_AS, &limit);
    }
    execve(path.c_str(), plan.argv.data(), plan.envp.data());
    _exit(127);
}

// Whether a thread of the process sleeps in write(2) on its standard output
// inside the pipe's code, that is, on a full pipe: that write completes only
// when the reader reads, and fails once the reader has gone. Where the kernel
// does not name the sleeping function, a blocked write to stdout is taken as
// one.
bool BlockedWritingStdout(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool blocked = false;
    while (const dirent* entry = readdir(dir)) {
        const std::string task = tasks + entry->d_name;
        long number = -1;
        unsigned long fd = 0;
        std::istringstream syscall(ReadFile(task + "/syscall"));
        if (!(syscall >> number >> std::hex >> fd) || number != SYS_write || fd != STDOUT_FILENO) {
            continue;
        }
        const std::string wchan = ReadFile(task + "/wchan");
        if (wchan.find("pipe_write") != std::string::npos || wchan == "0") {
            blocked = true;
            break;
        }
    }
    closedir(dir);
    return blocked;
}

// One pipe read by the parent into sink. A stream with a limit is read up to
// it; then its reader goes away (closes its end) as soon as the writer is
// blocked on the full pipe, so that the writer's next write must fail. A
// writer that ends first had its whole output fit: the rest is read.
struct Stream {
    int fd;
    std::string* sink;
    std::size_t limit = SIZE_MAX;
    pid_t writer = 0;      // for a limit: the child whose blocked write is awaited
    bool* left = nullptr;  // for a limit: set when the reader went away
};

bool AtLimit(const Stream& stream) {
    return stream.sink->size() >= stream.limit;
}

// Reads what the stream holds, up to limit bytes in all; false once it has
// ended.
bool ReadSome(int fd, std::string& sink, std::size_t limit) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, std::min(sizeof(buffer), limit - sink.size()));
    if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
    }
    return n > 0 || (n < 0 && errno == EINTR);
}

// One stream's turn after poll; false once it is done with, its end closed.
bool Serve(const pollfd& fd, const Stream& stream) {
    if (!AtLimit(stream)) {
        return fd.revents == 0 || ReadSome(fd.fd, *stream.sink, stream.limit);
    }
    if ((fd.revents & (POLLHUP | POLLERR)) != 0) {
        while (ReadSome(fd.fd, *stream.sink, SIZE_MAX)) {
        }
        return false;
    }
    if (BlockedWritingStdout(stream.writer)) {
        *stream.left = true;
        return false;
    }
    return true;
}

// Reads the streams until each is done with, or the deadline passes; closes
// every one of them either way. A stream waiting for its reader to leave is
// looked at every millisecond.
bool Drain(const std::vector<Stream>& streams, Clock::time_point deadline) {
    std::vector<pollfd> fds;
    for (const Stream& stream : streams) {
        fds.push_back({stream.fd, POLLIN, 0});
    }
    std::size_t open_fds = fds.size();
    while (open_fds > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        bool leaving = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            // At its limit a stream reports only its writer's end.
            fds[i].events = AtLimit(streams[i]) ? 0 : POLLIN;
            leaving = leaving || (fds[i].fd >= 0 && AtLimit(streams[i]));
        }
        const int timeout = leaving ? 1 : static_cast<int>(left.count());
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            throw std::runtime_error("poll failed");
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd >= 0 && !Serve(fds[i], streams[i])) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    return open_fds == 0;
}

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    return Pipe{ends[0], ends[1]};
}

// Waits for the child; kills it once the deadline has passed.
int Reap(pid_t pid, Clock::time_point deadline, RunResult& result) {
    int status = 0;
    // With every pipe closed the child has ended or is about to; a child that
    // closed its output early is still bounded by the deadline.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
        }
        usleep(1000);
    }
    return status;
}

}  // namespace

RunResult RunProgram(const std::string& path, const RunOptions& options) {
    const Pipe out = MakePipe();
    if (options.stdout_mode == StdoutMode::kReaderLeaves) {
        // The smallest pipe: a child soon blocks once its reader stops reading.
        fcntl(out.read, F_SETPIPE_SZ, static_cast<int>(sysconf(_SC_PAGESIZE)));
    }
    const Pipe err = MakePipe();
    const Pipe report = options.report_pipe ? MakePipe() : Pipe{};
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.timeout_seconds));
    const ChildPlan plan = PlanChild(path, options);
    const int in_fd = options.stdin_text.empty() ? -1 : StdinFile(options.stdin_text);
    const bool to_file = options.stdout_mode == StdoutMode::kFileLimited;
    const int out_file = to_file ? TemporaryFile() : -1;
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ExecChild(path, options, plan,
                  ChildFds{out.write, err.write, in_fd, out_file, report.write});
    }
    for (const int fd : {out.write, err.write, report.write, in_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    RunResult result;
    std::vector<Stream> streams{{out.read, &result.out}, {err.read, &result.err}};
    if (options.stdout_mode == StdoutMode::kReaderLeaves) {
        streams[0].limit = options.stdout_limit;
        streams[0].writer = pid;
        streams[0].left = &result.reader_left;
    }
    if (report.read >= 0) {
        streams.push_back({report.read, &result.report});
    }
    result.timed_out = !Drain(streams, deadline);
    if (result.timed_out) {
        kill(pid, SIGKILL);
    }
    const int status = Reap(pid, deadline, result);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (to_file) {
        result.out = ReadWholeFile(out_file);
        close(out_file);
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
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
