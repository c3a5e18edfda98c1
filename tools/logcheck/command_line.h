// What translaters-check and translaters-report share as command-line tools,
// the GNU way: --help and --version anywhere on the line, "--name value" and
// "--name=value", "--" to end the options, "-" for standard input, options
// before or after the operands; exit statuses as the shell gives them; and
// output whose failure to be written is an error with its reason.
#ifndef TRANSLATERS_TOOLS_LOGCHECK_COMMAND_LINE_H
#define TRANSLATERS_TOOLS_LOGCHECK_COMMAND_LINE_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log_lines.h"
#include "status.h"

namespace command_line {

// The exit statuses of both readers, and of nothing else.
const int EXIT_BROKEN = 1;  // the run, log or trace breaks the program's rules
const int EXIT_USAGE = 2;   // a usage error, or a file that cannot be read or written

// An option a tool takes: its long name ("--svg") and whether it takes a value.
struct OptionForm {
    const char* name;
    bool takes_value;
};

struct Arguments {
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" if none)
    std::vector<std::string> operands;                         // "-" stands for standard input
};

// What the command line asks of a tool before anything else: --help or -h,
// --version, or neither. Answered whatever else the line holds, but not when
// it comes after "--".
enum class Request { kNone, kHelp, kVersion };
Request FindRequest(int argc, char** argv);

// Reads argv into options and operands, the options being forms' and the size
// options, which every reader takes; the error is an unknown option, a value
// missing, or given to an option that takes none. A word that begins
// with "-" and a digit is an operand (a number, such as the exit status -1).
logcheck::CStatus Parse(int argc, char** argv, const std::vector<OptionForm>& forms,
                        Arguments& arguments);

// Answers --help (usage, then help with the size options' lines in place of
// its %SIZES%) or --version ("TOOL (translaters) VERSION") on standard
// output; the exit status: 0, or EXIT_USAGE, with the reason on standard
// error, if it cannot be written.
int Answer(Request request, const char* tool, const char* usage, const char* help);

// Whether name is one of the size options (--translaters, --clients,
// --max-chars); SetSizeOption sets that size from value.
bool IsSizeOption(const std::string& name);
logcheck::CStatus SetSizeOption(const std::string& name, const std::string& value,
                                logcheck::Sizes& sizes);

// An exit status as the shell and tools/trace give it: a number from 0 to
// 255, 128 + N for a process that signal N ended, or the signal's name
// (SIGPIPE or PIPE, in either case), read as 128 + N; -1 also stands for a
// process that some signal ended. False if text is none of these.
bool ParseExitStatus(const std::string& text, int& status);

// The name (SIGPIPE) of the signal an exit status of 128 + N stands for; ""
// for a status that stands for none.
std::string SignalOfStatus(int status);

// The name of an operand in messages: the path, or "<stdin>" for "-".
std::string DisplayName(const std::string& operand);
extern const char STDIN_NAME[];

// Reads an operand whole: the file, or standard input for "-".
logcheck::CStatusOr<std::string> ReadOperand(const std::string& operand);

// Writes text whole to the file descriptor.
logcheck::CStatus WriteAll(int fd, std::string_view text);

// Writes text to the file at path, created or emptied.
logcheck::CStatus WriteNewFile(const std::string& path, std::string_view text);

// Writes text to standard output and closes it, so that a write that fails
// late (a full disk, a network file system) is seen too.
logcheck::CStatus FinishStdout(std::string_view text);
// FinishStdout for a tool's last output: status, or EXIT_USAGE with the reason
// on standard error ("TOOL: cannot write standard output: ...") if it fails.
int Finish(const char* tool, std::string_view text, int status);

}  // namespace command_line

#endif  // TRANSLATERS_TOOLS_LOGCHECK_COMMAND_LINE_H
