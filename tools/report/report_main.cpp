// translaters-report: a table and, on request, pictures of one run of the
// translaters program, read from its log (a file, or standard input); with a
// trace recorded beside the log (tools/trace), along real time too. Its
// options: USAGE and HELP below.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "diagnosis.h"
#include "log_checker.h"
#include "report.h"
#include "run_model.h"

namespace {

using command_line::EXIT_BROKEN;
using command_line::EXIT_USAGE;
using logcheck::CStatus;

const char USAGE[] =
    "usage: translaters-report [--svg FILE [--axis line|time]] [--trace DIR|FILE]\n"
    "                          [--perfetto FILE] [--format human|tsv] [--translaters N]\n"
    "                          [--clients N] [--max-chars N] [LOG]\n";

const char HELP[] =
    "\n"
    "Reads the log of one run of the translaters program (its standard output)\n"
    "from the file LOG, or from standard input when LOG is - or not given, checks\n"
    "it with the log checker, and prints a table of the jobs (client, translater,\n"
    "letters, first letter line and end-of-job line), of the clients turned away,\n"
    "and the totals.\n"
    "\n"
    "  --svg FILE       also write the run to FILE as an SVG timeline: a lane per\n"
    "                   translater with a bar per job, the clients turned away, and\n"
    "                   the driver's closing lines\n"
    "  --axis line      the timeline along the log's line numbers (the default)\n"
    "  --axis time      the timeline along real time (needs --trace): for each\n"
    "                   translater its waits in JobFinished and in Pop, its jobs, its\n"
    "                   stop signal, the waits that ran out and the one-second tail\n"
    "                   of a missed stop signal; the driver's pauses and the stop\n"
    "                   flag; each client's pauses, claim attempts and sending\n"
    "  --trace DIR      the run directory tools/trace wrote: its trace.tsv, the\n"
    "                   trace recorded with the log, and its file sizes, the sizes\n"
    "                   of the build that ran (NAME=VALUE lines), which the size\n"
    "                   options below override; --trace FILE names the trace\n"
    "                   alone. The job table gains when each claim was won,\n"
    "                   the first and last letter sent and the job ended (ms from\n"
    "                   the driver's start) and how long the letters waited in the\n"
    "                   queue (push to pop, mean and longest); the turned-away\n"
    "                   clients their pause before claiming and when they gave up;\n"
    "                   and two more tables: how each translater spent its time,\n"
    "                   and how each took the stop\n"
    "  --perfetto FILE  write the run to FILE as Chrome trace-event JSON (needs\n"
    "                   --trace): open it in https://ui.perfetto.dev (\"Open trace\n"
    "                   file\") or chrome://tracing; a track per thread, a queue\n"
    "                   counter per translater, arrows from each job's first letter\n"
    "                   and terminator to the pops that take them\n"
    "  --format tsv     write the report as records for scripts instead of tables:\n"
    "                   tab-separated, a header line per table; stable (see the\n"
    "                   manual page); --format human, the tables, is the default\n"
    "  --help, -h       show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "The log is one of this build's sizes unless the sizes file of --trace DIR or\n"
    "these options (which win) say otherwise, for a log of a build of other sizes:\n"
    "%SIZES%"
    "\n"
    "An option's value may follow it (--svg run.svg) or an = (--svg=run.svg); --\n"
    "ends the options.\n"
    "\n"
    "A log read this way comes without the run's standard error and exit status:\n"
    "it is checked as a normal run, as if standard error was empty and the exit\n"
    "status 0. A run whose thread creation failed is not a normal run; check it\n"
    "with translaters-check instead.\n"
    "\n"
    "A log that breaks a rule gets its findings on standard error, each\n"
    "\"LOG:LINE: [rule] message\" (<stdin> for standard input) or \"run: [rule]\n"
    "message\"; when one cause explains them all (CR LF line ends, a run cut\n"
    "short, a build of other sizes), one line names it and what to do.\n"
    "\n"
    "Exit status: 0 the report is printed; 1 the log breaks a rule of the program,\n"
    "the trace was not recorded with this log, or the trace's sizes file is\n"
    "malformed: each broken rule, or the first line where the trace and the log\n"
    "differ, is named on standard error and no report is made; 2 a usage error\n"
    "(an empty log included), a log or trace that cannot be read, or a report or\n"
    "file that cannot be written, with the reason.\n"
    "\n"
    "Examples:\n"
    "  build/translaters | build/tools/report/translaters-report --svg run.svg\n"
    "  sudo tools/trace run && build/tools/report/translaters-report --trace run\n"
    "      --svg run.svg --axis time --perfetto run.json run/out\n";

// Its options besides the size options, which every reader takes.
const std::vector<command_line::OptionForm> OPTIONS = {
    {"--svg", true}, {"--axis", true}, {"--trace", true}, {"--perfetto", true}, {"--format", true}};

struct Options {
    std::vector<std::pair<std::string, std::string>> size_options;  // as given, applied last
    std::string svg_path;
    std::string axis;  // "" when not given: along the log's lines
    std::string trace_path;
    std::string sizes_path;  // "" unless --trace names a run directory that has one
    std::string perfetto_path;
    std::string format;  // "" when not given: the human tables
    std::string log = "-";
    bool log_given = false;
};

// Whether options that each parse go together.
CStatus CheckOptions(const Options& options) {
    if (!options.axis.empty() && options.axis != "line" && options.axis != "time") {
        return CStatus::Error("unknown axis '" + options.axis + "': line or time");
    }
    if (!options.axis.empty() && options.svg_path.empty()) {
        return CStatus::Error("--axis is the axis of the --svg picture: give --svg FILE too");
    }
    if (options.axis == "time" && options.trace_path.empty()) {
        return CStatus::Error("--axis time needs --trace DIR: the times come from the trace");
    }
    if (!options.format.empty() && options.format != "human" && options.format != "tsv") {
        return CStatus::Error("unknown format '" + options.format + "': human or tsv");
    }
    if (!options.perfetto_path.empty() && options.trace_path.empty()) {
        return CStatus::Error("--perfetto needs --trace DIR: the times come from the trace");
    }
    return {};
}

CStatus ParseArguments(int argc, char** argv, Options& options) {
    command_line::Arguments arguments;
    RETURN_IF_ERROR(command_line::Parse(argc, argv, OPTIONS, arguments));
    for (const auto& [name, value] : arguments.options) {
        if (command_line::IsSizeOption(name)) {
            logcheck::Sizes sizes;
            RETURN_IF_ERROR(command_line::SetSizeOption(name, value, sizes));
            options.size_options.emplace_back(name, value);
            continue;
        }
        std::string& field = name == "--svg"        ? options.svg_path
                             : name == "--axis"     ? options.axis
                             : name == "--trace"    ? options.trace_path
                             : name == "--perfetto" ? options.perfetto_path
                                                    : options.format;
        if (value.empty()) {
            return CStatus::Error(name + (name == "--axis"     ? " needs line or time"
                                          : name == "--format" ? " needs human or tsv"
                                                               : " needs a file name"));
        }
        field = value;
    }
    if (arguments.operands.size() > 1) {
        return CStatus::Error("one log at most: '" + arguments.operands[1] + "' is one too many");
    }
    if (!arguments.operands.empty()) {
        options.log = arguments.operands.front();
        options.log_given = true;
    }
    return CheckOptions(options);
}

// Tells a failure on standard error; returns its exit status.
int Fail(int status, const std::string& problem) {
    std::cerr << "translaters-report: " << problem << "\n";
    return status;
}

int UsageError(const std::string& problem) {
    std::cerr << "translaters-report: " << problem << "\n"
              << USAGE << "Try 'translaters-report --help' for more information.\n";
    return EXIT_USAGE;
}

// For --trace DIR, the trace and the sizes file in DIR; the error says why DIR
// cannot be read.
CStatus FindTraceFiles(Options& options) {
    struct stat info {};
    if (stat(options.trace_path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return {};  // a trace file, or what cannot be read, which reading it tells
    }
    const std::string dir = options.trace_path;
    options.trace_path = dir + "/trace.tsv";
    const std::string sizes = dir + "/sizes";
    if (stat(sizes.c_str(), &info) == 0) {
        options.sizes_path = sizes;
    } else if (errno != ENOENT) {
        return CStatus::Error("cannot read " + sizes + ": " + CStatus::FromErrno(errno).Message());
    }
    return {};
}

// Reads the sizes file tools/trace writes beside a trace, NAME=VALUE lines of
// the build's options; the error is "PATH:LINE: what is wrong".
CStatus ReadSizesFile(const std::string& path, const std::string& text, logcheck::Sizes& sizes) {
    std::istringstream lines(text);
    int number = 0;
    std::vector<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::size_t equals = line.find('=');
        const std::string name = line.substr(0, equals);
        int* size = name == "NUM_TRANSLATERS" ? &sizes.translaters
                    : name == "NUM_CLIENTS"   ? &sizes.clients
                    : name == "MAX_CHARS"     ? &sizes.max_chars
                    : name == "MAX_DELAY"     ? &sizes.max_delay
                                              : nullptr;
        if (equals == std::string::npos || size == nullptr) {
            return CStatus::Error(where +
                                  "not a size: expected NAME=VALUE, NAME one of NUM_TRANSLATERS, "
                                  "NUM_CLIENTS, MAX_CHARS and MAX_DELAY");
        }
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            return CStatus::Error(where + name + " a second time");
        }
        seen.push_back(name);
        const std::string value = line.substr(equals + 1);
        char* end = nullptr;
        errno = 0;
        const long parsed = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' ||
            errno != 0 || parsed < 1 || parsed > run_sizes::LARGEST_SIZE) {
            std::ostringstream problem;
            problem << where << name << " is '" << value << "': a whole number from 1 to "
                    << run_sizes::LARGEST_SIZE << " is needed";
            return CStatus::Error(problem.str());
        }
        *size = static_cast<int>(parsed);
    }
    return {};
}

