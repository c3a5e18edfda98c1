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
#include <sys/stat.h>
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
// the line named as FILE:LINE and the bad bytes shown as \xNN; where one cause
// explains every finding, one line that names it and what to do instead; of
// findings alike, the first three and a count of the rest.
TEST_F(HostileInput, BrokenLogsAreRefusedNamingTheLine) {
    ASSERT_FALSE(s_log.empty());
    struct Case {
        const char* what;
        std::string log;
        std::vector<std::string> options;
        int line;  // 0: the run as a whole
        std::string says;
        bool one_line;  // the one cause named instead of the findings
    };
    const logcheck::Sizes built;
    std::string cut = s_log;
    cut.pop_back();
    std::string alike;  // its first ten lines unknown, alike
    const std::vector<std::string> lines = testing_support::SplitLines(s_log);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        alike += (i < 10 ? "Client 3: Hello" : lines[i]) + "\n";
    }
    const std::vector<Case> cases = {
        {"CR LF line ends", WithCrLf(s_log), {}, 0, "[crlf-log]", true},
        {"a NUL byte", WithLine(5, LineOf(5).insert(3, 1, '\0')), {}, 5, "\\x00", false},
        {"invalid UTF-8", WithLine(7, LineOf(7) + "\xC3\x28\xFF"), {}, 7, "\\xC3(\\xFF", false},
        {"a log of a build with more translaters",
         s_log,
         {"--translaters", std::to_string(built.translaters - 1)},
         0,
         "check it with --translaters " + std::to_string(built.translaters),
         true},
        {"a file that is no log", ReadFile(SAMPLE_TRACE), {}, 1, "unknown line", false},
        {"a log cut short",
         cut,
         {},
         static_cast<int>(testing_support::SplitLines(cut).size()),
         "[cut-log]",
         true},
        {"ten lines alike", alike, {}, 3, "\n... and 7 more like it\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string line = c.line == 0 ? "run: [" : ":" + std::to_string(c.line) + ": [";
        for (const auto& [where, result] :
             {std::make_pair(m_dir.File("out") + line, Check(c.log, c.options)),
              std::make_pair("<stdin>" + line, Report(c.log, c.options))}) {
            ExpectRefused(result, 1, c.line == 0 ? line : where, c.says);
            if (c.one_line) {
                EXPECT_EQ(testing_support::SplitLines(result.err).size(), 1U) << result.err;
            }
        }
    }
    // The cut log's fix names the option, and which reader takes it.
    EXPECT_NE(Check(cut).err.find("check it with --cut"), std::string::npos);
    EXPECT_NE(Report(cut).err.find("check it with translaters-check --cut"), std::string::npos);
    // An empty log is named so; the report takes an empty standard input as a
    // usage error.
    ExpectRefused(Check(""), 1, "run: [empty-log]", "the log is empty");
    ExpectRefused(Report(""), 2, "standard input", "empty");
}

// A command line of a reader and what it must answer: its exit status and
// words on standard output or standard error. Refused input leaves standard
// output empty.
struct CommandCase {
    const char* what;
    std::vector<std::string> args;
    std::string stdin_text;
    bool dev_full;  // standard output is /dev/full
    int status;
    bool on_stdout;
    std::string says;
};

void ExpectCommands(const std::string& program, const std::vector<CommandCase>& cases) {
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.what);
        RunOptions options;
        options.args = c.args;
        options.stdin_text = c.stdin_text;
        options.stdout_mode = c.dev_full ? testing_support::StdoutMode::kDevFull
                                         : testing_support::StdoutMode::kCapture;
        const RunResult result = RunProgram(program, options);
        EXPECT_EQ(result.exit_status, c.status) << result.err.substr(0, 2000);
        EXPECT_NE((c.on_stdout ? result.out : result.err).find(c.says), std::string::npos)
            << "standard output:\n"
            << result.out.substr(0, 2000) << "standard error:\n"
            << result.err.substr(0, 2000);
        if (c.status != 0) {
            EXPECT_EQ(result.out, "") << "output that looks like success";
        }
    }
}

