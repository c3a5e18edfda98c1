// translaters-check: checks one saved run of the translaters program.
//
//   translaters-check [--failed-at N | --stopped | --cut] STDOUT_FILE STDERR_FILE EXIT_STATUS
//
// Prints one line per broken rule and exits 1 if there is any, 0 for a clean
// run, 2 for a usage error. --failed-at N checks a run whose Nth thread
// creation failed (1-3 translaters, 4-33 clients); --stopped one that a
// failure ended at any point; --cut one whose log was cut after some byte
// (a file size limit, a reader that went away).
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "log_checker.h"

namespace {

const int EXIT_USAGE = 2;

bool ParseInt(const std::string& text, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < -1 || parsed > 255) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

int Usage() {
    std::cerr << "usage: translaters-check [--failed-at N | --stopped | --cut] STDOUT_FILE "
                 "STDERR_FILE EXIT_STATUS\n";
    return EXIT_USAGE;
}

// How the run is to be checked: by its option, if any.
struct Mode {
    int failed_at = 0;
    bool stopped = false;
    bool cut = false;
};

logcheck::Result CheckAs(const Mode& mode, const std::string& out, const std::string& err,
                         int exit_status) {
    if (mode.failed_at != 0) {
        return logcheck::CheckFailedRun(out, err, exit_status, mode.failed_at);
    }
    if (mode.stopped) {
        return logcheck::CheckStoppedRun(out, err, exit_status);
    }
    return mode.cut ? logcheck::CheckCutRun(out, err, exit_status)
                    : logcheck::CheckRun(out, err, exit_status);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    Mode mode;
    const std::string option = argc > 1 ? argv[1] : "";
    if (option == "--failed-at") {
        if (argc < 3 || !ParseInt(argv[2], mode.failed_at) || mode.failed_at < 1 ||
            mode.failed_at > logcheck::NUM_CREATIONS) {
            return Usage();
        }
        first = 3;
    } else if (option == "--stopped" || option == "--cut") {
        mode.stopped = option == "--stopped";
        mode.cut = option == "--cut";
        first = 2;
    }
    if (argc - first != 3) {
        return Usage();
    }
    std::string out;
    std::string err;
    int exit_status = 0;
    if (!logcheck::ReadFile(argv[first], out) || !logcheck::ReadFile(argv[first + 1], err)) {
        std::cerr << "translaters-check: cannot read " << argv[first] << " or " << argv[first + 1]
                  << "\n";
        return EXIT_USAGE;
    }
    if (!ParseInt(argv[first + 2], exit_status)) {
        return Usage();
    }
    const logcheck::Result result = CheckAs(mode, out, err, exit_status);
    if (!result.Clean()) {
        std::cout << logcheck::FormatFindings(result, result.findings.size());
        return 1;
    }
    std::cout << "clean: " << result.summary.line_count << " lines, " << result.summary.jobs.size()
              << " jobs, " << result.summary.turned_away.size() << " clients turned away\n";
    return 0;
}
