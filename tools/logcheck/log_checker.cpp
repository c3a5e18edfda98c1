#include "log_checker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

#include "command_line.h"

namespace logcheck {
namespace {

// A line bound that lies after every line of any log.
const int NEVER = INT_MAX;

// How a run ended, and so how much of each thread's story its log must hold.
enum class RunKind {
    kNormal,        // every thread's story is whole
    kFailedCreate,  // a thread creation failed: only threads created before it, cut short
    kStopped,       // a failure ended the process at some point: every thread cut short
    kCut,           // a normal run of which only the log's first bytes are seen
};

using Kind = LineKind;

// One line of the log, read, and its number.
struct Event : Line {
    int line = 0;
};

// "translater 3", or "translaters 3 to 5", for threads begin to end - 1.
std::string Threads(const char* kind, int begin, int end) {
    return end - begin == 1 ? Str(kind, " ", begin) : Str(kind, "s ", begin, " to ", end - 1);
}

// A character as itself, or as \xNN when it would not show.
std::string Shown(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte < 0x7F) {
        return std::string(1, ch);
    }
    const char DIGITS[] = "0123456789ABCDEF";
    return std::string("\\x") + DIGITS[byte / 16] + DIGITS[byte % 16];
}

// A character as 'c', or as '\xNN' when it would not show.
std::string Quote(char ch) {
    return "'" + Shown(ch) + "'";
}

// A log line in quotes, shortened and with unprintable bytes shown as \xNN.
std::string Quote(std::string_view text) {
    const std::size_t MAX_SHOWN = 80;
    std::string shown = "\"";
    for (std::size_t i = 0; i < text.size() && i < MAX_SHOWN; ++i) {
        shown += Shown(text[i]);
    }
    return shown + (text.size() > MAX_SHOWN ? "...\"" : "\"");
}

// Reads one line: success for a line of the program's whose IDs exist in a
// run of these sizes.
CStatus ParseEvent(std::string_view text, const Sizes& sizes, Event& event) {
    if (!ParseLine(text, event)) {
        const bool cr = !text.empty() && text.back() == '\r';
        return CStatus::Error(
            Str("unknown line ", Quote(text),
                cr ? ": it ends in a carriage return (a log with CR LF line ends?)" : ""));
    }
    if (event.translater >= sizes.translaters) {
        return CStatus::Error(Str("translater ", event.translater, " does not exist (IDs are 0 to ",
                                  sizes.translaters - 1, "): ", Quote(text)));
    }
    if (event.client >= sizes.clients) {
        return CStatus::Error(Str("client ", event.client, " does not exist (indices are 0 to ",
                                  sizes.clients - 1, "): ", Quote(text)));
    }
    return {};
}

// Line numbers are ints, and a check may name the line after the last: a log
// of more lines is read up to here.
const int MAX_LINES = INT_MAX - 1;
// The findings kept in full. A log that breaks the rules this often is read no
// further (a file that is not a log, a gigabyte of it), and findings past
// these are only counted.
const std::size_t MAX_FINDINGS = 1000;

// What one client's lines say.
struct ClientRecord {
    std::vector<int> lines;
    int start_line = 0;
    int give_up_line = 0;
    int translater = -1;  // the one it sent its first letter to
    std::string letters;
    std::vector<int> letter_lines;
    int summary_line = 0;
    int summary_count = 0;
    const struct TranslatedJob* job = nullptr;  // its letters' job, once paired

    bool Ended() const { return give_up_line != 0 || summary_line != 0; }
    bool TurnedAway() const { return give_up_line != 0 && letters.empty(); }
};

// One job as its translater's lines show it: character lines up to an
// end-of-job line (end_line 0 while none has come).
struct TranslatedJob {
    std::string chars;
    std::vector<int> lines;
    int end_line = 0;
};

struct TranslaterRecord {
    std::vector<int> lines;
    int start_line = 0;
    int leave_line = 0;
    std::vector<TranslatedJob> jobs;
    bool job_open = false;  // the last job has character lines but no end line yet
    // The clients that sent letters to it, by first letter line.
    std::vector<int> users;
};

// A client's claim of a translater lies somewhere between these two lines.
struct ClaimSpan {
    int translater = -1;
    int after = 0;       // the claim came after this line
    int before = NEVER;  // the claim was released before this line
};

// The claims of translaters 0 to count - 1, added in the order of the lines
// after which they came: for telling, of a client that passed over the
// translaters below some ID, the first one none of whose claims added so far
// can have been held after a given line. A tree over the translaters, each
// leaf the latest release of its claims, each node the earliest of its leaves,
// so that a client's question takes a walk down the tree rather than one step
// per translater (which is quadratic in a log of many translaters).
class CHeldClaims {
public:
    explicit CHeldClaims(int count);

    // A claim of translater t, released before line `before`.
    void Add(int t, int before);

    // The first translater below limit (at most count) whose claims added so
    // far were all released by line `after`, or that has none; limit if every
    // one of them was held.
    int FirstFree(int limit, int after) const { return Find(1, 0, m_leaves, limit, after); }

private:
    int Find(std::size_t node, int begin, int end, int limit, int after) const;

