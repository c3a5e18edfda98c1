// The readers of outside input, translaters-check and translaters-report, fed
// what a user may have instead of a good run: a log with CR LF line ends, a NUL
// byte or invalid UTF-8 in it, a log of another build, a file that is no log,
// a trace of another run, a directory, a file that cannot be read, and a
// gigabyte of one line or of one number. Each is refused with one clear
// message on standard error that names the line (or the file) and what is
// wrong, exit status 1 for input that is refused and 2 for a file that cannot
// be read, no report on standard output, and never a crash or a hang; a
// gigabyte is read in bounded time and in memory in proportion to it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_lines.h"
#include "process_runner.h"
#include "report_support.h"

namespace {

using testing_support::CTempDir;
using testing_support::ReadFile;
using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::WriteFile;

const std::string CHECK = TRANSLATERS_CHECK_EXE;
const std::string REPORT = TRANSLATERS_REPORT_EXE;
const std::string SAMPLE_LOG = std::string(TRACE_SAMPLE_DIR) + "/out";
const std::string SAMPLE_TRACE = std::string(TRACE_SAMPLE_DIR) + "/trace.tsv";

const long long GIGABYTE = 1LL << 30;
// A message names lines and shows their beginnings, never the input whole.
const std::size_t LONGEST_MESSAGE = std::size_t{1} << 20;

// Runs program with args; standard input from stdin_path when it is given.
RunResult RunTool(const std::string& program, const std::vector<std::string>& args,
                  const std::string& stdin_path = "", double timeout_seconds = 30) {
    RunOptions options;
    options.timeout_seconds = timeout_seconds;
    if (stdin_path.empty()) {
        options.args = args;
        return RunProgram(program, options);
    }
    // The shell opens the file as standard input, whatever it is.
    options.args = {"-c", "exec \"$@\" < \"$0\"", stdin_path, program};
    options.args.insert(options.args.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", options);
}

// The text with every line ending in CR LF.
std::string WithCrLf(const std::string& text) {
    std::string crlf;
    for (const std::string& line : testing_support::SplitLines(text)) {
        crlf += line + "\r\n";
    }
    return crlf;
}

// The contract for input that is refused or cannot be read.
void ExpectRefused(const RunResult& result, int status, const std::string& where,
                   const std::string& what) {
    EXPECT_FALSE(result.timed_out) << "the reader hung";
    EXPECT_EQ(result.signal, 0) << "the reader was killed by a signal (a crash, an abort)";
    EXPECT_EQ(result.exit_status, status) << result.err.substr(0, 2000);
    EXPECT_EQ(result.out, "") << "a report or verdict on standard output for refused input";
    EXPECT_NE(result.err.find(where), std::string::npos)
        << "standard error does not name " << where << ":\n"
        << result.err.substr(0, 2000);
    EXPECT_NE(result.err.find(what), std::string::npos)
        << "standard error does not say " << what << ":\n"
        << result.err.substr(0, 2000);
    EXPECT_LT(result.err.size(), LONGEST_MESSAGE) << "not one clear message";
}

// The largest resident size of any child reaped so far, in bytes: of this
// test's children, as long as the tests before it (in the order they are
// declared) took less, or it runs alone, as CTest runs it.
long long LargestChild() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

class HostileInput : public testing::Test {
protected:
    // A real log of this build's program, and its lines.
    static void SetUpTestSuite() {
        RunOptions options;
        options.timeout_seconds = 60;
        s_log = RunProgram(TRANSLATERS_EXE, options).out;
    }

    // translaters-check on a normal run with this log and an empty standard error.
    RunResult Check(const std::string& log, const std::vector<std::string>& options = {}) {
        WriteFile(m_dir.File("out"), log);
        WriteFile(m_dir.File("err"), "");
        std::vector<std::string> args = options;
        args.insert(args.end(), {m_dir.File("out"), m_dir.File("err"), "0"});
        return RunTool(CHECK, args);
    }

    // translaters-report on this log, with these options.
    RunResult Report(const std::string& log, const std::vector<std::string>& options = {}) {
        return testing_support::RunReport(log, options);
    }

    // The log with line n (1-based) replaced.
    static std::string WithLine(int n, const std::string& line) {
        std::string log;
        const std::vector<std::string> lines = testing_support::SplitLines(s_log);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            log += (static_cast<int>(i) + 1 == n ? line : lines[i]) + "\n";
        }
        return log;
    }

    static std::string LineOf(int n) { return testing_support::SplitLines(s_log).at(n - 1); }

    // A sparse file of size NUL bytes: one line without a newline.
    std::string SparseFile(const std::string& name, long long size) {
        const std::string path = m_dir.File(name);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path;
    }

    static std::string s_log;
    CTempDir m_dir;
};

std::string HostileInput::s_log;

// Each kind of broken log, through both readers: refused (exit status 1) with
// the line named and the bad bytes shown as \xNN.
TEST_F(HostileInput, BrokenLogsAreRefusedNamingTheLine) {
    ASSERT_FALSE(s_log.empty());
    struct Case {
        const char* what;
        std::string log;
        std::vector<std::string> options;
        std::string where;
        std::string says;
    };
    const logcheck::Sizes built;
    const std::string crlf = WithCrLf(s_log);
    std::string cut = s_log;
    cut.pop_back();
    const std::vector<Case> cases = {
        {"CR LF line ends", crlf, {}, "line 1:", "\\x0D\": it ends in a carriage return"},
        {"a NUL byte", WithLine(5, LineOf(5).insert(3, 1, '\0')), {}, "line 5:", "\\x00"},
        {"invalid UTF-8", WithLine(7, LineOf(7) + "\xC3\x28\xFF"), {}, "line 7:", "\\xC3(\\xFF"},
        {"a log of a build with more translaters",
         s_log,
         {"--translaters", std::to_string(built.translaters - 1)},
         "line ",
         "does not exist"},
        {"a file that is no log", ReadFile(SAMPLE_TRACE), {}, "line 1:", "unknown line"},
        {"a log cut short", cut, {}, "line ", "does not end with a newline"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectRefused(Check(c.log, c.options), 1, c.where, c.says);
        ExpectRefused(Report(c.log, c.options), 1, c.where, c.says);
    }
    // An empty log: no thread wrote, which the checker says of the run as a
    // whole; the report takes an empty standard input as a usage error.
    ExpectRefused(Check(""), 1, "run: [missing-thread]", "wrote no line");
    ExpectRefused(Report(""), 2, "standard input", "empty");
}

// A trace that does not belong with the log: refused, naming the trace line or
// the log line where the two part.
TEST_F(HostileInput, BrokenTracesAreRefusedNamingTheLine) {
    const std::string log = ReadFile(SAMPLE_LOG);
    const std::string trace = ReadFile(SAMPLE_TRACE);
    ASSERT_FALSE(trace.empty());
    std::string nul = trace;
    nul.insert(nul.find('\n') - 2, 1, '\0');  // into the first probe's name
    const std::vector<std::pair<std::string, std::string>> traces = {
        {"CR LF line ends", WithCrLf(trace)}, {"a NUL byte", nul}, {"the log itself", log}};
    for (const auto& [what, text] : traces) {
        SCOPED_TRACE(what);
        WriteFile(m_dir.File("trace"), text);
        ExpectRefused(Report(log, {"--trace", m_dir.File("trace")}), 1, "trace line 1:", "");
    }
    // The trace of another run, beside this build's fresh log.
    ExpectRefused(Report(s_log, {"--trace", SAMPLE_TRACE}), 1, "line ", "trace");
}

// A directory, a file whose read fails and a missing file: exit status 2,
// naming the file and why.
TEST_F(HostileInput, UnreadableFilesAreUsageErrors) {
    const std::string dir = m_dir.Path();
    const std::string unreadable = "/proc/self/mem";  // reading at 0 fails, even for root
    const std::string missing = m_dir.File("missing");
    WriteFile(m_dir.File("empty"), "");
    for (const std::string& path : {dir, unreadable, missing}) {
        SCOPED_TRACE(path);
        ExpectRefused(RunTool(CHECK, {path, m_dir.File("empty"), "0"}), 2, "cannot read " + path,
                      ": ");
        ExpectRefused(RunTool(CHECK, {m_dir.File("empty"), path, "0"}), 2, "cannot read " + path,
                      ": ");
        ExpectRefused(Report(s_log, {"--trace", path}), 2, "cannot read " + path, ": ");
    }
    ExpectRefused(RunTool(CHECK, {dir, m_dir.File("empty"), "0"}), 2, dir, "directory");
    ExpectRefused(RunTool(REPORT, {}, dir), 2, "cannot read standard input", "directory");
}

// The largest sizes a user can give, and a log naming the last thread of them:
// the readers' memory follows the log, not the sizes. And a run of many
// translaters, each client passing over every one before its own: checked in
// time in proportion to the log, not to its square.
TEST_F(HostileInput, LargeSizesTakeTimeAndMemoryInProportionToTheLog) {
    const std::string largest = std::to_string(run_sizes::LARGEST_SIZE);
    const std::string last = std::to_string(run_sizes::LARGEST_SIZE - 1);
    const std::string log =
        "Translater " + last + ": Entering thread\nClient " + last + ": Entering thread\n";
    std::vector<std::string> sizes;
    for (const char* option : {"--translaters", "--clients", "--max-chars"}) {
        sizes.insert(sizes.end(), {option, largest});
    }
    ExpectRefused(Check(log, sizes), 1, "line 1:", "has no leaving line");
    ExpectRefused(Report(log, sizes), 1, "line 1:", "has no leaving line");
    const long long MEMORY = GIGABYTE / 4;
    EXPECT_LT(LargestChild(), MEMORY) << "(or an earlier test's reader took this much)";

    // Client c claims translater c, having found 0 to c - 1 claimed: 100000
    // clients are 5 * 10^9 steps for a check that tries each translater in
    // turn, a second for one that does not.
    const int THREADS = 100000;
    std::string many;
    for (int c = 0; c < THREADS; ++c) {
        const std::string id = std::to_string(c);
        many += "Client " + id + ": Entering thread\nClient " + id + ">" + id + ": Sending a\n";
    }
    WriteFile(m_dir.File("many"), many);
    WriteFile(m_dir.File("failed"), logcheck::UNKNOWN_EXCEPTION_TEXT);
    const RunResult stopped =
        RunTool(CHECK, {"--stopped", "--translaters", std::to_string(THREADS), "--clients",
                        std::to_string(THREADS), m_dir.File("many"), m_dir.File("failed"), "1"});
    EXPECT_FALSE(stopped.timed_out) << "the check took more than 30 s";
    EXPECT_EQ(stopped.exit_status, 0) << stopped.err.substr(0, 2000);
}

// A gigabyte of one line, and a number of a billion digits: refused in bounded
// time, in memory in proportion to the input (a copy or two of it), with a
// message that shows only the line's beginning.
TEST_F(HostileInput, GigabyteInputsAreReadInProportion) {
    const double TIMEOUT = 120;
    const long long MEMORY = 3 * GIGABYTE;
    const std::string zeros = SparseFile("zeros", GIGABYTE);
    WriteFile(m_dir.File("empty"), "");
    ExpectRefused(RunTool(CHECK, {zeros, m_dir.File("empty"), "0"}, "", TIMEOUT), 1,
                  "line 1:", "\\x00\\x00");
    ExpectRefused(RunTool(REPORT, {}, zeros, TIMEOUT), 1, "line 1:", "\\x00\\x00");
    WriteFile(m_dir.File("log"), s_log);
    ExpectRefused(RunTool(REPORT, {"--trace", zeros}, m_dir.File("log"), TIMEOUT), 1,
                  "trace line 1:", "not an event");
    EXPECT_LT(LargestChild(), MEMORY);

    // Generated on the way in, never stored: "Client 111...1: Entering thread".
    RunOptions options;
    options.timeout_seconds = TIMEOUT;
    options.args = {"-c",
                    "{ printf 'Client '; head -c $0 /dev/zero | tr '\\0' 1; "
                    "printf ': Entering thread\\n'; } | exec \"$1\"",
                    std::to_string(GIGABYTE), REPORT};
    ExpectRefused(RunProgram("/bin/sh", options), 1, "line 1:", "unknown line \"Client 1111");
    EXPECT_LT(LargestChild(), MEMORY);
}

}  // namespace
