// translaters-check: checks one saved run of the translaters program.
//
//   translaters-check [--failed-at N | --stopped | --cut] [--format human|tsv]
//                     [SIZE OPTIONS] STDOUT_FILE STDERR_FILE EXIT_STATUS
//
// Prints one line per broken rule on standard error and exits 1 if there is
// any; prints a line of totals and exits 0 for a clean run; 2 for a usage
// error or a file that cannot be read. --failed-at N checks a run whose Nth thread
// creation failed (the translaters first, then the clients); --stopped one
// that a failure ended at any point; --cut one whose log was cut after some
// byte (a file size limit, a reader that went away). The run is one of this
// build's sizes unless the size options say otherwise. --format tsv writes
// the totals, or the broken rules, as records for scripts (records.h) on
// standard output instead.
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>

#include "log_checker.h"
#include "records.h"

namespace {

const int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: translaters-check [--failed-at N | --stopped | --cut] [--format human|tsv]\n"
    "                         [--translaters N] [--clients N] [--max-chars N]\n"
    "                         STDOUT_FILE STDERR_FILE EXIT_STATUS\n";

// How the run is to be checked.
struct Mode {
    int failed_at = 0;
    bool stopped = false;
    bool cut = false;
    bool tsv = false;
    logcheck::Sizes sizes;
};

bool ParseInt(const std::string& text, long low, long high, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

int Usage(const std::string& problem) {
    std::cerr << "translaters-check: " << problem << "\n" << USAGE;
    return EXIT_USAGE;
}

// Reads the options; returns "" or what is wrong, and the index of the first
// file in first.
std::string ParseOptions(int argc, char** argv, Mode& mode, int& first) {
    std::string failed_at;
    for (first = 1; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        const std::string option = argv[first];
        std::string problem;
        if (logcheck::TakeSizeOption(argc, argv, first, mode.sizes, problem)) {
            if (!problem.empty()) {
                return problem;
            }
        } else if (option == "--failed-at" && first + 1 < argc) {
            failed_at = argv[++first];
        } else if (option == "--stopped" || option == "--cut") {
            (option == "--stopped" ? mode.stopped : mode.cut) = true;
        } else if (option == "--format" && first + 1 < argc) {
            const std::string format = argv[++first];
            if (format != "human" && format != "tsv") {
                return "unknown format '" + format + "': human or tsv";
            }
            mode.tsv = format == "tsv";
        } else {
            return "unknown option " + option;
        }
    }
    if (!failed_at.empty() && !ParseInt(failed_at, 1, mode.sizes.Creations(), mode.failed_at)) {
        return "--failed-at needs a creation from 1 to " + std::to_string(mode.sizes.Creations());
    }
    if ((mode.failed_at != 0) + mode.stopped + mode.cut > 1) {
        return "--failed-at, --stopped and --cut are each a kind of run: give one at most";
    }
    return argc - first == 3 ? "" : "three arguments are needed after the options";
}

logcheck::Result CheckAs(const Mode& mode, const std::string& out, const std::string& err,
                         int exit_status) {
    if (mode.failed_at != 0) {
        return logcheck::CheckFailedRun(out, err, exit_status, mode.failed_at, mode.sizes);
    }
    if (mode.stopped) {
        return logcheck::CheckStoppedRun(out, err, exit_status, mode.sizes);
    }
    return mode.cut ? logcheck::CheckCutRun(out, err, exit_status, mode.sizes)
                    : logcheck::CheckRun(out, err, exit_status, mode.sizes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << USAGE
                  << "\nChecks a saved run of the translaters program: its standard "
                     "output, standard error and exit status.\n--format tsv writes the "
                     "verdict as records for scripts, in a stable form (see\nthe manual "
                     "page).\n\n"
                  << logcheck::SizeOptionsHelp();
        return 0;
    }
    Mode mode;
    int first = 1;
    const std::string problem = ParseOptions(argc, argv, mode, first);
    if (!problem.empty()) {
        return Usage(problem);
    }
    std::string out;
    std::string err;
    int exit_status = 0;
    for (const auto& [path, text] :
         {std::make_pair(argv[first], &out), std::make_pair(argv[first + 1], &err)}) {
        std::string why;
        if (!logcheck::ReadFile(path, *text, &why)) {
            std::cerr << "translaters-check: cannot read " << path << ": " << why << "\n";
            return EXIT_USAGE;
        }
    }
    if (!ParseInt(argv[first + 2], -1, 255, exit_status)) {
        return Usage("the exit status is a number from -1 (killed by a signal) to 255");
    }
    const logcheck::Result result = CheckAs(mode, out, err, exit_status);
    if (mode.tsv) {
        if (result.Clean()) {
            records::WriteHeader(std::cout, records::RUN, false);
            records::WriteRecord(std::cout, records::RUN, false,
                                 records::RunFields(result.summary));
        } else {
            records::WriteFindings(std::cout, result);
        }
        return result.Clean() ? 0 : 1;
    }
    if (!result.Clean()) {
        std::cerr << logcheck::FormatFindings(result, result.findings.size());
        return 1;
    }
    std::cout << "clean: " << result.summary.line_count << " lines, " << result.summary.jobs.size()
              << " jobs, " << result.summary.turned_away.size() << " clients turned away\n";
    return 0;
}