    int m_leaves = 1;
    std::vector<int> m_earliest;  // by node: 1 the root, 2n and 2n + 1 the children of n
};

CHeldClaims::CHeldClaims(int count) {
    while (m_leaves < count) {
        m_leaves *= 2;
    }
    m_earliest.assign(2 * static_cast<std::size_t>(m_leaves), INT_MIN);
}

void CHeldClaims::Add(int t, int before) {
    std::size_t node = static_cast<std::size_t>(m_leaves) + static_cast<std::size_t>(t);
    m_earliest[node] = std::max(m_earliest[node], before);
    for (node /= 2; node >= 1; node /= 2) {
        m_earliest[node] = std::min(m_earliest[2 * node], m_earliest[2 * node + 1]);
    }
}

int CHeldClaims::Find(std::size_t node, int begin, int end, int limit, int after) const {
    if (begin >= limit || m_earliest[node] > after) {
        return limit;
    }
    if (end - begin == 1) {
        return begin;
    }
    const int middle = begin + (end - begin) / 2;
    const int free = Find(2 * node, begin, middle, limit, after);
    return free < limit ? free : Find(2 * node + 1, middle, end, limit, after);
}

// What a client decided: it passed over the translaters below passed_over
// between its entry line and decided_line.
struct Decision {
    int client = -1;
    int passed_over = 0;
    int start_line = 0;
    int decided_line = 0;
    int free = -1;  // the first of them that no claim explains; -1 if none
};

class CLogChecker {
public:
    // fail_create_at: for kFailedCreate, the creation that failed.
    CLogChecker(RunKind kind, const Sizes& sizes, int fail_create_at = 0)
        : m_kind(kind), m_sizes(sizes), m_fail_create_at(fail_create_at) {}

    Result Check(const std::string& out, const std::string& err, int exit_status);

private:
    // Whether the log may end in the middle of any thread's story.
    bool CutShort() const { return m_kind != RunKind::kNormal; }
    void Report(const std::string& rule, int line, const std::string& message);

    void CheckExitAndStderr(const std::string& err, int exit_status);
    void CheckStderr(const std::string& err);
    bool CheckCutLine(int number, std::string_view line);
    void ReadLog(const std::string& out);
    void Record(const Event& event);
    template <typename ThreadRecord>
    void RecordSequence(const char* kind, const Event& event, int id, bool enters, int end_line,
                        ThreadRecord& thread);
    void RecordClient(const Event& event);
    void RecordClientSends(const Event& event, ClientRecord& client);
    void RecordClientSended(const Event& event, ClientRecord& client);
    void RecordTranslater(const Event& event);
    void RecordCharacter(const Event& event, TranslaterRecord& translater);
    void RecordJobEnd(const Event& event, TranslaterRecord& translater);

    void CheckThreadsComplete();
    void ReportMissing(const char* kind, int begin, int end);
    void CheckFailedRunThreads();
    void CheckStopAfterClients();
    void CheckDriverLines();
    void CheckAllTranslatersLeft(int all_translaters);
    void ReportNotLeft(int all_translaters, int begin, int end);
    void CheckStopOrder();
    void FindUsers();
    void MatchJobs(int t);
    bool Fits(int c, const TranslatedJob& job) const;
    void PairJob(int t, int client, const TranslatedJob* job);
    void CompareJob(int t, int c, const TranslatedJob& job);
    void CheckExclusive(int t);
    void AddClaimSpans(int t, std::vector<ClaimSpan>& spans) const;
    void CheckClaims();
    std::vector<Decision> Decisions() const;
    void FindFreeTranslaters(std::vector<Decision>& decisions) const;
    Summary BuildSummary() const;

