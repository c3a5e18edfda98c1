// translaters-check: checks one saved run of the translaters program, as its
// USAGE and HELP below say. The one cause that explains the findings is
// diagnosis.h's, the records of --format tsv are records.h's.
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "diagnosis.h"
#include "log_checker.h"
#include "records.h"

namespace {

using command_line::EXIT_BROKEN;
using command_line::EXIT_USAGE;
using logcheck::CStatus;

const char USAGE[] =
    "usage: translaters-check [--failed-at N | --stopped | --cut] [--format human|tsv]\n"
    "                         [--translaters N] [--clients N] [--max-chars N]\n"
    "                         STDOUT_FILE STDERR_FILE EXIT_STATUS\n";

const char HELP[] =
    "\n"
    "Checks a saved run of the translaters program, its standard output (the log),\n"
    "standard error and exit status, against the rules every run keeps however\n"
    "its threads were scheduled. Either file may be - for standard input.\n"
    "\n"
    "EXIT_STATUS is the program's, as the shell gives it: 0 to 255, 128 + N for a\n"
    "run that signal N ended (141 for SIGPIPE), or the signal's name (SIGPIPE or\n"
    "PIPE); -1 also stands for a run that some signal ended. After a pipeline,\n"
    "bash gives the program's status in ${PIPESTATUS[0]}, not in $?.\n"
    "\n"
    "The kind of run (at most one; none: a normal run, exit status 0 and nothing\n"
    "on standard error):\n"
    "  --failed-at N   the Nth thread creation failed (the translaters are created\n"
    "                  first, then the clients): exit status 1, \"Unable to create\n"
    "                  thread\" on standard error, only the threads created before\n"
    "                  it in the log\n"
    "  --stopped       a failure ended the run at any point (a thread creation, an\n"
    "                  allocation): exit status 1, \"Unable to create thread\" or\n"
    "                  \"Unknown exception occured!\" on standard error, and a log\n"
    "                  that is a legal beginning of a run\n"
    "  --cut           the log was cut after some byte, by a reader that went away\n"
    "                  or a file size limit: exit status 141 (SIGPIPE) or 153\n"
    "                  (SIGXFSZ) and nothing on standard error, or, with those\n"
    "                  signals ignored, 1 and \"Unable to write the log to standard\n"
    "                  output\"; the log a legal beginning, its last line cut anywhere\n"
    "\n"
    "  --format tsv    write the verdict as records for scripts on standard output,\n"
    "                  a stable form (see the manual page); --format human, the\n"
    "                  default, writes lines for people\n"
    "  --help, -h      show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "The run comes from a build of this checker's sizes unless these say otherwise:\n"
    "%SIZES%"
    "\n"
    "An option's value may follow it (--clients 200) or an = (--clients=200);\n"
    "-- ends the options.\n"
    "\n"
    "Output: for a clean run, one line of totals on standard output. Otherwise, on\n"
    "standard error, a line per broken rule, \"FILE:LINE: [rule] message\" (FILE the\n"
    "log, <stdin> for standard input) or \"run: [rule] message\" for the run as a\n"
    "whole; of findings alike, the first three, and a count of the rest. When one\n"
    "cause explains them all (an empty log, CR LF line ends, a run of another kind\n"
    "or of a build of other sizes), one line names it and the options to pass.\n"
    "\n"
    "Exit status: 0 the run keeps every rule; 1 it breaks one at least; 2 a usage\n"
    "error, a file that cannot be read, or a verdict that cannot be written.\n"
    "\n"
    "Examples:\n"
    "  translaters > out 2> err; translaters-check out err $?\n"
    "  translaters 2> err | head -c 5000 > out\n"
    "  translaters-check --cut out err ${PIPESTATUS[0]}\n";

// Its options besides the size options, which every reader takes.
const std::vector<command_line::OptionForm> OPTIONS = {
    {"--failed-at", true}, {"--stopped", false}, {"--cut", false}, {"--format", true}};

// How the run is to be checked.
struct Mode {
    logcheck::RunType type;
    bool tsv = false;
    logcheck::Sizes sizes;
    std::vector<std::string> operands;  // stdout file, stderr file, exit status
};

int Usage(const std::string& problem) {
    std::cerr << "translaters-check: " << problem << "\n"
              << USAGE << "Try 'translaters-check --help' for more information.\n";
    return EXIT_USAGE;
}

// Reads the command line.
CStatus ParseOptions(int argc, char** argv, Mode& mode) {
    command_line::Arguments arguments;
    RETURN_IF_ERROR(command_line::Parse(argc, argv, OPTIONS, arguments));
    std::string failed_at;
    for (const auto& [name, value] : arguments.options) {
        if (command_line::IsSizeOption(name)) {
            RETURN_IF_ERROR(command_line::SetSizeOption(name, value, mode.sizes));
        } else if (name == "--failed-at") {
            failed_at = value;
        } else if (name == "--stopped" || name == "--cut") {
            (name == "--stopped" ? mode.type.stopped : mode.type.cut) = true;
        } else if (value != "human" && value != "tsv") {
            return CStatus::Error("unknown format '" + value + "': human or tsv");
        } else {
            mode.tsv = value == "tsv";
        }
    }
    if (!failed_at.empty()) {
        char* end = nullptr;
        const long at = std::strtol(failed_at.c_str(), &end, 10);
        if (*end != '\0' || at < 1 || at > mode.sizes.Creations()) {
            return CStatus::Error("--failed-at needs a creation from 1 to " +
                                  std::to_string(mode.sizes.Creations()));
        }
        mode.type.failed_at = static_cast<int>(at);
    }
    if ((mode.type.failed_at != 0) + mode.type.stopped + mode.type.cut > 1) {
        return CStatus::Error(
            "--failed-at, --stopped and --cut are each a kind of run: give one at most");
    }
    mode.operands = arguments.operands;
    if (mode.operands.size() != 3) {
        return CStatus::Error("three arguments are needed: STDOUT_FILE STDERR_FILE EXIT_STATUS");
    }
    if (mode.operands[0] == "-" && mode.operands[1] == "-") {
        return CStatus::Error("standard input can stand for one of the files only");
    }
    return {};
}

// Writes text on standard output; the exit status, 2 if it cannot be written.
int Finish(const std::string& text, int status) {
    return command_line::Finish("translaters-check", text, status);
}

// Reads the run's files and exit status; returns the exit status if that
// fails, else 0.
int ReadRun(const Mode& mode, std::string& out, std::string& err, int& exit_status) {
    for (const auto& [operand, text] :
         {std::make_pair(mode.operands[0], &out), std::make_pair(mode.operands[1], &err)}) {
        auto read = command_line::ReadOperand(operand);
        if (!read.Ok()) {
            std::cerr << "translaters-check: cannot read " << command_line::DisplayName(operand)
                      << ": " << read.Message() << "\n";
            return EXIT_USAGE;
        }
        *text = std::move(read.Value());
    }
    if (!command_line::ParseExitStatus(mode.operands[2], exit_status)) {
        return Usage("the exit status '" + mode.operands[2] +
                     "' is none: a number from 0 to 255 (128 + N for a run that signal N "
                     "ended, -1 for some signal) or a signal's name, such as SIGPIPE");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const command_line::Request request = command_line::FindRequest(argc, argv);
    if (request != command_line::Request::kNone) {
        return command_line::Answer(request, "translaters-check", USAGE, HELP);
    }
    Mode mode;
    if (const CStatus parsed = ParseOptions(argc, argv, mode); !parsed.Ok()) {
        return Usage(parsed.Message());
    }
    std::string out;
    std::string err;
    int exit_status = 0;
    if (const int read_status = ReadRun(mode, out, err, exit_status); read_status != 0) {
        return read_status;
    }
    const logcheck::Result result = logcheck::Check(mode.type, out, err, exit_status, mode.sizes);
    if (result.Clean()) {
        if (mode.tsv) {
            std::ostringstream records;
            records::WriteHeader(records, records::RUN, false);
            records::WriteRecord(records, records::RUN, false, records::RunFields(result.summary));
            return Finish(records.str(), 0);
        }
        return Finish(logcheck::Str("clean: ", result.summary.line_count, " lines, ",
                                    result.summary.jobs.size(), " jobs, ",
                                    result.summary.turned_away.size(), " clients turned away\n"),
                      0);
    }
    const std::string log_name = command_line::DisplayName(mode.operands[0]);
    const logcheck::Diagnosis diagnosis = logcheck::Diagnose(
        logcheck::CheckedRun{mode.type, out, err, exit_status, mode.sizes, result},
        logcheck::Advice{log_name, true});
    logcheck::Result shown = result;
    if (diagnosis.use == logcheck::Diagnosis::Use::kInstead) {
        shown.findings = {diagnosis.finding};
    } else if (diagnosis.use == logcheck::Diagnosis::Use::kAfter) {
        shown.findings.push_back(diagnosis.finding);
    }
    if (mode.tsv) {
        std::ostringstream records;
        records::WriteFindings(records, shown);
        return Finish(records.str(), EXIT_BROKEN);
    }
    std::cerr << logcheck::FormatFindings(shown, shown.findings.size(), log_name);
    return EXIT_BROKEN;
}