// The checker's command line as a GNU tool's: --help anywhere, --version,
// --opt=value, -- and - for standard input; exit statuses as the shell gives
// them, a real run cut by head accepted with --cut; a verdict that cannot be
// written, and every usage error, told with the reason.
TEST_F(HostileInput, CheckerCommandLine) {
    const std::string out = m_dir.File("out");
    const std::string err = m_dir.File("err");
    WriteFile(out, s_log);
    WriteFile(err, "");
    // bash gives the program's status in PIPESTATUS; SIGPIPE ends it unless it
    // was done before head read its 5000 bytes, which a run of a second never is.
    RunOptions piped;
    piped.args = {"-c", "\"$0\" 2> \"$1\" | head -c 5000 > \"$2\"; echo -n ${PIPESTATUS[0]}",
                  TRANSLATERS_EXE, m_dir.File("cut-err"), m_dir.File("cut")};
    const std::string status = RunProgram("/bin/bash", piped).out;
    ASSERT_EQ(status, "141");
    const std::vector<std::string> cut = {m_dir.File("cut"), m_dir.File("cut-err")};
    const logcheck::Sizes built;
    ExpectCommands(
        CHECK,
        {
            {"--help after the operands",
             {out, err, "0", "--help"},
             "",
             false,
             0,
             true,
             "--failed-at N"},
            {"--help: --cut's statuses", {"-h"}, "", false, 0, true, "141 (SIGPIPE) or 153"},
            {"--help: the exit statuses", {"--help"}, "", false, 0, true, "Exit status: 0"},
            {"--version",
             {"--version"},
             "",
             false,
             0,
             true,
             "translaters-check (translaters) " TRANSLATERS_VERSION "\n"},
            {"--opt=value, -- and -",
             {"--clients=" + std::to_string(built.clients), "--", "-", err, "0"},
             s_log,
             false,
             0,
             true,
             "clean: "},
            {"a real run that head cut",
             {"--cut", cut[0], cut[1], status},
             "",
             false,
             0,
             true,
             "clean: "},
            {"its signal by name",
             {"--cut", cut[0], cut[1], "SIGPIPE"},
             "",
             false,
             0,
             true,
             "clean: "},
            {"a size limit's signal by name",
             {"--cut", cut[0], cut[1], "xfsz"},
             "",
             false,
             0,
             true,
             "clean: "},
            {"the cut run as a normal one",
             {cut[0], cut[1], status},
             "",
             false,
             1,
             false,
             "SIGPIPE ended the program (exit status 141)"},
            {"a verdict that cannot be written",
             {out, err, "0"},
             "",
             true,
             2,
             false,
             "cannot write standard output: No space left on device"},
            {"a signal's name misspelt",
             {out, err, "SIGFOO"},
             "",
             false,
             2,
             false,
             "the exit status 'SIGFOO'"},
            {"standard input twice", {"-", "-", "0"}, "", false, 2, false, "one of the files"},
            {"an unknown option",
             {"--bogus=1", out, err, "0"},
             "",
             false,
             2,
             false,
             "unknown option --bogus"},
            {"a value for a flag",
             {"--stopped=yes", out, err, "0"},
             "",
             false,
             2,
             false,
             "--stopped takes no value"},
            {"a missing file",
             {m_dir.File("missing"), err, "0"},
             "",
             false,
             2,
             false,
             "missing: No such file or directory"},
        });
}

// The report's command line likewise, the log as a file argument, a run
// directory's sizes (which the size options override), and files that cannot
// be written told before any table is printed.
TEST_F(HostileInput, ReportCommandLine) {
    const std::string log = m_dir.File("log");
    WriteFile(log, s_log);
    const logcheck::Sizes built;
    const std::string fewer = "NUM_TRANSLATERS=" + std::to_string(built.translaters - 1) + "\n";
    for (const auto& [dir, sizes] :
         {std::make_pair("fewer", fewer),
          std::make_pair("bad", std::string("MAX_CHARS=9\nNUM_CLIENTS=x\n"))}) {
        ASSERT_EQ(mkdir(m_dir.File(dir).c_str(), 0700), 0);
        WriteFile(m_dir.File(dir) + "/trace.tsv", ReadFile(SAMPLE_TRACE));
        WriteFile(m_dir.File(dir) + "/sizes", sizes);
    }
    ExpectCommands(
        REPORT,
        {
            {"--help after the log", {log, "--help"}, "", false, 0, true, "--trace DIR"},
            {"--version",
             {"--version"},
             "",
             false,
             0,
             true,
             "translaters-report (translaters) " TRANSLATERS_VERSION "\n"},
            {"the log as a file, --opt=value", {"--format=tsv", log}, "", false, 0, true, "#run\t"},
            {"-- and -", {"--format", "tsv", "--", "-"}, s_log, false, 0, true, "#run\t"},
            {"an SVG file that cannot be written",
             {"--svg", "/no/such/dir/x.svg", log},
             "",
             false,
             2,
             false,
             "cannot write /no/such/dir/x.svg: No such file or directory"},
            {"a report that cannot be written",
             {log},
             "",
             true,
             2,
             false,
             "No space left on device"},
            {"two logs", {log, log}, "", false, 2, false, "one log at most"},
            {"the run directory's sizes",
             {"--trace", m_dir.File("fewer"), SAMPLE_LOG},
             "",
             false,
             1,
             false,
             "check it with --translaters " + std::to_string(built.translaters)},
            {"the size options over them",
             {"--trace", m_dir.File("fewer"), "--translaters", std::to_string(built.translaters),
              SAMPLE_LOG},
             "",
             false,
             0,
             true,
             "Jobs"},
            {"a malformed sizes file",
             {"--trace", m_dir.File("bad"), SAMPLE_LOG},
             "",
             false,
             1,
             false,
             m_dir.File("bad") + "/sizes:2: NUM_CLIENTS is 'x'"},
        });
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
    // An argument missing is an error of its line, never read as 0.
    WriteFile(m_dir.File("trace"), "1\t1\tpush\t0\n" + trace);
    ExpectRefused(Report(log, {"--trace", m_dir.File("trace")}), 1,
                  "trace line 1:", "push has 1 arguments, not 2");
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
    ExpectRefused(Check(log, sizes), 1, ":1: [", "has no leaving line");
    ExpectRefused(Report(log, sizes), 1, ":1: [", "has no leaving line");
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
    ExpectRefused(RunTool(CHECK, {zeros, m_dir.File("empty"), "0"}, "", TIMEOUT), 1, ":1: [",
                  "\\x00\\x00");
    ExpectRefused(RunTool(REPORT, {}, zeros, TIMEOUT), 1, ":1: [", "\\x00\\x00");
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
    ExpectRefused(RunProgram("/bin/sh", options), 1, ":1: [", "unknown line \"Client 1111");
    EXPECT_LT(LargestChild(), MEMORY);
}

}  // namespace
