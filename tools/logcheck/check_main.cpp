// translaters-check: checks one saved run of the translaters program.
//
//   translaters-check [--failed-at N] STDOUT_FILE STDERR_FILE EXIT_STATUS
//
// Prints one line per broken rule and exits 1 if there is any, 0 for a clean
// run, 2 for a usage error. --failed-at N checks a run whose Nth thread
// creation failed (1-3 translaters, 4-33 clients).
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "log_checker.h"

namespace {

const int EXIT_USAGE = 2;

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

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
    std::cerr << "usage: translaters-check [--failed-at N] STDOUT_FILE STDERR_FILE EXIT_STATUS\n";
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    int failed_at = 0;
    if (argc > 1 && std::string(argv[1]) == "--failed-at") {
        if (argc < 3 || !ParseInt(argv[2], failed_at) || failed_at < 1 ||
            failed_at > logcheck::NUM_CREATIONS) {
            return Usage();
        }
        first = 3;
    }
    if (argc - first != 3) {
        return Usage();
    }
    std::string out;
    std::string err;
    int exit_status = 0;
    if (!ReadFile(argv[first], out) || !ReadFile(argv[first + 1], err)) {
        std::cerr << "translaters-check: cannot read " << argv[first] << " or " << argv[first + 1]
                  << "\n";
        return EXIT_USAGE;
    }
    if (!ParseInt(argv[first + 2], exit_status)) {
        return Usage();
    }
    const logcheck::Result result =
        failed_at == 0 ? logcheck::CheckRun(out, err, exit_status)
                       : logcheck::CheckFailedRun(out, err, exit_status, failed_at);
    if (!result.Clean()) {
        std::cout << logcheck::FormatFindings(result, result.findings.size());
        return 1;
    }
    std::cout << "clean: " << result.summary.line_count << " lines, " << result.summary.jobs.size()
              << " jobs, " << result.summary.turned_away.size() << " clients turned away\n";
    return 0;
}