    const RunKind m_kind;
    const Sizes m_sizes;
    const int m_fail_create_at;
    std::vector<Finding> m_findings;
    std::size_t m_unkept_findings = 0;
    bool m_read_whole_log = true;
    int m_line_count = 0;
    // The records of the threads the log names, by index; the rest wrote
    // nothing. Kept by index rather than in an array up to the highest one, so
    // that a log naming thread 999999998 takes no more memory than its lines.
    // Every record holds a line, until FindUsers adds the translaters that
    // clients named.
    std::map<int, ClientRecord> m_clients;
    std::map<int, TranslaterRecord> m_translaters;
    std::vector<int> m_all_clients_lines;
    std::vector<int> m_all_translaters_lines;
};

void CLogChecker::Report(const std::string& rule, int line, const std::string& message) {
    if (m_findings.size() < MAX_FINDINGS) {
        m_findings.push_back(Finding{rule, line, message});
    } else {
        ++m_unkept_findings;
    }
}

Result CLogChecker::Check(const std::string& out, const std::string& err, int exit_status) {
    CheckExitAndStderr(err, exit_status);
    ReadLog(out);
    if (!m_read_whole_log) {
        return Result{m_findings, BuildSummary()};
    }
    if (m_kind == RunKind::kNormal) {
        CheckThreadsComplete();
    } else if (m_kind == RunKind::kFailedCreate) {
        CheckFailedRunThreads();
    } else {
        CheckStopAfterClients();
    }
    CheckDriverLines();
    CheckStopOrder();
    FindUsers();
    for (const auto& [t, translater] : m_translaters) {
        MatchJobs(t);
        CheckExclusive(t);
    }
    CheckClaims();
    if (m_unkept_findings > 0) {
        m_findings.push_back(
            Finding{"findings", 0, Str("and ", m_unkept_findings, " more findings, not kept")});
    }
    return Result{m_findings, BuildSummary()};
}

void CLogChecker::CheckExitAndStderr(const std::string& err, int exit_status) {
    const char* const RUN_KINDS[] = {" for a normal run", " after a failed thread creation",
                                     " for a run stopped by a failure",
                                     " for a run whose log could not be written"};
    const int expected = CutShort() ? 1 : 0;
    const std::string signal = command_line::SignalOfStatus(exit_status);
    if (m_kind == RunKind::kCut && (signal == "SIGPIPE" || signal == "SIGXFSZ")) {
        if (!err.empty()) {
            Report("stderr", 0,
                   Str("standard error is ", Quote(err), ", expected it empty: ", signal,
                       " ended the program before it could report anything"));
        }
        return;
    }
    const char* const CUT_BY_SIGNAL = ", or 141 (SIGPIPE) or 153 (SIGXFSZ) for one a signal ended";
    if (exit_status < 0 || !signal.empty()) {
        Report("exit-status", 0,
               Str("the program did not exit by itself (",
                   signal.empty() ? std::string("a signal") : signal, " ended it",
                   signal.empty() ? "" : Str(": exit status ", exit_status), ")",
                   m_kind == RunKind::kCut ? Str("; expected exit status 1", CUT_BY_SIGNAL) : ""));
    } else if (exit_status != expected) {
        Report(
            "exit-status", 0,
            Str("exit status ", exit_status, ", expected ", expected,
                RUN_KINDS[static_cast<int>(m_kind)], m_kind == RunKind::kCut ? CUT_BY_SIGNAL : ""));
    }
    CheckStderr(err);
}

void CLogChecker::CheckStderr(const std::string& err) {
    if (m_kind == RunKind::kNormal) {
        if (!err.empty()) {
            Report("stderr", 0, Str("standard error of a normal run is not empty: ", Quote(err)));
        }
        return;
    }
    const bool stopped = m_kind == RunKind::kStopped;
    const char* const expected = m_kind == RunKind::kCut ? WRITE_FAILED_TEXT : CREATE_FAILED_TEXT;
    if (err == expected || (stopped && err == UNKNOWN_EXCEPTION_TEXT)) {
        return;
    }
    const std::string text(expected, std::strlen(expected) - 1);
    Report("stderr", 0,
           Str("standard error is ", Quote(err), ", expected exactly \"", text, "\"",
               stopped ? " or \"Unknown exception occured!\"" : "", " and a newline",
               m_kind == RunKind::kCut ? " (or nothing, with exit status 141 or 153 for a run "
                                         "that SIGPIPE or SIGXFSZ ended)"
                                       : ""));
}

void CLogChecker::ReadLog(const std::string& out) {
    const std::string_view text = out;
    for (std::size_t begin = 0; begin < text.size(); ++m_line_count) {
        if (m_findings.size() >= MAX_FINDINGS) {
            m_findings.push_back(Finding{"findings", m_line_count + 1,
                                         Str("the checker reads no further than this line, after ",
                                             MAX_FINDINGS, " findings")});
            m_read_whole_log = false;
            break;
        }
        if (m_line_count == MAX_LINES) {
            Report("format", 0,
                   Str("the log goes on after line ", MAX_LINES,
                       ", more lines than any run writes: the rest is not read"));
            break;
        }
        const std::size_t newline = text.find('\n', begin);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        const std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        Event event;
        event.line = m_line_count + 1;
        if (newline == std::string_view::npos && CheckCutLine(event.line, line)) {
            m_line_count = event.line;
            break;
        }
        const CStatus parsed = ParseEvent(line, m_sizes, event);
        if (parsed.Ok()) {
            Record(event);
        } else {
            Report("format", event.line, parsed.Message());
        }
    }
}

// The last line of a log that does not end with a newline: only a log cut
// after some byte may have one, and then it is the beginning of a line. It
// says too little to be read as an event. Returns whether it was such a line.
bool CLogChecker::CheckCutLine(int number, std::string_view line) {
    if (m_kind != RunKind::kCut) {
        Report("format", number, "the last line does not end with a newline");
        return false;
    }
    if (!IsLineBeginning(line, m_sizes)) {
        Report("format", number,
               Str("the last line, cut short, is the beginning of no line of the program: ",
                   Quote(line)));
    }
    return true;
}

void CLogChecker::Record(const Event& event) {
    switch (event.kind) {
        case Kind::kAllClients:
            m_all_clients_lines.push_back(event.line);
            break;
        case Kind::kAllTranslaters:
            m_all_translaters_lines.push_back(event.line);
            break;
        case Kind::kClientEnters:
        case Kind::kClientGivesUp:
        case Kind::kClientSends:
        case Kind::kClientSended:
            RecordClient(event);
            break;
        default:
            RecordTranslater(event);
            break;
    }
}

// A thread (of kind "client" or "translater") enters once, first, and
// writes nothing after its leaving line (end_line; 0 while none has come).
template <typename ThreadRecord>
void CLogChecker::RecordSequence(const char* kind, const Event& event, int id, bool enters,
                                 int end_line, ThreadRecord& thread) {
    const auto report = [&](const std::string& what) {
        Report(Str(kind, "-sequence"), event.line, Str(kind, " ", id, what));
    };
    if (enters && thread.start_line != 0) {
        report(Str(" enters a second time (first on line ", thread.start_line, ")"));
    } else if (!enters && thread.lines.empty()) {
        report("'s first line is not its entry line");
    }
    if (end_line != 0) {
        report(Str(" writes a line after its leaving line ", end_line));
    }
    thread.lines.push_back(event.line);
    if (enters && thread.start_line == 0) {
        thread.start_line = event.line;
    }
}

void CLogChecker::RecordClient(const Event& event) {
    const int c = event.client;
    ClientRecord& client = m_clients[c];
    RecordSequence("client", event, c, event.kind == Kind::kClientEnters,
                   client.give_up_line != 0 ? client.give_up_line : client.summary_line, client);
    if (event.kind == Kind::kClientGivesUp) {
        if (!client.letters.empty()) {
            Report("client-sequence", event.line,
                   Str("client ", c, " gives up after sending letters (from line ",
                       client.letter_lines.front(), ")"));
        }
        client.give_up_line = client.give_up_line != 0 ? client.give_up_line : event.line;
    } else if (event.kind == Kind::kClientSends) {
        RecordClientSends(event, client);
    } else if (event.kind == Kind::kClientSended) {
        RecordClientSended(event, client);
    }
}

void CLogChecker::RecordClientSends(const Event& event, ClientRecord& client) {
    const int c = event.client;
    if (client.translater < 0) {
        client.translater = event.translater;
    } else if (client.translater != event.translater) {
        Report("client-sequence", event.line,
               Str("client ", c, " sends to translater ", event.translater,
                   " after sending to translater ", client.translater,
                   ": a client holds one translater"));
    }
    if (!IsSentLetter(event.ch)) {
        Report("letters", event.line,
               Str("client ", c, " sends ", Quote(event.ch),
                   ": clients send only 'a' to 'y' and 'A' to 'Y'"));
    }
    client.letters += event.ch;
    client.letter_lines.push_back(event.line);
    if (client.letters.size() == static_cast<std::size_t>(m_sizes.max_chars) + 1) {
        Report("letters", event.line,
               Str("client ", c, " sends more than ", m_sizes.max_chars, " letters"));
    }
}

void CLogChecker::RecordClientSended(const Event& event, ClientRecord& client) {
    const int c = event.client;
    if (client.letters.empty()) {
        Report("client-sequence", event.line,
               Str("client ", c, " writes its summary line without having sent a letter"));
    } else if (client.translater != event.translater) {
        Report("client-sequence", event.line,
               Str("client ", c, "'s summary names translater ", event.translater,
                   ", but it sent its letters to translater ", client.translater));
    }
    if (static_cast<std::size_t>(event.count) != client.letters.size()) {
        Report("job-count", event.line,
               Str("client ", c, "'s summary says ", event.count, " characters, but it sent ",
                   client.letters.size(), " letters"));
    }
    if (client.summary_line == 0) {
        client.summary_line = event.line;
        client.summary_count = event.count;
    }
}

void CLogChecker::RecordTranslater(const Event& event) {
    const int t = event.translater;
    TranslaterRecord& translater = m_translaters[t];
    RecordSequence("translater", event, t, event.kind == Kind::kTranslaterEnters,
                   translater.leave_line, translater);
    if (event.kind == Kind::kTranslates) {
        RecordCharacter(event, translater);
    } else if (event.kind == Kind::kJobEnds) {
        RecordJobEnd(event, translater);
    } else if (event.kind == Kind::kTranslaterLeaves) {
        if (translater.job_open) {
            Report("translater-sequence", event.line,
                   Str("translater ", t,
                       " leaves in the middle of a job: its character lines from line ",
                       translater.jobs.back().lines.front(), " have no end-of-job line"));
        }
        translater.leave_line = translater.leave_line != 0 ? translater.leave_line : event.line;
    }
}

void CLogChecker::RecordCharacter(const Event& event, TranslaterRecord& translater) {
    const int t = event.translater;
    if (!IsSentLetter(event.ch)) {
        Report("letters", event.line,
               Str("translater ", t, " takes ", Quote(event.ch), ", which no client sends"));
    }
    if (event.out != SwapCase(event.ch)) {
        Report("translation", event.line,
               Str("translater ", t, " translates ", Quote(event.ch), " into ", Quote(event.out),
                   "; its translation is ", Quote(SwapCase(event.ch))));
    }
    if (!translater.job_open) {
        translater.jobs.emplace_back();
        translater.job_open = true;
    }
    translater.jobs.back().chars += event.ch;
    translater.jobs.back().lines.push_back(event.line);
}

void CLogChecker::RecordJobEnd(const Event& event, TranslaterRecord& translater) {
    if (!translater.job_open) {
        translater.jobs.emplace_back();
    }
    TranslatedJob& job = translater.jobs.back();
    job.end_line = event.line;
    translater.job_open = false;
    if (static_cast<std::size_t>(event.count) != job.chars.size()) {
        Report("job-count", event.line,
               Str("translater ", event.translater, "'s end-of-job line says ", event.count,
                   " characters, but the job has ", job.chars.size(), " character lines"));
    }
}

// A normal run: every thread wrote its whole story.
void CLogChecker::CheckThreadsComplete() {
    int missing_from = 0;  // the first client not known to have written
    for (const auto& [c, client] : m_clients) {
        ReportMissing("client", missing_from, c);
        missing_from = c + 1;
        if (!client.Ended()) {
            Report("client-sequence", client.lines.back(),
                   Str("client ", c,
                       " never finishes: after its last line (this one) comes "
                       "neither a give-up nor a summary line"));
        }
    }
    ReportMissing("client", missing_from, m_sizes.clients);
    missing_from = 0;
    for (const auto& [t, translater] : m_translaters) {
        ReportMissing("translater", missing_from, t);
        missing_from = t + 1;
        if (translater.leave_line == 0) {
            Report("translater-sequence", translater.lines.back(),
                   Str("translater ", t, " has no leaving line"));
        }
    }
    ReportMissing("translater", missing_from, m_sizes.translaters);
}

// Threads begin to end - 1 of a kind, if any, wrote no line: one finding for
// them all.
void CLogChecker::ReportMissing(const char* kind, int begin, int end) {
    if (end > begin) {
        Report("missing-thread", 0, Threads(kind, begin, end) + " wrote no line");
    }
}

// A failed run: only threads created before the failure may appear, and none
// of them is ever told to stop.
void CLogChecker::CheckFailedRunThreads() {
    const int translaters_created = std::min(m_fail_create_at - 1, m_sizes.translaters);
    const int clients_created = std::max(m_fail_create_at - 1 - m_sizes.translaters, 0);
    for (const auto& [t, translater] : m_translaters) {
        if (t >= translaters_created) {
            Report("not-created", translater.lines.front(),
                   Str("translater ", t, " writes, but its thread was never created (creation ",
                       m_fail_create_at, " failed)"));
        }
        if (translater.leave_line != 0) {
            Report("translater-sequence", translater.leave_line,
                   Str("translater ", t,
                       " leaves although the run failed: translaters leave only at the stop"));
        }
    }
    for (auto it = m_clients.lower_bound(clients_created); it != m_clients.end(); ++it) {
        const auto& [c, client] = *it;
        Report("not-created", client.lines.front(),
               Str("client ", c, " writes, but its thread was never created (creation ",
                   m_fail_create_at, " failed)"));
    }
}

// A run cut short: the stop, after which translaters leave and the driver
// writes "All clients finished", comes only once every client has ended, so
// every client's story is whole in a log that shows the stop.
void CLogChecker::CheckStopAfterClients() {
    int stop_line = m_all_clients_lines.empty() ? NEVER : m_all_clients_lines.front();
    for (const auto& [t, translater] : m_translaters) {
        if (translater.leave_line != 0) {
            stop_line = std::min(stop_line, translater.leave_line);
        }
    }
    if (stop_line == NEVER) {
        return;
    }
    int c = 0;  // the first client that never ends
    for (const auto& [index, client] : m_clients) {
        if (index != c || !client.Ended()) {
            break;
        }
        ++c;
    }
    if (c < m_sizes.clients) {
        Report("stop-order", stop_line,
               Str("the stop shows here, but client ", c,
                   " never ends: the driver stops the translaters only once every client "
                   "has ended"));
    }
}

void CLogChecker::CheckDriverLines() {
    const std::pair<const std::vector<int>*, const char*> driver_lines[] = {
        {&m_all_clients_lines, "All clients finished"},
        {&m_all_translaters_lines, "All translaters finished"}};
    for (const auto& [lines, text] : driver_lines) {
        if (m_kind == RunKind::kFailedCreate) {
            for (const int line : *lines) {
                Report(
                    "driver-lines", line,
                    Str("\"", text, "\" in a failed run: the driver writes it only at the stop"));
            }
        } else if (lines->empty() && !CutShort()) {
            Report("driver-lines", 0, Str("no \"", text, "\" line"));
        } else if (lines->size() > 1) {
            Report("driver-lines", (*lines)[1], Str("a second \"", text, "\" line"));
        }
    }
    if (m_kind == RunKind::kFailedCreate || m_all_translaters_lines.empty()) {
        return;
    }
    const int all_translaters = m_all_translaters_lines.front();
    if (CutShort()) {
        CheckAllTranslatersLeft(all_translaters);
    }
    if (all_translaters != m_line_count) {
        Report("driver-lines", all_translaters + 1,
               "a line after \"All translaters finished\", which is the last line of a run");
    }
    if (!m_all_clients_lines.empty() && m_all_clients_lines.front() > all_translaters) {
        Report("driver-lines", m_all_clients_lines.front(),
               "\"All clients finished\" after \"All translaters finished\"");
    }
}

// In a log cut short, "All translaters finished" still comes only after
// "All clients finished" and every translater's leaving line.
void CLogChecker::CheckAllTranslatersLeft(int all_translaters) {
    if (m_all_clients_lines.empty()) {
        Report("driver-lines", all_translaters,
               "\"All translaters finished\" without \"All clients finished\" before it");
    }
    int next = 0;  // the first translater not yet looked at
    for (const auto& [t, translater] : m_translaters) {
        ReportNotLeft(all_translaters, next, t);
        if (translater.leave_line == 0 || translater.leave_line > all_translaters) {
            ReportNotLeft(all_translaters, t, t + 1);
        }
        next = t + 1;
    }
    ReportNotLeft(all_translaters, next, m_sizes.translaters);
}

// Translaters begin to end - 1 had not left at "All translaters finished":
// one finding for them all.
void CLogChecker::ReportNotLeft(int all_translaters, int begin, int end) {
    if (end > begin) {
        Report("driver-lines", all_translaters,
               Str("\"All translaters finished\" before ", Threads("translater", begin, end),
                   end - begin == 1 ? " has left" : " have left"));
    }
}

// Clients end before "All clients finished"; translaters leave only after the
// stop flag is set, which happens once every client has ended.
void CLogChecker::CheckStopOrder() {
    int last_client_line = 0;
    int last_client = -1;
    const int all_clients = m_all_clients_lines.empty() ? NEVER : m_all_clients_lines.front();
    for (const auto& [c, client] : m_clients) {
        const std::vector<int>& lines = client.lines;
        if (lines.back() > last_client_line) {
            last_client_line = lines.back();
            last_client = c;
        }
        const auto late = std::upper_bound(lines.begin(), lines.end(), all_clients);
        if (late != lines.end()) {
            Report("after-all-clients", *late,
                   Str("client ", c, " writes after \"All clients finished\" (line ", all_clients,
                       "), which the driver writes only once every client has ended"));
        }
    }
    for (const auto& [t, translater] : m_translaters) {
        const int leave_line = translater.leave_line;
        if (leave_line != 0 && leave_line < last_client_line) {
            Report("leave-order", leave_line,
                   Str("translater ", t, " leaves before client ", last_client, "'s line ",
                       last_client_line, ": translaters leave only after every client has ended"));
        }
    }
}

// The clients that sent letters to each translater, by first letter line.
void CLogChecker::FindUsers() {
    for (const auto& [c, client] : m_clients) {
        if (!client.letters.empty()) {
            m_translaters[client.translater].users.push_back(c);
        }
    }
    for (auto& [t, translater] : m_translaters) {
        std::sort(translater.users.begin(), translater.users.end(), [this](int a, int b) {
            return m_clients.at(a).letter_lines.front() < m_clients.at(b).letter_lines.front();
        });
    }
}

// Whether client c's letters are those of the job: all of them for a job that
// ended, the beginning for one cut short.
bool CLogChecker::Fits(int c, const TranslatedJob& job) const {
    const std::string& letters = m_clients.at(c).letters;
    return job.end_line != 0 ? job.chars == letters
                             : letters.compare(0, job.chars.size(), job.chars) == 0;
}

// Pairs the clients that sent to translater t with its jobs, in order. A lost
// or invented job is skipped so that the rest still pair up: where a client
// and a job do not fit, the nearest client or job ahead (at most a few) that
// fits the other is taken as the next pair, and what lies between is lost or
// invented; with none near, the two are paired and their letters compared.
void CLogChecker::MatchJobs(int t) {
    const std::size_t LOOKAHEAD = 3;
    const std::vector<int>& users = m_translaters.at(t).users;
    const std::vector<TranslatedJob>& jobs = m_translaters.at(t).jobs;
    const std::size_t n = users.size();
    const std::size_t m = jobs.size();
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n && j < m) {
        std::size_t lost = 0;
        std::size_t invented = 0;
        for (std::size_t d = 1; d <= LOOKAHEAD && !Fits(users[i], jobs[j]); ++d) {
            if (i + d < n && Fits(users[i + d], jobs[j])) {
                lost = d;
                break;
            }
            if (j + d < m && Fits(users[i], jobs[j + d])) {
                invented = d;
                break;
            }
        }
        for (; lost > 0; --lost) {
            PairJob(t, users[i++], nullptr);
        }
        for (; invented > 0; --invented) {
            PairJob(t, -1, &jobs[j++]);
        }
        PairJob(t, users[i++], &jobs[j++]);
    }
    for (; i < n; ++i) {
        PairJob(t, users[i], nullptr);
    }
    for (; j < m; ++j) {
        PairJob(t, -1, &jobs[j]);
    }
}

