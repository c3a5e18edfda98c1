// translaters-report: a table and, on request, pictures of one run of the
// translaters program, read from its log on standard input; with a trace
// recorded beside the log (tools/trace), along real time too.
//
//   build/translaters | translaters-report [--svg FILE] [--axis line|time]
//                                          [--trace FILE] [--perfetto FILE]
//                                          [--format human|tsv]
//                                          [--translaters N] [--clients N] [--max-chars N]
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include "log_checker.h"
#include "report.h"
#include "run_model.h"
#include "run_trace.h"

namespace {

const int EXIT_BROKEN_LOG = 1;
const int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: translaters-report [--svg FILE [--axis line|time]] [--trace FILE]\n"
    "                          [--perfetto FILE] [--format human|tsv] [--translaters N]\n"
    "                          [--clients N] [--max-chars N] < LOG\n";

const char HELP[] =
    "\n"
    "Reads the log of one run of the translaters program (its standard output) on\n"
    "standard input, checks it with the log checker, and prints a table of the jobs\n"
    "(client, translater, letters, first letter line and end-of-job line), of the\n"
    "clients turned away, and the totals.\n"
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
    "  --trace FILE     the trace recorded with the log by tools/trace (its\n"
    "                   trace.tsv): the job table gains when each claim was won,\n"
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
    "  --help           show this help\n"
    "\n"
    "The log is one of this build's sizes unless these say otherwise, for a log\n"
    "made by a build of other sizes:\n"
    "%SIZES%"
    "\n"
    "A log read this way comes without the run's standard error and exit status:\n"
    "it is checked as a normal run, as if standard error was empty and the exit\n"
    "status 0. A run whose thread creation failed is not a normal run; check it\n"
    "with translaters-check instead.\n"
    "\n"
    "Exit status: 0 the report is printed; 1 the log breaks a rule of the program,\n"
    "or the trace was not recorded with this log: each broken rule, or the first\n"
    "line where the trace and the log differ, is named on standard error and no\n"
    "report is made; 2 a usage error (an empty standard input included), a\n"
    "standard input or trace file that cannot be read, or a report or file that\n"
    "cannot be written.\n"
    "\n"
    "Examples:\n"
    "  build/translaters | build/tools/report/translaters-report --svg run.svg\n"
    "  sudo tools/trace run && build/tools/report/translaters-report --trace\n"
    "      run/trace.tsv --svg run.svg --axis time --perfetto run.json < run/out\n";

struct Options {
    bool help = false;
    logcheck::Sizes sizes;
    std::string svg_path;
    std::string axis;  // "" when not given: along the log's lines
    std::string trace_path;
    std::string perfetto_path;
    std::string format;  // "" when not given: the human tables
};

// The value of an option that takes one; false if there is none.
bool TakeValue(int argc, char** argv, int& i, std::string& value) {
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        return false;
    }
    value = argv[++i];
    return true;
}

// What is wrong with options that each parse: "" if nothing.
std::string CheckOptions(const Options& options) {
    if (!options.axis.empty() && options.axis != "line" && options.axis != "time") {
        return "unknown axis '" + options.axis + "': line or time";
    }
    if (!options.axis.empty() && options.svg_path.empty()) {
        return "--axis is the axis of the --svg picture: give --svg FILE too";
    }
    if (options.axis == "time" && options.trace_path.empty()) {
        return "--axis time needs --trace FILE: the times come from the trace";
    }
    if (!options.format.empty() && options.format != "human" && options.format != "tsv") {
        return "unknown format '" + options.format + "': human or tsv";
    }
    if (!options.perfetto_path.empty() && options.trace_path.empty()) {
        return "--perfetto needs --trace FILE: the times come from the trace";
    }
    return "";
}

