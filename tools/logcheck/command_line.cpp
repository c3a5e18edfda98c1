#include "command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "log_checker.h"
#include "version.h"

namespace command_line {

const char STDIN_NAME[] = "<stdin>";

namespace {

const std::vector<OptionForm> SIZE_OPTIONS = {
    {"--translaters", true}, {"--clients", true}, {"--max-chars", true}};

// The lines of --help that describe the size options.
std::string SizeOptionsHelp() {
    const logcheck::Sizes built;
    return "  --translaters N  a build with N translaters (this build's: " +
           std::to_string(built.translaters) +
           ")\n"
           "  --clients N      ... with N clients (this build's: " +
           std::to_string(built.clients) +
           ")\n"
           "  --max-chars N    ... whose jobs are 1 to N letters (this build's: " +
           std::to_string(built.max_chars) + ")\n";
}

// usage, then help with the size options' lines in place of its %SIZES%.
std::string HelpText(const char* usage, const char* help) {
    const std::string placeholder = "%SIZES%";
    std::string text = std::string(usage) + help;
    return text.replace(text.find(placeholder), placeholder.size(), SizeOptionsHelp());
}

// The form of the option called name among forms, or nullptr.
const OptionForm* FindForm(const std::vector<OptionForm>& forms, const std::string& name) {
    const auto form = std::find_if(forms.begin(), forms.end(),
                                   [&](const OptionForm& f) { return name == f.name; });
    return form != forms.end() ? &*form : nullptr;
}

// The shell reports a process that signal N ended as 128 + N.
const int SIGNAL_STATUS_BASE = 128;

struct SignalName {
    const char* name;  // without "SIG"
    int number;
};

// The signals that end a process by default, by their POSIX names.
const SignalName SIGNALS[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},       {"QUIT", SIGQUIT}, {"ILL", SIGILL},
    {"TRAP", SIGTRAP}, {"ABRT", SIGABRT},     {"BUS", SIGBUS},   {"FPE", SIGFPE},
    {"KILL", SIGKILL}, {"USR1", SIGUSR1},     {"SEGV", SIGSEGV}, {"USR2", SIGUSR2},
    {"PIPE", SIGPIPE}, {"ALRM", SIGALRM},     {"TERM", SIGTERM}, {"XCPU", SIGXCPU},
    {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"SYS", SIGSYS},
};

Request RequestOf(const std::string& arg) {
    return arg == "--help" || arg == "-h" ? Request::kHelp
           : arg == "--version"           ? Request::kVersion
                                          : Request::kNone;
}

}  // namespace

Request FindRequest(int argc, char** argv) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (const Request request = RequestOf(argv[i]); request != Request::kNone) {
            return request;
        }
    }
    return Request::kNone;
}

logcheck::CStatus Parse(int argc, char** argv, const std::vector<OptionForm>& forms,
                        Arguments& arguments) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool number = arg.size() > 1 && std::isdigit(static_cast<unsigned char>(arg[1]));
        if (options_ended || arg == "-" || arg.empty() || arg[0] != '-' || number) {
            arguments.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (RequestOf(arg) != Request::kNone) {
            continue;  // answered before parsing, by FindRequest
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionForm* form = FindForm(forms, name);
        if (form == nullptr) {
            form = FindForm(SIZE_OPTIONS, name);
        }
        if (form == nullptr) {
            return logcheck::CStatus::Error("unknown option " + name);
        }
        if (!form->takes_value) {
            if (equals != std::string::npos) {
                return logcheck::CStatus::Error(name + " takes no value");
            }
            arguments.options.emplace_back(name, "");
        } else if (equals != std::string::npos) {
            arguments.options.emplace_back(name, arg.substr(equals + 1));
        } else if (i + 1 < argc) {
            arguments.options.emplace_back(name, argv[++i]);
        } else {
            return logcheck::CStatus::Error(name + " needs a value");
        }
    }
    return {};
}

int Answer(Request request, const char* tool, const char* usage, const char* help) {
    return Finish(tool,
                  request == Request::kHelp
                      ? HelpText(usage, help)
                      : std::string(tool) + " (translaters) " + translaters_version::VERSION + "\n",
                  0);
}

bool IsSizeOption(const std::string& name) {
    return FindForm(SIZE_OPTIONS, name) != nullptr;
}

logcheck::CStatus SetSizeOption(const std::string& name, const std::string& value,
                                logcheck::Sizes& sizes) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || parsed < 1 ||
        parsed > run_sizes::LARGEST_SIZE) {
        return logcheck::CStatus::Error(name + " needs a whole number from 1 to " +
                                        std::to_string(run_sizes::LARGEST_SIZE));
    }
    (name == "--translaters" ? sizes.translaters
     : name == "--clients"   ? sizes.clients
                             : sizes.max_chars) = static_cast<int>(parsed);
    return {};
}

bool ParseExitStatus(const std::string& text, int& status) {
    std::string name = text;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    if (name.rfind("SIG", 0) == 0) {
        name.erase(0, 3);
    }
    const auto* const named = std::find_if(std::begin(SIGNALS), std::end(SIGNALS),
                                           [&](const SignalName& s) { return name == s.name; });
    if (named != std::end(SIGNALS)) {
        status = SIGNAL_STATUS_BASE + named->number;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || parsed < -1 || parsed > 255) {
        return false;
    }
    status = static_cast<int>(parsed);
    return true;
}

std::string SignalOfStatus(int status) {
    const auto* const named =
        std::find_if(std::begin(SIGNALS), std::end(SIGNALS),
                     [&](const SignalName& s) { return status == SIGNAL_STATUS_BASE + s.number; });
    return named != std::end(SIGNALS) ? std::string("SIG") + named->name : "";
}

std::string DisplayName(const std::string& operand) {
    return operand == "-" ? STDIN_NAME : operand;
}

logcheck::CStatusOr<std::string> ReadOperand(const std::string& operand) {
    return operand == "-" ? logcheck::ReadWhole(STDIN_FILENO) : logcheck::ReadFile(operand);
}

logcheck::CStatus WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        // cppcheck 2.10 takes text, a view of Answer's string, for one whose
        // string is gone: a false alarm, that string outlives this call.
        // cppcheck-suppress invalidLifetime
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return logcheck::CStatus::FromErrno(written < 0 ? errno : EIO);
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

logcheck::CStatus WriteNewFile(const std::string& path, std::string_view text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return logcheck::CStatus::FromErrno(errno);
    }
    logcheck::CStatus written = WriteAll(fd, text);
    if (close(fd) != 0 && written.Ok()) {
        return logcheck::CStatus::FromErrno(errno);
    }
    return written;
}

logcheck::CStatus FinishStdout(std::string_view text) {
    RETURN_IF_ERROR(WriteAll(STDOUT_FILENO, text));
    if (close(STDOUT_FILENO) != 0 && errno != EINTR) {
        return logcheck::CStatus::FromErrno(errno);
    }
    return {};
}

int Finish(const char* tool, std::string_view text, int status) {
    if (const logcheck::CStatus written = FinishStdout(text); !written.Ok()) {
        std::cerr << tool << ": cannot write standard output: " << written.Message() << "\n";
        return EXIT_USAGE;
    }
    return status;
}

}  // namespace command_line