void CLogChecker::PairJob(int t, int c, const TranslatedJob* job) {
    if (c >= 0 && job != nullptr) {
        m_clients.at(c).job = job;
        CompareJob(t, c, *job);
    } else if (c >= 0 && !CutShort()) {
        const ClientRecord& client = m_clients.at(c);
        Report("lost-job", client.letter_lines.front(),
               Str("client ", c, " sends ", client.letters.size(), " letters \"",
                   client.letters.substr(0, 20), client.letters.size() > 20 ? "..." : "",
                   "\" to translater ", t, " from this line on, but translater ", t,
                   " has no job with them"));
    } else if (job != nullptr) {
        const int line = job->end_line != 0 ? job->end_line : job->lines.front();
        Report("invented-job", line,
               Str("translater ", t, "'s job of ", job->chars.size(),
                   " characters (ending here) belongs to no client: no client sent these "
                   "letters to translater ",
                   t));
    }
}

void CLogChecker::CompareJob(int t, int c, const TranslatedJob& job) {
    const ClientRecord& client = m_clients.at(c);
    const std::size_t common = std::min(job.chars.size(), client.letters.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (job.chars[i] != client.letters[i]) {
            Report("job-letters", job.lines[i],
                   Str("translater ", t, " takes ", Quote(job.chars[i]), " as character ", i + 1,
                       " of client ", c, "'s job, but the client sent ", Quote(client.letters[i]),
                       " there (line ", client.letter_lines[i], ")"));
            break;
        }
    }
    const bool too_long = job.chars.size() > client.letters.size();
    if (too_long || (job.end_line != 0 && job.chars.size() != client.letters.size())) {
        Report("job-letters", job.end_line != 0 ? job.end_line : job.lines.back(),
               Str("translater ", t, "'s job for client ", c, " has ", job.chars.size(),
                   " character lines, but the client sent ", client.letters.size(), " letters"));
    }
    for (std::size_t i = 0; i < common; ++i) {
        if (job.lines[i] < client.letter_lines[i]) {
            Report("translation-order", job.lines[i],
                   Str("translater ", t, " translates client ", c, "'s letter ", i + 1,
                       " before the client writes its letter line ", client.letter_lines[i]));
            break;
        }
    }
    if (job.end_line != 0 && client.summary_line == 0) {
        Report("job-end-order", job.end_line,
               Str("translater ", t, " ends client ", c,
                   "'s job, but the client never wrote "
                   "its summary line, after which it pushes the terminator"));
    } else if (job.end_line != 0 && job.end_line < client.summary_line) {
        Report("job-end-order", job.end_line,
               Str("translater ", t, " ends client ", c, "'s job before the client's summary line ",
                   client.summary_line, ", after which it pushes the terminator"));
    }
}