// Returns "" when the arguments are good, else what is wrong with them.
std::string ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = nullptr;
        std::string problem;
        if (logcheck::TakeSizeOption(argc, argv, i, options.sizes, problem)) {
            if (!problem.empty()) {
                return problem;
            }
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--svg") {
            value = &options.svg_path;
        } else if (arg == "--axis") {
            value = &options.axis;
        } else if (arg == "--trace") {
            value = &options.trace_path;
        } else if (arg == "--perfetto") {
            value = &options.perfetto_path;
        } else if (arg == "--format") {
            value = &options.format;
        } else {
            return "unknown argument '" + arg + "'";
        }
        if (value != nullptr && !TakeValue(argc, argv, i, *value)) {
            return arg + (arg == "--axis"     ? " needs line or time"
                          : arg == "--format" ? " needs human or tsv"
                                              : " needs a file name");
        }
    }
    return options.help ? "" : CheckOptions(options);
}

int UsageError(const std::string& problem) {
    std::cerr << "translaters-report: " << problem << "\n" << USAGE;
    return EXIT_USAGE;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return !file.fail();
}

int ReportBrokenLog(const logcheck::Result& result) {
    std::cerr << "translaters-report: the log breaks the program's rules ("
              << result.findings.size() << " finding" << (result.findings.size() == 1 ? "" : "s")
              << "), so no report is made:\n"
              << logcheck::FormatFindings(result);
    return EXIT_BROKEN_LOG;
}

// Joins the trace at path with the log and adds its times to the model;
// returns the exit status if that fails, else 0.
int AddTraceFile(const std::string& path, const std::string& log, report::RunModel& model) {
    std::string text;
    std::string why;
    if (!logcheck::ReadFile(path, text, &why)) {
        std::cerr << "translaters-report: cannot read " << path << ": " << why << "\n";
        return EXIT_USAGE;
    }
    runtrace::Trace trace;
    std::string problem = runtrace::ParseTrace(text, trace, model.summary.sizes);
    if (problem.empty()) {
        problem = runtrace::JoinLog(log, trace);
    }
    if (problem.empty()) {
        problem = report::AddTrace(trace, model);
    }
    if (!problem.empty()) {
        std::cerr << "translaters-report: the trace " << path
                  << " does not fit the log, so no report is made:\n"
                  << problem << "\n";
        return EXIT_BROKEN_LOG;
    }
    return 0;
}

// Writes the table to standard output and the files asked for; returns the
// exit status.
int WriteReport(const Options& options, const report::RunModel& model) {
    if (options.format == "tsv") {
        report::WriteRecords(model, std::cout);
    } else {
        report::PrintReport(model, std::cout);
    }
    if (!std::cout.flush()) {
        std::cerr << "translaters-report: cannot write the report to standard output\n";
        return EXIT_USAGE;
    }
    const std::string svg = options.svg_path.empty() ? ""
                            : options.axis == "time" ? report::TimeAxisSvg(model)
                                                     : report::TimelineSvg(model);
    for (const auto& [path, text] :
         {std::make_pair(options.svg_path, svg),
          std::make_pair(options.perfetto_path,
                         options.perfetto_path.empty() ? "" : report::PerfettoJson(model))}) {
        if (!path.empty() && !WriteFile(path, text)) {
            std::cerr << "translaters-report: cannot write " << path << "\n";
            return EXIT_USAGE;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string problem = ParseArguments(argc, argv, options);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    if (options.help) {
        std::string help = HELP;
        help.replace(help.find("%SIZES%"), 7, logcheck::SizeOptionsHelp());
        std::cout << USAGE << help;
        return 0;
    }
    if (isatty(STDIN_FILENO) != 0) {
        return UsageError("the log is read from standard input, which is a terminal");
    }
    std::string log;
    std::string why;
    if (!logcheck::ReadWhole(STDIN_FILENO, log, why)) {
        std::cerr << "translaters-report: cannot read standard input: " << why << "\n";
        return EXIT_USAGE;
    }
    if (log.empty()) {
        return UsageError("standard input is empty: no log to report on");
    }
    // A log piped in has no standard error or exit status beside it.
    const logcheck::Result result = logcheck::CheckRun(log, "", 0, options.sizes);
    if (!result.Clean()) {
        return ReportBrokenLog(result);
    }
    report::RunModel model = report::ModelFromLog(result.summary);
    if (!options.trace_path.empty()) {
        const int status = AddTraceFile(options.trace_path, log, model);
        if (status != 0) {
            return status;
        }
    }
    return WriteReport(options, model);
}