// The sizes of the run: the build's, then the trace's sizes file, then the
// size options. Returns the exit status if that fails, else 0.
int FindSizes(const Options& options, logcheck::Sizes& sizes) {
    if (!options.sizes_path.empty()) {
        const auto text = logcheck::ReadFile(options.sizes_path);
        if (!text.Ok()) {
            return Fail(EXIT_USAGE, "cannot read " + options.sizes_path + ": " + text.Message());
        }
        if (const CStatus read = ReadSizesFile(options.sizes_path, text.Value(), sizes);
            !read.Ok()) {
            return Fail(EXIT_BROKEN, read.Message());
        }
    }
    for (const auto& [name, value] : options.size_options) {
        static_cast<void>(command_line::SetSizeOption(name, value, sizes));  // good when parsed
    }
    return 0;
}

int ReportBrokenLog(const Options& options, const std::string& log, const logcheck::Sizes& sizes,
                    const logcheck::Result& result) {
    const std::string log_name = command_line::DisplayName(options.log);
    const logcheck::Diagnosis diagnosis =
        logcheck::Diagnose(logcheck::CheckedRun{logcheck::RunType{}, log, "", 0, sizes, result},
                           logcheck::Advice{log_name, false});
    logcheck::Result shown = result;
    if (diagnosis.use == logcheck::Diagnosis::Use::kInstead) {
        shown.findings = {diagnosis.finding};
        std::cerr << logcheck::FormatFindings(shown, 1, log_name);
        return EXIT_BROKEN;
    }
    if (diagnosis.use == logcheck::Diagnosis::Use::kAfter) {
        shown.findings.push_back(diagnosis.finding);
    }
    std::cerr << "translaters-report: the log breaks the program's rules ("
              << result.findings.size() << " finding" << (result.findings.size() == 1 ? "" : "s")
              << "), so no report is made:\n"
              << logcheck::FormatFindings(shown, 50, log_name);
    return EXIT_BROKEN;
}

