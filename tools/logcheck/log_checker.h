// Checks one run of the translaters program: its standard output (the log), its
// standard error and its exit status, against the rules that hold however the
// threads are scheduled. A clean result means no rule is broken; each finding
// names the broken rule, the log line it concerns and what is wrong.
//
// Besides the findings, the result carries what the log says happened (jobs,
// clients turned away, where each thread started and left), so a report can be
// built from it.
#ifndef TRANSLATERS_TOOLS_LOGCHECK_LOG_CHECKER_H
#define TRANSLATERS_TOOLS_LOGCHECK_LOG_CHECKER_H

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "log_lines.h"
#include "status.h"

namespace logcheck {

// Its parts as an ostream writes them, one after the other: the text of a
// finding's message.
template <typename... Parts>
std::string Str(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

struct Finding {
    std::string rule;     // short name of the broken rule, e.g. "job-letters"
    int line = 0;         // 1-based line of standard output; 0 for the run as a whole
    std::string message;  // what is wrong, in words
};

// One client's job: what it sent and where the log shows it.
struct Job {
    int client = -1;
    int translater = -1;
    std::string letters;        // as the client sent them, in order
    int count = 0;              // from the client's summary line, or letters sent if none
    int first_letter_line = 0;  // the client's first "Sending" line
    int summary_line = 0;       // the client's "Sended" line; 0 if missing
    int end_line = 0;           // the translater's end-of-job line; 0 if missing
};

struct TurnedAway {
    int client = -1;
    int line = 0;  // the "All translaters are occupied" line
};

// Where one thread's first and last lines are; 0 if missing.
struct ThreadLines {
    int start_line = 0;
    int leave_line = 0;
};

struct Summary {
    Sizes sizes;  // of the run, as the log was checked
    int line_count = 0;
    std::vector<Job> jobs;                // in order of first letter line
    std::vector<TurnedAway> turned_away;  // in order of line
    // By ID, up to the highest the log names; in a run cut short whose log
    // names a translater of an ID beyond its number of lines, only up to that.
    std::vector<ThreadLines> translaters;
    int all_clients_line = 0;      // "All clients finished"; 0 if missing
    int all_translaters_line = 0;  // "All translaters finished"; 0 if missing
};

struct Result {
    std::vector<Finding> findings;  // in the order the checks found them
    Summary summary;
    bool Clean() const { return findings.empty(); }
};

// Each check reads a run of the given sizes (by default, this build's).
// Its time and memory grow in proportion to the log's length.

// A normal run: exit status 0, nothing on standard error, every thread's lines
// complete. exit_status is as the shell gives it: 128 + N for a process that
// signal N ended; -1 also stands for one that some signal ended.
Result CheckRun(const std::string& out, const std::string& err, int exit_status,
                const Sizes& sizes = Sizes{});

// A run whose fail_create_at-th thread creation (1..sizes.Creations(): the
// translaters in order, then the clients) failed: exit status 1, "Unable to
// create thread" on standard error, no stop, and only threads created before
// the failure in the log, each possibly cut short. Throws
// std::invalid_argument for an out-of-range fail_create_at.
Result CheckFailedRun(const std::string& out, const std::string& err, int exit_status,
                      int fail_create_at, const Sizes& sizes = Sizes{});

// A run that a failure ended at once, at any point (an allocation that failed,
// say, in whichever thread): exit status 1, standard error exactly one of
// "Unable to create thread" and "Unknown exception occured!", and a log that is
// a legal beginning of a run: every thread may be cut short anywhere, a
// translater leaves only once every client has ended, and driver lines, if
// any, come in their order.
Result CheckStoppedRun(const std::string& out, const std::string& err, int exit_status,
                       const Sizes& sizes = Sizes{});

// A run whose standard output took only the first out.size() bytes of its log
// (a file size limit, a reader that went away), and out the beginning of a
// legal log, as for a stopped run, whose last line may be cut anywhere. Either
// the program ran on to its end and then found its log unwritten (SIGPIPE or
// SIGXFSZ ignored): exit status 1 and "Unable to write the log to standard
// output" on standard error; or the signal ended it: exit status 141 (128 +
// SIGPIPE) or 153 (128 + SIGXFSZ), as the shell gives them, and nothing on
// standard error.
Result CheckCutRun(const std::string& out, const std::string& err, int exit_status,
                   const Sizes& sizes = Sizes{});

// The kind of run a check expects, as translaters-check's options name it:
// none of these for a normal run.
struct RunType {
    int failed_at = 0;  // --failed-at N
    bool stopped = false;
    bool cut = false;
};

// The check of a run of that type.
Result Check(const RunType& type, const std::string& out, const std::string& err, int exit_status,
             const Sizes& sizes = Sizes{});

// One finding per line, "LOG:12: [rule] message" (GNU's FILE:LINE, LOG the
// log's name), or "run: [rule] message" for the run as a whole (line 0). Of
// findings alike (the same rule and message but for numbers and quoted text),
// the first few are shown and the rest counted in one line; at most
// max_findings lines of findings are shown, and the rest counted.
std::string FormatFindings(const Result& result, std::size_t max_findings = 50,
                           const std::string& log_name = "log");

// Reads a saved run's file (its log, standard error, or a trace recorded with
// it) whole; the error says why it cannot be opened or read (a directory, a
// read error).
CStatusOr<std::string> ReadFile(const std::string& path);

// Reads the open file descriptor fd (standard input, say) from where it is to
// its end; an error for a directory or a read that fails.
CStatusOr<std::string> ReadWhole(int fd);

}  // namespace logcheck

#endif  // TRANSLATERS_TOOLS_LOGCHECK_LOG_CHECKER_H