// A translater serves one client at a time: the next client's first letter
// comes after the previous job's end-of-job line, since the claim is released
// only after that line.
void CLogChecker::CheckExclusive(int t) {
    const std::vector<int>& users = m_translaters.at(t).users;
    for (std::size_t k = 1; k < users.size(); ++k) {
        const int previous = users[k - 1];
        const int c = users[k];
        const int first_letter = m_clients.at(c).letter_lines.front();
        const TranslatedJob* job = m_clients.at(previous).job;
        if (job == nullptr && !CutShort()) {
            continue;  // already reported as a lost job
        }
        if (job == nullptr || job->end_line == 0) {
            Report("exclusive-claim", first_letter,
                   Str("client ", c, " starts sending to translater ", t, " while client ",
                       previous, "'s job there has no end-of-job line"));
        } else if (first_letter < job->end_line) {
            Report("exclusive-claim", first_letter,
                   Str("client ", c, " starts sending to translater ", t,
                       " before the translater ends client ", previous, "'s job on line ",
                       job->end_line, ": a translater serves one client at a time"));
        }
    }
}

// Where each claim of translater t can lie: after the client's entry line and
// the release of the claim before it (after that job's end line); released
// before the next claimant's first letter and before the translater leaves.
void CLogChecker::AddClaimSpans(int t, std::vector<ClaimSpan>& spans) const {
    const TranslaterRecord& translater = m_translaters.at(t);
    const std::vector<int>& users = translater.users;
    for (std::size_t k = 0; k < users.size(); ++k) {
        const ClientRecord& client = m_clients.at(users[k]);
        ClaimSpan span{t, client.start_line};
        // In a broken log the previous job may end after this client began;
        // then that bound says nothing.
        const TranslatedJob* previous = k > 0 ? m_clients.at(users[k - 1]).job : nullptr;
        if (previous != nullptr && previous->end_line < client.letter_lines.front()) {
            span.after = std::max(span.after, previous->end_line);
        }
        if (k + 1 < users.size()) {
            span.before = m_clients.at(users[k + 1]).letter_lines.front();
        }
        if (translater.leave_line != 0) {
            span.before = std::min(span.before, translater.leave_line);
        }
        spans.push_back(span);
    }
}