// Joins the trace at path with the log and adds its times to the model;
// returns the exit status if that fails, else 0.
int AddTraceFile(const std::string& path, const std::string& log, report::RunModel& model) {
    const auto text = logcheck::ReadFile(path);
    if (!text.Ok()) {
        return Fail(EXIT_USAGE, "cannot read " + path + ": " + text.Message());
    }
    if (const CStatus added = report::AddTrace(text.Value(), log, model); !added.Ok()) {
        return Fail(EXIT_BROKEN, "the trace " + path +
                                     " does not fit the log, so no report is made:\n" +
                                     added.Message());
    }
    return 0;
}

// Writes the files asked for, then the report on standard output, so that a
// file that cannot be written is told before any table that would look like
// success; returns the exit status.
int WriteReport(const Options& options, const report::RunModel& model) {
    const std::string svg = options.svg_path.empty() ? ""
                            : options.axis == "time" ? report::TimeAxisSvg(model)
                                                     : report::TimelineSvg(model);
    for (const auto& [path, text] :
         {std::make_pair(options.svg_path, svg),
          std::make_pair(options.perfetto_path,
                         options.perfetto_path.empty() ? "" : report::PerfettoJson(model))}) {
        const CStatus written = path.empty() ? CStatus{} : command_line::WriteNewFile(path, text);
        if (!written.Ok()) {
            return Fail(EXIT_USAGE, "cannot write " + path + ": " + written.Message());
        }
    }
    std::ostringstream report;
    if (options.format == "tsv") {
        report::WriteRecords(model, report);
    } else {
        report::PrintReport(model, report);
    }
    if (const CStatus written = command_line::FinishStdout(report.str()); !written.Ok()) {
        return Fail(EXIT_USAGE, "cannot write the report to standard output: " + written.Message());
    }
    return 0;
}

