// translaters-report: a table and, on request, an SVG timeline of one run of
// the translaters program, read from its log on standard input.
//
//   build/translaters | translaters-report [--svg FILE]
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "log_checker.h"
#include "report.h"

namespace {

const int EXIT_BROKEN_LOG = 1;
const int EXIT_USAGE = 2;

const char USAGE[] = "usage: translaters-report [--svg FILE] < LOG\n";

const char HELP[] =
    "\n"
    "Reads the log of one run of the translaters program (its standard output) on\n"
    "standard input, checks it with the log checker, and prints a table of the jobs\n"
    "(client, translater, letters, first letter line and end-of-job line), of the\n"
    "clients turned away, and the totals.\n"
    "\n"
    "  --svg FILE  also write the run to FILE as an SVG timeline along the log's\n"
    "              line numbers: a lane per translater with a bar per job, the\n"
    "              clients turned away, and the driver's two closing lines\n"
    "  --help      show this help\n"
    "\n"
    "A log read this way comes without the run's standard error and exit status:\n"
    "it is checked as a normal run, as if standard error was empty and the exit\n"
    "status 0. A run whose thread creation failed is not a normal run; check it\n"
    "with translaters-check instead.\n"
    "\n"
    "Exit status: 0 the report is printed; 1 the log breaks a rule of the program:\n"
    "each broken rule is named with its line on standard error and no report is\n"
    "made; 2 a usage error (an empty standard input included), or the report or\n"
    "the SVG file cannot be written.\n"
    "\n"
    "Example: build/translaters | build/tools/report/translaters-report --svg run.svg\n";

struct Options {
    bool help = false;
    std::string svg_path;
};

// Returns "" when the arguments are good, else what is wrong with them.
std::string ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--svg" && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.svg_path = argv[++i];
        } else if (arg == "--svg") {
            return "--svg needs a file name";
        } else {
            return "unknown argument '" + arg + "'";
        }
    }
    return "";
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string problem = ParseArguments(argc, argv, options);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    if (options.help) {
        std::cout << USAGE << HELP;
        return 0;
    }
    if (isatty(STDIN_FILENO) != 0) {
        return UsageError("the log is read from standard input, which is a terminal");
    }
    const std::string log{std::istreambuf_iterator<char>(std::cin),
                          std::istreambuf_iterator<char>()};
    if (log.empty()) {
        return UsageError("standard input is empty: no log to report on");
    }
    // A log piped in has no standard error or exit status beside it.
    const logcheck::Result result = logcheck::CheckRun(log, "", 0);
    if (!result.Clean()) {
        return ReportBrokenLog(result);
    }
    report::PrintReport(result.summary, std::cout);
    if (!std::cout.flush()) {
        std::cerr << "translaters-report: cannot write the report to standard output\n";
        return EXIT_USAGE;
    }
    if (!options.svg_path.empty() &&
        !WriteFile(options.svg_path, report::TimelineSvg(result.summary))) {
        std::cerr << "translaters-report: cannot write " << options.svg_path << "\n";
        return EXIT_USAGE;
    }
    return 0;
}