// A client tries the translaters once, lowest first, between its entry line
// and its give-up or first letter line; each one it passed over was claimed
// at that moment. A client that entered but wrote nothing more (a run cut
// short) may hold a claim of any translater. The first translater that no
// claim explains is reported, once per client.
void CLogChecker::CheckClaims() {
    std::vector<Decision> decisions = Decisions();
    FindFreeTranslaters(decisions);
    for (const Decision& decision : decisions) {
        if (decision.free < 0) {
            continue;
        }
        const int c = decision.client;
        const ClientRecord& client = m_clients.at(c);
        const std::string unheld =
            Str("no client held translater ", decision.free,
                " at any moment between its entry line ", client.start_line, " and this line");
        if (client.TurnedAway()) {
            Report("turned-away", decision.decided_line,
                   Str("client ", c, " is turned away, but ", unheld));
        } else {
            Report("lowest-free", decision.decided_line,
                   Str("client ", c, " takes translater ", client.translater, ", but ", unheld,
                       ": a client takes the lowest free translater"));
        }
    }
}

// The clients that passed over some translater, in order: those turned away
// and those that took another than translater 0, but for any that decided
// after a client that entered and wrote nothing more (which may hold any).
std::vector<Decision> CLogChecker::Decisions() const {
    std::vector<int> silent_starts;  // entry lines of clients that wrote nothing more
    for (const auto& [c, client] : m_clients) {
        if (client.start_line != 0 && client.give_up_line == 0 && client.letters.empty()) {
            silent_starts.push_back(client.start_line);
        }
    }
    std::sort(silent_starts.begin(), silent_starts.end());
    std::vector<Decision> decisions;
    for (const auto& [c, client] : m_clients) {
        const bool turned_away = client.TurnedAway();
        if (!turned_away && client.translater <= 0) {
            continue;  // it passed over no translater
        }
        const int decided_line = turned_away ? client.give_up_line : client.letter_lines.front();
        if (std::lower_bound(silent_starts.begin(), silent_starts.end(), decided_line) !=
            silent_starts.begin()) {
            continue;
        }
        decisions.push_back(Decision{c, turned_away ? m_sizes.translaters : client.translater,
                                     client.start_line, decided_line});
    }
    return decisions;
}