// Reads the log, whole and not empty; returns the exit status if that fails,
// else 0.
int ReadLog(const Options& options, std::string& log) {
    const bool from_stdin = options.log == "-";
    if (!options.log_given && isatty(STDIN_FILENO) != 0) {
        return UsageError("the log is read from standard input, which is a terminal: give LOG");
    }
    auto read = command_line::ReadOperand(options.log);
    if (!read.Ok()) {
        return Fail(EXIT_USAGE, "cannot read " + (from_stdin ? "standard input" : options.log) +
                                    ": " + read.Message());
    }
    log = std::move(read.Value());
    if (log.empty()) {
        return UsageError(from_stdin ? "standard input is empty: no log to report on"
                                     : "the log " + options.log + " is empty: no log to report on");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const command_line::Request request = command_line::FindRequest(argc, argv);
    if (request != command_line::Request::kNone) {
        return command_line::Answer(request, "translaters-report", USAGE, HELP);
    }
    Options options;
    if (const CStatus parsed = ParseArguments(argc, argv, options); !parsed.Ok()) {
        return UsageError(parsed.Message());
    }
    if (!options.trace_path.empty()) {
        if (const CStatus found = FindTraceFiles(options); !found.Ok()) {
            return Fail(EXIT_USAGE, found.Message());
        }
    }
    logcheck::Sizes sizes;
    std::string log;
    int status = FindSizes(options, sizes);
    if (status == 0) {
        status = ReadLog(options, log);
    }
    if (status != 0) {
        return status;
    }
    // A log read alone has no standard error or exit status beside it.
    const logcheck::Result result = logcheck::CheckRun(log, "", 0, sizes);
    if (!result.Clean()) {
        return ReportBrokenLog(options, log, sizes, result);
    }
    report::RunModel model = report::ModelFromLog(result.summary);
    if (!options.trace_path.empty()) {
        status = AddTraceFile(options.trace_path, log, model);
    }
    return status != 0 ? status : WriteReport(options, model);
}
