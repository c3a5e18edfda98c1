#include "diagnosis.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "command_line.h"

namespace logcheck {

namespace {

// The rules of the diagnoses' findings: what the log looks like.
const char EMPTY_LOG[] = "empty-log";
const char CRLF_LOG[] = "crlf-log";
const char CUT_LOG[] = "cut-log";          // a run cut short, checked as another kind
const char STOPPED_RUN[] = "stopped-run";  // a run a failure ended, checked as another
const char OTHER_SIZES[] = "other-sizes";

bool IsNormal(const RunType& type) {
    return type.failed_at == 0 && !type.stopped && !type.cut;
}

bool SameSizes(const Sizes& a, const Sizes& b) {
    return a.translaters == b.translaters && a.clients == b.clients && a.max_chars == b.max_chars;
}

// The findings about the log itself, not its exit status or standard error.
std::size_t LogFindings(const Result& result) {
    return static_cast<std::size_t>(
        std::count_if(result.findings.begin(), result.findings.end(), [](const Finding& finding) {
            return finding.rule != "exit-status" && finding.rule != "stderr";
        }));
}

bool HasFormatFindings(const Result& result) {
    return std::any_of(result.findings.begin(), result.findings.end(),
                       [](const Finding& finding) { return finding.rule == "format"; });
}

// Calls visit(number, text) for each line of the log, its newline left out.
template <typename Visit>
void ForEachLine(std::string_view out, Visit visit) {
    int number = 0;
    for (std::size_t begin = 0; begin < out.size();) {
        const std::size_t newline = std::min(out.find('\n', begin), out.size());
        visit(++number, out.substr(begin, newline - begin));
        begin = newline + 1;
    }
}

// What the log's lines name, read whatever the sizes: the least sizes that fit.
struct Named {
    int translaters = 0;  // the highest translater ID + 1; 0 if none is named
    int clients = 0;
    int longest_job = 0;  // letters
};

Named ScanNamed(std::string_view out) {
    Named named;
    std::map<int, int> sent;  // letters by client
    ForEachLine(out, [&](int, std::string_view text) {
        Line line;
        if (!ParseLine(text, line)) {
            return;
        }
        named.translaters = std::max(named.translaters, line.translater + 1);
        named.clients = std::max(named.clients, line.client + 1);
        if (line.kind == LineKind::kJobEnds || line.kind == LineKind::kClientSended) {
            named.longest_job = std::max(named.longest_job, line.count);
        } else if (line.kind == LineKind::kClientSends) {
            named.longest_job = std::max(named.longest_job, ++sent[line.client]);
        }
    });
    return named;
}

// A run of another type than the one checked for, and what tells it.
struct OtherType {
    bool found = false;
    RunType type;
    std::string what;
    int line = 0;
    std::string aside;  // after the options
};

OtherType FindOtherType(const CheckedRun& run, const Advice& advice) {
    const RunType& given = run.type;
    OtherType other;
    other.found = true;
    other.type.cut = true;
    const std::string signal = command_line::SignalOfStatus(run.exit_status);
    const bool failed = run.exit_status == 1;
    if (advice.run_types && !given.cut && (signal == "SIGPIPE" || signal == "SIGXFSZ")) {
        other.what = Str(signal, " ended the program (exit status ", run.exit_status, "): ",
                         signal == "SIGPIPE" ? "the reader of its output went away"
                                             : "a file size limit stopped its log",
                         ", so its log is cut");
        return other;
    }
    if (advice.run_types && !given.cut && failed && run.err == WRITE_FAILED_TEXT) {
        other.what = "standard error says the log could not be written, so it is cut";
        return other;
    }
    other.type = RunType{0, true, false};
    if (advice.run_types && (IsNormal(given) || given.cut) && failed &&
        run.err == CREATE_FAILED_TEXT) {
        other.what = "standard error says a thread creation failed";
        other.aside = " (or --failed-at N, when N, the creation that failed, is known)";
        return other;
    }
    if (advice.run_types && !given.stopped && failed && run.err == UNKNOWN_EXCEPTION_TEXT) {
        other.what = "standard error says a failure stopped the run";
        return other;
    }
    // A last line without its newline that begins some line of the program.
    const std::size_t last = run.out.rfind('\n') + 1;  // 0 when there is no newline
    const Sizes any{run_sizes::LARGEST_SIZE, run_sizes::LARGEST_SIZE, run_sizes::LARGEST_SIZE,
                    run_sizes::LARGEST_SIZE};
    if (!given.cut && last < run.out.size() &&
        IsLineBeginning(std::string_view(run.out).substr(last), any)) {
        other.type = RunType{0, false, true};
        other.what =
            "the last line has no newline: the log was cut short (by a reader that "
            "went away, or a file size limit)";
        other.line = static_cast<int>(std::count(run.out.begin(), run.out.end(), '\n')) + 1;
        if (advice.run_types && run.exit_status == 0) {
            other.aside =
                ", and the program's own exit status (${PIPESTATUS[0]} after a pipe "
                "in bash; $? is the last command's)";
        }
        return other;
    }
    other.found = false;
    return other;
}

// The sizes that fit the log better than the given ones, for a run of this
// type: for a normal run, where every thread writes, exactly those its lines
// name when the log is clean at them; else, where its lines name more, the
// least that take them, when the log then breaks fewer rules.
bool FindOtherSizes(const CheckedRun& run, const RunType& type, Sizes& fitting) {
    const Named named = ScanNamed(run.out);
    const Sizes& given = run.sizes;
    Sizes larger = given;
    larger.translaters = std::max(given.translaters, named.translaters);
    larger.clients = std::max(given.clients, named.clients);
    larger.max_chars = std::max(given.max_chars, named.longest_job);
    const auto log_findings = [&](const Sizes& sizes) {
        return LogFindings(Check(type, run.out, run.err, run.exit_status, sizes));
    };
    if (IsNormal(type)) {
        Sizes exact = larger;
        exact.translaters = named.translaters > 0 ? named.translaters : given.translaters;
        exact.clients = named.clients > 0 ? named.clients : given.clients;
        if (!SameSizes(exact, given) && log_findings(exact) == 0) {
            fitting = exact;
            return true;
        }
    }
    if (SameSizes(larger, given)) {
        return false;
    }
    const bool same_type = type.failed_at == run.type.failed_at &&
                           type.stopped == run.type.stopped && type.cut == run.type.cut;
    const std::size_t before = same_type ? LogFindings(run.result) : log_findings(given);
    if (log_findings(larger) < before) {
        fitting = larger;
        return true;
    }
    return false;
}

// "its lines name translaters 0 to 4 and clients 0 to 199" and the options,
// for each size that differs.
void DescribeSizes(const Sizes& given, const Sizes& fitting, std::string& named,
                   std::string& options) {
    std::vector<std::string> parts;
    if (fitting.translaters != given.translaters) {
        parts.push_back(Str("translaters 0 to ", fitting.translaters - 1));
        options += Str(" --translaters ", fitting.translaters);
    }
    if (fitting.clients != given.clients) {
        parts.push_back(Str("clients 0 to ", fitting.clients - 1));
        options += Str(" --clients ", fitting.clients);
    }
    if (fitting.max_chars != given.max_chars) {
        parts.push_back(Str("a job of ", fitting.max_chars, " letters"));
        options += Str(" --max-chars ", fitting.max_chars);
    }
    named = "its lines name ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        named += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    }
}

Diagnosis Instead(const char* rule, int line, const std::string& message) {
    return Diagnosis{Diagnosis::Use::kInstead, Finding{rule, line, message}};
}

// The log's lines, and those of them that end in a carriage return.
struct CrlfCount {
    int lines = 0;
    int crlf = 0;
};

CrlfCount CountCrlf(std::string_view out) {
    CrlfCount count;
    ForEachLine(out, [&](int, std::string_view text) {
        ++count.lines;
        count.crlf += !text.empty() && text.back() == '\r' ? 1 : 0;
    });
    return count;
}

std::string CrlfAdvice(const CrlfCount& count, const Advice& advice) {
    const std::string said =
        Str("the log has CR LF line ends (", count.crlf, " of its ", count.lines,
            " lines end in a carriage return), but the program ends its lines with LF alone: ");
    if (advice.log_name == command_line::STDIN_NAME) {
        return said + "remove them on the way in with tr -d '\\r'";
    }
    return Str(said, "remove them with tr -d '\\r' < ", advice.log_name, " > ", advice.log_name,
               ".lf and read that instead");
}

}  // namespace

Diagnosis Diagnose(const CheckedRun& run, const Advice& advice) {
    if (run.result.Clean()) {
        return {};
    }
    const OtherType other = FindOtherType(run, advice);
    const char* const type_option = other.type.cut ? "--cut" : "--stopped";
    const std::string reader = advice.run_types ? "" : "translaters-check ";
    if (run.out.empty()) {
        return Instead(EMPTY_LOG, 0,
                       other.found ? Str("the log is empty, and ", other.what, "; check it with ",
                                         reader, type_option, other.aside)
                                   : "the log is empty: the program wrote nothing on standard "
                                     "output (is this the file its standard output went to?)");
    }
    // Most of the log's lines end in a carriage return.
    if (const CrlfCount count = CountCrlf(run.out);
        count.crlf > 0 && 2 * count.crlf >= count.lines) {
        return Instead(CRLF_LOG, 0, CrlfAdvice(count, advice));
    }
    Sizes fitting;
    const bool other_sizes = FindOtherSizes(run, other.found ? other.type : run.type, fitting);
    if (other.found || other_sizes) {
        std::string named;
        std::string options = other.found ? Str(" ", type_option) : "";
        if (other_sizes) {
            DescribeSizes(run.sizes, fitting, named, options);
        }
        const std::string sizes_said =
            "looks like a run of a build with other sizes (" + named + ")";
        const std::string what = !other.found  ? "the log " + sizes_said
                                 : other_sizes ? other.what + ", and the log " + sizes_said
                                               : other.what;
        const char* const rule = !other.found     ? OTHER_SIZES
                                 : other.type.cut ? CUT_LOG
                                                  : STOPPED_RUN;
        const std::string whole_runs =
            other.found && !advice.run_types ? "; translaters-report takes a whole run's log" : "";
        return Instead(rule, other.line,
                       Str(what, whole_runs, "; check it with ", other.found ? reader : "",
                           options.substr(1), other.aside));
    }
    // A log that stops at a line's end short of the run's end: a normal run
    // with lines missing at its end, or a run cut short or stopped. Said after
    // the findings, which may be the point.
    if (IsNormal(run.type) && !HasFormatFindings(run.result) &&
        LogFindings(CheckCutRun(run.out, WRITE_FAILED_TEXT, 1, run.sizes)) == 0) {
        return Diagnosis{
            Diagnosis::Use::kAfter,
            Finding{CUT_LOG, 0,
                    Str("the log is a legal beginning of a run that stops short of its end: if "
                        "it was cut or stopped, check it with ",
                        reader, "--cut or --stopped")}};
    }
    return {};
}

}  // namespace logcheck