// Each decision in the order of its line, against the claims that came
// before that line: was each translater it passed over held at some moment
// after its entry line? Sets each decision's first free translater.
void CLogChecker::FindFreeTranslaters(std::vector<Decision>& decisions) const {
    // The claims of translaters 0 to claimed - 1, each of which has some;
    // translater `claimed` has none, so no client can have found it held.
    std::vector<ClaimSpan> spans;
    int claimed = 0;
    for (const auto& [t, translater] : m_translaters) {
        if (!translater.users.empty() && t == claimed) {
            AddClaimSpans(t, spans);
            ++claimed;
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const ClaimSpan& a, const ClaimSpan& b) { return a.after < b.after; });
    std::vector<Decision*> by_line(decisions.size());
    std::transform(decisions.begin(), decisions.end(), by_line.begin(),
                   [](Decision& decision) { return &decision; });
    std::sort(by_line.begin(), by_line.end(), [](const Decision* a, const Decision* b) {
        return a->decided_line < b->decided_line;
    });
    CHeldClaims held(claimed);
    std::size_t added = 0;
    for (Decision* decision : by_line) {
        for (; added < spans.size() && spans[added].after < decision->decided_line; ++added) {
            held.Add(spans[added].translater, spans[added].before);
        }
        const int limit = std::min(decision->passed_over, claimed);
        const int free = held.FirstFree(limit, decision->start_line);
        decision->free = free < limit ? free : decision->passed_over > claimed ? claimed : -1;
    }
}

Summary CLogChecker::BuildSummary() const {
    Summary summary;
    summary.sizes = m_sizes;
    summary.line_count = m_line_count;
    for (const auto& [c, client] : m_clients) {
        if (client.TurnedAway()) {
            summary.turned_away.push_back(TurnedAway{c, client.give_up_line});
        }
        if (!client.letters.empty()) {
            const int count = client.summary_line != 0 ? client.summary_count
                                                       : static_cast<int>(client.letters.size());
            summary.jobs.push_back(Job{c, client.translater, client.letters, count,
                                       client.letter_lines.front(), client.summary_line,
                                       client.job != nullptr ? client.job->end_line : 0});
        }
    }
    std::sort(summary.jobs.begin(), summary.jobs.end(),
              [](const Job& a, const Job& b) { return a.first_letter_line < b.first_letter_line; });
    std::sort(summary.turned_away.begin(), summary.turned_away.end(),
              [](const TurnedAway& a, const TurnedAway& b) { return a.line < b.line; });
    // By ID, up to the highest the log names (but no more than its lines).
    const int translaters =
        m_translaters.empty() ? 0 : std::min(m_translaters.rbegin()->first + 1, m_line_count);
    summary.translaters.resize(static_cast<std::size_t>(translaters));
    for (const auto& [t, translater] : m_translaters) {
        if (t < translaters) {
            summary.translaters[static_cast<std::size_t>(t)] =
                ThreadLines{translater.start_line, translater.leave_line};
        }
    }
    summary.all_clients_line = m_all_clients_lines.empty() ? 0 : m_all_clients_lines.front();
    summary.all_translaters_line =
        m_all_translaters_lines.empty() ? 0 : m_all_translaters_lines.front();
    return summary;
}

}  // namespace

Result CheckRun(const std::string& out, const std::string& err, int exit_status,
                const Sizes& sizes) {
    return CLogChecker(RunKind::kNormal, sizes).Check(out, err, exit_status);
}

Result CheckFailedRun(const std::string& out, const std::string& err, int exit_status,
                      int fail_create_at, const Sizes& sizes) {
    if (fail_create_at < 1 || fail_create_at > sizes.Creations()) {
        throw std::invalid_argument(
            Str("creation ", fail_create_at, " is not one of 1 to ", sizes.Creations()));
    }
    return CLogChecker(RunKind::kFailedCreate, sizes, fail_create_at).Check(out, err, exit_status);
}

Result CheckStoppedRun(const std::string& out, const std::string& err, int exit_status,
                       const Sizes& sizes) {
    return CLogChecker(RunKind::kStopped, sizes).Check(out, err, exit_status);
}

Result CheckCutRun(const std::string& out, const std::string& err, int exit_status,
                   const Sizes& sizes) {
    return CLogChecker(RunKind::kCut, sizes).Check(out, err, exit_status);
}

CStatusOr<std::string> ReadFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return CStatus::FromErrno(errno);
    }
    CStatusOr<std::string> text = ReadWhole(fd);
    close(fd);
    return text;
}

CStatusOr<std::string> ReadWhole(int fd) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        return CStatus::Error("it is a directory");
    }
    std::string text;
    if (S_ISREG(status.st_mode) && status.st_size > 0) {
        text.reserve(static_cast<std::size_t>(status.st_size));
    }
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(got));
        } else if (got == 0) {
            return text;
        } else if (errno != EINTR) {
            return CStatus::FromErrno(errno);
        }
    }
}

Result Check(const RunType& type, const std::string& out, const std::string& err, int exit_status,
             const Sizes& sizes) {
    if (type.failed_at != 0) {
        return CheckFailedRun(out, err, exit_status, type.failed_at, sizes);
    }
    if (type.stopped) {
        return CheckStoppedRun(out, err, exit_status, sizes);
    }
    return type.cut ? CheckCutRun(out, err, exit_status, sizes)
                    : CheckRun(out, err, exit_status, sizes);
}

namespace {

// Of findings alike, this many are shown before the rest are counted.
const int SHOWN_ALIKE = 3;

// What findings alike have in common: the rule and the message with its
// numbers, quoted characters ('a', '\x0D') and quoted line ("...") left out.
std::string Likeness(const Finding& finding) {
    const std::string& message = finding.message;
    const std::size_t first_quote = message.find('"');
    const std::size_t last_quote = message.rfind('"');
    std::string key = finding.rule + "\t";
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char ch = message[i];
        if (i == first_quote && last_quote > i) {
            key += "\"\"";
            i = last_quote;
        } else if (ch >= '0' && ch <= '9') {
            key += '#';
            while (i + 1 < message.size() && message[i + 1] >= '0' && message[i + 1] <= '9') {
                ++i;
            }
        } else if (ch == '\'' && i + 2 < message.size() && message[i + 2] == '\'') {
            key += "''";
            i += 2;
        } else if (ch == '\'' && i + 5 < message.size() && message[i + 1] == '\\' &&
                   message[i + 5] == '\'') {
            key += "''";
            i += 5;
        } else {
            key += ch;
        }
    }
    return key;
}

}  // namespace

std::string FormatFindings(const Result& result, std::size_t max_findings,
                           const std::string& log_name) {
    std::map<std::string, int> alike;
    for (const Finding& finding : result.findings) {
        ++alike[Likeness(finding)];
    }
    std::map<std::string, int> seen;
    std::ostringstream text;
    std::size_t shown = 0;
    std::size_t unshown = 0;
    for (const Finding& finding : result.findings) {
        const std::string key = Likeness(finding);
        const int n = ++seen[key];
        if (n > SHOWN_ALIKE) {
            continue;  // counted with the last of them shown
        }
        if (shown == max_findings) {
            unshown += n < SHOWN_ALIKE ? 1 : alike[key] - SHOWN_ALIKE + 1;
            continue;
        }
        ++shown;
        text << (finding.line != 0 ? Str(log_name, ":", finding.line, ": ") : "run: ") << "["
             << finding.rule << "] " << finding.message << "\n";
        if (n == SHOWN_ALIKE && alike[key] > SHOWN_ALIKE) {
            text << "... and " << alike[key] - SHOWN_ALIKE << " more like it\n";
        }
    }
    if (unshown > 0) {
        text << "... and " << unshown << " more findings\n";
    }
    return text.str();
}

}  // namespace logcheck
