#include "log_checker.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace logcheck {
namespace {

// A line bound that lies after every line of any log.
const int NEVER = INT_MAX;

const char CREATE_FAILED_TEXT[] = "Unable to create thread\n";
const char UNKNOWN_EXCEPTION_TEXT[] = "Unknown exception occured!\n";
const char WRITE_FAILED_TEXT[] = "Unable to write the log to standard output\n";

// How a run ended, and so how much of each thread's story its log must hold.
enum class RunKind {
    kNormal,        // every thread's story is whole
    kFailedCreate,  // a thread creation failed: only threads created before it, cut short
    kStopped,       // a failure ended the process at some point: every thread cut short
    kCut,           // a normal run of which only the log's first bytes are seen
};

enum class Kind {
    kTranslaterEnters,
    kTranslates,
    kJobEnds,
    kTranslaterLeaves,
    kClientEnters,
    kClientGivesUp,
    kClientSends,
    kClientSended,
    kAllClients,
    kAllTranslaters,
};

// One parsed line of the log.
struct Event {
    Kind kind = Kind::kAllClients;
    int line = 0;
    int translater = -1;
    int client = -1;
    char ch = 0;   // the letter sent, or the character a translater took
    char out = 0;  // the translation written for ch
    int count = 0;
};

template <typename... Parts>
std::string Str(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

// A byte as \xNN.
std::string Hex(unsigned char byte) {
    const char DIGITS[] = "0123456789ABCDEF";
    return std::string("\\x") + DIGITS[byte / 16] + DIGITS[byte % 16];
}

bool Printable(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F;
}

// A character as 'c', or as '\xNN' when it would not show.
std::string Quote(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return "'" + (Printable(byte) ? std::string(1, ch) : Hex(byte)) + "'";
}

// A log line in quotes, shortened and with unprintable bytes shown as \xNN.
std::string Quote(const std::string& text) {
    const std::size_t MAX_SHOWN = 80;
    std::string shown = "\"";
    for (std::size_t i = 0; i < text.size() && i < MAX_SHOWN; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        shown += Printable(byte) ? std::string(1, text[i]) : Hex(byte);
    }
    return shown + (text.size() > MAX_SHOWN ? "...\"" : "\"");
}

bool IsSentLetter(char ch) {
    return (ch >= 'a' && ch <= 'y') || (ch >= 'A' && ch <= 'Y');
}

char SwapCase(char ch) {
    if (ch >= 'a' && ch <= 'z') {
        return static_cast<char>(ch - 'a' + 'A');
    }
    if (ch >= 'A' && ch <= 'Z') {
        return static_cast<char>(ch - 'A' + 'a');
    }
    return ch;
}

// Takes the literal text at pos.
bool TakeText(const std::string& line, std::size_t& pos, const char* text) {
    const std::size_t length = std::strlen(text);
    if (line.compare(pos, length, text) != 0) {
        return false;
    }
    pos += length;
    return true;
}

// True if the line ends with exactly this text from pos on.
bool RestIs(const std::string& line, std::size_t pos, const char* text) {
    return line.compare(pos, std::string::npos, text) == 0;
}

// Takes a decimal number as the program writes it: digits only, no leading zero.
bool TakeNumber(const std::string& line, std::size_t& pos, int& value) {
    const std::size_t MAX_DIGITS = 9;
    std::size_t end = pos;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
        ++end;
    }
    const std::size_t digits = end - pos;
    if (digits == 0 || digits > MAX_DIGITS || (digits > 1 && line[pos] == '0')) {
        return false;
    }
    value = std::stoi(line.substr(pos, digits));
    pos = end;
    return true;
}

bool ParseTranslaterLine(const std::string& line, std::size_t pos, Event& event) {
    if (!TakeNumber(line, pos, event.translater) || !TakeText(line, pos, ": ")) {
        return false;
    }
    if (RestIs(line, pos, "Entering thread")) {
        event.kind = Kind::kTranslaterEnters;
    } else if (RestIs(line, pos, "Leaving thread")) {
        event.kind = Kind::kTranslaterLeaves;
    } else if (TakeText(line, pos, "Translated ")) {
        event.kind = Kind::kJobEnds;
        return TakeNumber(line, pos, event.count) && RestIs(line, pos, " characters");
    } else if (line.size() - pos == 6 && line.compare(pos + 1, 4, " -> ") == 0) {
        event.kind = Kind::kTranslates;
        event.ch = line[pos];
        event.out = line[pos + 5];
    } else {
        return false;
    }
    return true;
}

bool ParseClientLine(const std::string& line, std::size_t pos, Event& event) {
    if (!TakeNumber(line, pos, event.client)) {
        return false;
    }
    if (TakeText(line, pos, ": ")) {
        if (RestIs(line, pos, "Entering thread")) {
            event.kind = Kind::kClientEnters;
            return true;
        }
        event.kind = Kind::kClientGivesUp;
        return RestIs(line, pos, "All translaters are occupied, leaving thread");
    }
    if (!TakeText(line, pos, ">") || !TakeNumber(line, pos, event.translater) ||
        !TakeText(line, pos, ": ")) {
        return false;
    }
    if (TakeText(line, pos, "Sending ")) {
        event.kind = Kind::kClientSends;
        event.ch = pos < line.size() ? line[pos] : '\0';
        return line.size() - pos == 1;
    }
    event.kind = Kind::kClientSended;
    return TakeText(line, pos, "Sended ") && TakeNumber(line, pos, event.count) &&
           RestIs(line, pos, " characters, leaving thread");
}

// Parses one line; returns what is wrong with it, or "" for a known line.
std::string ParseLine(const std::string& line, Event& event) {
    std::size_t pos = 0;
    bool known = false;
    if (line == "All clients finished") {
        event.kind = Kind::kAllClients;
        known = true;
    } else if (line == "All translaters finished") {
        event.kind = Kind::kAllTranslaters;
        known = true;
    } else if (TakeText(line, pos, "Translater ")) {
        known = ParseTranslaterLine(line, pos, event);
    } else if (TakeText(line, pos, "Client ")) {
        known = ParseClientLine(line, pos, event);
    }
    if (!known) {
        return Str("unknown line ", Quote(line));
    }
    if (event.translater >= NUM_TRANSLATERS) {
        return Str("translater ", event.translater, " does not exist (IDs are 0 to ",
                   NUM_TRANSLATERS - 1, "): ", Quote(line));
    }
    if (event.client >= NUM_CLIENTS) {
        return Str("client ", event.client, " does not exist (indices are 0 to ", NUM_CLIENTS - 1,
                   "): ", Quote(line));
    }
    return "";
}

// Every form of line the program writes, for telling whether a cut line is
// the beginning of one. Placeholders: # a translater ID, @ a client index, %
// a count, * a letter that clients send, ~ that letter with its case swapped.
const char* const LINE_FORMS[] = {
    "All clients finished",
    "All translaters finished",
    "Translater #: Entering thread",
    "Translater #: Leaving thread",
    "Translater #: Translated % characters",
    "Translater #: * -> ~",
    "Client @: Entering thread",
    "Client @: All translaters are occupied, leaving thread",
    "Client @>#: Sending *",
    "Client @>#: Sended % characters, leaving thread",
};

bool BeginsForm(const std::string& text, std::size_t pos, const char* form, char letter);

// The number placeholder at form, at pos of text: each value in its range in
// turn, the text possibly ending inside the number.
bool BeginsNumber(const std::string& text, std::size_t pos, const char* form, char letter) {
    const int max = *form == '#' ? NUM_TRANSLATERS - 1 : *form == '@' ? NUM_CLIENTS - 1 : MAX_CHARS;
    for (int value = 0; value <= max; ++value) {
        const std::string digits = std::to_string(value);
        const std::size_t shown = std::min(digits.size(), text.size() - pos);
        if (text.compare(pos, shown, digits, 0, shown) != 0) {
            continue;
        }
        if (shown < digits.size() || BeginsForm(text, pos + shown, form + 1, letter)) {
            return true;
        }
    }
    return false;
}

// Whether text from pos on is the beginning of form; letter is the last
// letter the form took, for its swapped case.
bool BeginsForm(const std::string& text, std::size_t pos, const char* form, char letter) {
    if (pos == text.size()) {
        return true;
    }
    const char ch = text[pos];
    switch (*form) {
        case '\0':
            return false;  // the text goes on past the end of the line
        case '#':
        case '@':
        case '%':
            return BeginsNumber(text, pos, form, letter);
        case '*':
            return IsSentLetter(ch) && BeginsForm(text, pos + 1, form + 1, ch);
        case '~':
            return ch == SwapCase(letter) && BeginsForm(text, pos + 1, form + 1, letter);
        default:
            return ch == *form && BeginsForm(text, pos + 1, form + 1, letter);
    }
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

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
};

// One job as its translater's lines show it: character lines up to an
// end-of-job line (end_line 0 while none has come).
struct TranslatedJob {
    std::string chars;
    std::vector<int> lines;
    int end_line = 0;
    int count = 0;
};

struct TranslaterRecord {
    std::vector<int> lines;
    int start_line = 0;
    int leave_line = 0;
    std::vector<TranslatedJob> jobs;
    bool job_open = false;  // the last job has character lines but no end line yet
};

// A client's claim of a translater lies somewhere between these two lines.
struct ClaimSpan {
    int client = -1;
    int after = 0;       // the claim came after this line
    int before = NEVER;  // the claim was released before this line
};

class CLogChecker {
public:
    // fail_create_at: for kFailedCreate, the creation that failed.
    explicit CLogChecker(RunKind kind, int fail_create_at = 0)
        : m_kind(kind), m_fail_create_at(fail_create_at) {}

    Result Check(const std::string& out, const std::string& err, int exit_status);

private:
    // Whether the log may end in the middle of any thread's story.
    bool CutShort() const { return m_kind != RunKind::kNormal; }
    void Report(const char* rule, int line, const std::string& message);

    void CheckExitAndStderr(const std::string& err, int exit_status);
    void CheckStderr(const std::string& err);
    bool CheckCutLine(const std::string& line);
    void ReadLog(const std::string& out);
    void Record(const Event& event);
    void RecordClient(const Event& event);
    void RecordClientSends(const Event& event, ClientRecord& client);
    void RecordClientSended(const Event& event, ClientRecord& client);
    void RecordTranslater(const Event& event);
    void RecordCharacter(const Event& event, TranslaterRecord& translater);
    void RecordJobEnd(const Event& event, TranslaterRecord& translater);

    void CheckThreadsComplete();
    void CheckFailedRunThreads();
    void CheckStopAfterClients();
    void CheckDriverLines();
    void CheckAllTranslatersLeft(int all_translaters);
    void CheckStopOrder();
    void MatchJobs(int t);
    void PairJob(int t, int client, const TranslatedJob* job);
    void CompareJob(int t, int c, const TranslatedJob& job);
    void CheckExclusive(int t);
    std::vector<ClaimSpan> ClaimSpans(int t) const;
    bool HeldBetween(int t, int after, int before, int except_client) const;
    void CheckClaims();
    Summary BuildSummary() const;

    const RunKind m_kind;
    const int m_fail_create_at;
    std::vector<Finding> m_findings;
    int m_line_count = 0;
    std::array<ClientRecord, NUM_CLIENTS> m_clients;
    std::array<TranslaterRecord, NUM_TRANSLATERS> m_translaters;
    std::vector<int> m_all_clients_lines;
    std::vector<int> m_all_translaters_lines;
    // Clients that sent letters to each translater, by first letter line.
    std::array<std::vector<int>, NUM_TRANSLATERS> m_users;
    // The job each client's letters were paired with, if any.
    std::array<const TranslatedJob*, NUM_CLIENTS> m_job_of{};
};

void CLogChecker::Report(const char* rule, int line, const std::string& message) {
    m_findings.push_back(Finding{rule, line, message});
}

Result CLogChecker::Check(const std::string& out, const std::string& err, int exit_status) {
    CheckExitAndStderr(err, exit_status);
    ReadLog(out);
    if (m_kind == RunKind::kNormal) {
        CheckThreadsComplete();
    } else if (m_kind == RunKind::kFailedCreate) {
        CheckFailedRunThreads();
    } else {
        CheckStopAfterClients();
    }
    CheckDriverLines();
    CheckStopOrder();
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        MatchJobs(t);
        CheckExclusive(t);
    }
    CheckClaims();
    return Result{m_findings, BuildSummary()};
}

void CLogChecker::CheckExitAndStderr(const std::string& err, int exit_status) {
    const char* const RUN_KINDS[] = {" for a normal run", " after a failed thread creation",
                                     " for a run stopped by a failure",
                                     " for a run whose log could not be written"};
    const int expected = CutShort() ? 1 : 0;
    if (exit_status < 0) {
        Report("exit-status", 0, "the program did not exit by itself (a signal ended it)");
    } else if (exit_status != expected) {
        Report("exit-status", 0,
               Str("exit status ", exit_status, ", expected ", expected,
                   RUN_KINDS[static_cast<int>(m_kind)]));
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
               stopped ? " or \"Unknown exception occured!\"" : "", " and a newline"));
}

void CLogChecker::ReadLog(const std::string& out) {
    const std::vector<std::string> lines = SplitLines(out);
    m_line_count = static_cast<int>(lines.size());
    int whole_lines = m_line_count;
    if (!out.empty() && out.back() != '\n' && CheckCutLine(lines.back())) {
        --whole_lines;
    }
    for (int i = 0; i < whole_lines; ++i) {
        Event event;
        event.line = i + 1;
        const std::string error = ParseLine(lines[i], event);
        if (error.empty()) {
            Record(event);
        } else {
            Report("format", event.line, error);
        }
    }
}

// The last line of a log that does not end with a newline: only a log cut
// after some byte may have one, and then it is the beginning of a line. It
// says too little to be read as an event. Returns whether it was such a line.
bool CLogChecker::CheckCutLine(const std::string& line) {
    if (m_kind != RunKind::kCut) {
        Report("format", m_line_count, "the last line does not end with a newline");
        return false;
    }
    if (!IsLineBeginning(line)) {
        Report("format", m_line_count,
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

void CLogChecker::RecordClient(const Event& event) {
    const int c = event.client;
    ClientRecord& client = m_clients[c];
    const int end_line = client.give_up_line != 0 ? client.give_up_line : client.summary_line;
    if (event.kind == Kind::kClientEnters && client.start_line != 0) {
        Report("client-sequence", event.line,
               Str("client ", c, " enters a second time (first on line ", client.start_line, ")"));
    } else if (event.kind != Kind::kClientEnters && client.lines.empty()) {
        Report("client-sequence", event.line,
               Str("client ", c, "'s first line is not its entry line"));
    }
    if (end_line != 0) {
        Report("client-sequence", event.line,
               Str("client ", c, " writes a line after its leaving line ", end_line));
    }
    client.lines.push_back(event.line);
    if (event.kind == Kind::kClientEnters) {
        client.start_line = client.start_line != 0 ? client.start_line : event.line;
    } else if (event.kind == Kind::kClientGivesUp) {
        if (!client.letters.empty()) {
            Report("client-sequence", event.line,
                   Str("client ", c, " gives up after sending letters (from line ",
                       client.letter_lines.front(), ")"));
        }
        client.give_up_line = client.give_up_line != 0 ? client.give_up_line : event.line;
    } else if (event.kind == Kind::kClientSends) {
        RecordClientSends(event, client);
    } else {
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
    if (client.letters.size() == static_cast<std::size_t>(MAX_CHARS) + 1) {
        Report("letters", event.line,
               Str("client ", c, " sends more than ", MAX_CHARS, " letters"));
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
    if (event.kind == Kind::kTranslaterEnters && translater.start_line != 0) {
        Report("translater-sequence", event.line,
               Str("translater ", t, " enters a second time (first on line ", translater.start_line,
                   ")"));
    } else if (event.kind != Kind::kTranslaterEnters && translater.lines.empty()) {
        Report("translater-sequence", event.line,
               Str("translater ", t, "'s first line is not its entry line"));
    }
    if (translater.leave_line != 0) {
        Report(
            "translater-sequence", event.line,
            Str("translater ", t, " writes a line after its leaving line ", translater.leave_line));
    }
    translater.lines.push_back(event.line);
    if (event.kind == Kind::kTranslaterEnters) {
        translater.start_line = translater.start_line != 0 ? translater.start_line : event.line;
    } else if (event.kind == Kind::kTranslates) {
        RecordCharacter(event, translater);
    } else if (event.kind == Kind::kJobEnds) {
        RecordJobEnd(event, translater);
    } else {
        if (translater.job_open) {
            Report("translater-sequence", event.line,
                   Str("translater ", t,
                       " leaves in the middle of a job: its character lines "
                       "from line ",
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
    job.count = event.count;
    translater.job_open = false;
    if (static_cast<std::size_t>(event.count) != job.chars.size()) {
        Report("job-count", event.line,
               Str("translater ", event.translater, "'s end-of-job line says ", event.count,
                   " characters, but the job has ", job.chars.size(), " character lines"));
    }
}

// A normal run: every thread wrote its whole story.
void CLogChecker::CheckThreadsComplete() {
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const ClientRecord& client = m_clients[c];
        if (client.lines.empty()) {
            Report("missing-thread", 0, Str("client ", c, " wrote no line"));
        } else if (client.give_up_line == 0 && client.summary_line == 0) {
            Report("client-sequence", client.lines.back(),
                   Str("client ", c,
                       " never finishes: after its last line (this one) comes "
                       "neither a give-up nor a summary line"));
        }
    }
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        const TranslaterRecord& translater = m_translaters[t];
        if (translater.lines.empty()) {
            Report("missing-thread", 0, Str("translater ", t, " wrote no line"));
        } else if (translater.leave_line == 0) {
            Report("translater-sequence", translater.lines.back(),
                   Str("translater ", t, " has no leaving line"));
        }
    }
}

// A failed run: only threads created before the failure may appear, and none
// of them is ever told to stop.
void CLogChecker::CheckFailedRunThreads() {
    const int translaters_created = std::min(m_fail_create_at - 1, NUM_TRANSLATERS);
    const int clients_created = std::max(m_fail_create_at - 1 - NUM_TRANSLATERS, 0);
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        const TranslaterRecord& translater = m_translaters[t];
        if (t >= translaters_created && !translater.lines.empty()) {
            Report("not-created", translater.lines.front(),
                   Str("translater ", t, " writes, but its thread was never created (creation ",
                       m_fail_create_at, " failed)"));
        }
        if (translater.leave_line != 0) {
            Report("translater-sequence", translater.leave_line,
                   Str("translater ", t,
                       " leaves although the run failed: translaters leave "
                       "only at the stop"));
        }
    }
    for (int c = clients_created; c < NUM_CLIENTS; ++c) {
        if (!m_clients[c].lines.empty()) {
            Report("not-created", m_clients[c].lines.front(),
                   Str("client ", c, " writes, but its thread was never created (creation ",
                       m_fail_create_at, " failed)"));
        }
    }
}

// A run cut short: the stop, after which translaters leave and the driver
// writes "All clients finished", comes only once every client has ended, so
// every client's story is whole in a log that shows the stop.
void CLogChecker::CheckStopAfterClients() {
    int stop_line = m_all_clients_lines.empty() ? NEVER : m_all_clients_lines.front();
    for (const TranslaterRecord& translater : m_translaters) {
        if (translater.leave_line != 0) {
            stop_line = std::min(stop_line, translater.leave_line);
        }
    }
    if (stop_line == NEVER) {
        return;
    }
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const ClientRecord& client = m_clients[c];
        if (client.give_up_line == 0 && client.summary_line == 0) {
            Report("stop-order", stop_line,
                   Str("the stop shows here, but client ", c,
                       " never ends: the driver stops the translaters only once every client "
                       "has ended"));
            return;
        }
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
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        const int leave_line = m_translaters[t].leave_line;
        if (leave_line == 0 || leave_line > all_translaters) {
            Report("driver-lines", all_translaters,
                   Str("\"All translaters finished\" before translater ", t, " has left"));
        }
    }
}

// Clients end before "All clients finished"; translaters leave only after the
// stop flag is set, which happens once every client has ended.
void CLogChecker::CheckStopOrder() {
    int last_client_line = 0;
    int last_client = -1;
    const int all_clients = m_all_clients_lines.empty() ? NEVER : m_all_clients_lines.front();
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const std::vector<int>& lines = m_clients[c].lines;
        if (lines.empty()) {
            continue;
        }
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
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        const int leave_line = m_translaters[t].leave_line;
        if (leave_line != 0 && leave_line < last_client_line) {
            Report("leave-order", leave_line,
                   Str("translater ", t, " leaves before client ", last_client, "'s line ",
                       last_client_line, ": translaters leave only after every client has ended"));
        }
    }
}

// Pairs the clients that sent to translater t with its jobs, in order. Lost or
// invented jobs are skipped so that the rest still pair up: an alignment of
// least cost, where a pair whose letters differ costs 1 and a skip costs 2.
void CLogChecker::MatchJobs(int t) {
    std::vector<int>& users = m_users[t];
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        if (m_clients[c].translater == t) {
            users.push_back(c);
        }
    }
    std::sort(users.begin(), users.end(), [this](int a, int b) {
        return m_clients[a].letter_lines.front() < m_clients[b].letter_lines.front();
    });
    const std::vector<TranslatedJob>& jobs = m_translaters[t].jobs;
    const std::size_t n = users.size();
    const std::size_t m = jobs.size();
    const int SKIP = 2;
    auto fits = [&](std::size_t i, std::size_t j) {
        const std::string& letters = m_clients[users[i]].letters;
        return jobs[j].end_line != 0 ? jobs[j].chars == letters
                                     : letters.compare(0, jobs[j].chars.size(), jobs[j].chars) == 0;
    };
    // cost[i][j]: aligning users from i on with jobs from j on.
    std::vector<std::vector<int>> cost(n + 1, std::vector<int>(m + 1, 0));
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = m + 1; j-- > 0;) {
            if (i == n || j == m) {
                cost[i][j] = SKIP * static_cast<int>((n - i) + (m - j));
                continue;
            }
            cost[i][j] = std::min({cost[i + 1][j + 1] + (fits(i, j) ? 0 : 1), cost[i + 1][j] + SKIP,
                                   cost[i][j + 1] + SKIP});
        }
    }
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && cost[i][j] == cost[i + 1][j + 1] + (fits(i, j) ? 0 : 1)) {
            PairJob(t, users[i++], &jobs[j++]);
        } else if (i < n && cost[i][j] == cost[i + 1][j] + SKIP) {
            PairJob(t, users[i++], nullptr);
        } else {
            PairJob(t, -1, &jobs[j++]);
        }
    }
}

void CLogChecker::PairJob(int t, int c, const TranslatedJob* job) {
    if (c >= 0 && job != nullptr) {
        m_job_of[c] = job;
        CompareJob(t, c, *job);
    } else if (c >= 0 && !CutShort()) {
        const ClientRecord& client = m_clients[c];
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
    const ClientRecord& client = m_clients[c];
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
               Str("translater ", t, " ends client ", c,
                   "'s job before the client's summary "
                   "line ",
                   client.summary_line, ", after which it pushes the terminator"));
    }
}

// A translater serves one client at a time: the next client's first letter
// comes after the previous job's end-of-job line, since the claim is released
// only after that line.
void CLogChecker::CheckExclusive(int t) {
    const std::vector<int>& users = m_users[t];
    for (std::size_t k = 1; k < users.size(); ++k) {
        const int previous = users[k - 1];
        const int c = users[k];
        const int first_letter = m_clients[c].letter_lines.front();
        const TranslatedJob* job = m_job_of[previous];
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
std::vector<ClaimSpan> CLogChecker::ClaimSpans(int t) const {
    const std::vector<int>& users = m_users[t];
    std::vector<ClaimSpan> spans;
    for (std::size_t k = 0; k < users.size(); ++k) {
        ClaimSpan span;
        span.client = users[k];
        span.after = m_clients[users[k]].start_line;
        // In a broken log the previous job may end after this client began;
        // then that bound says nothing.
        const TranslatedJob* previous = k > 0 ? m_job_of[users[k - 1]] : nullptr;
        if (previous != nullptr && previous->end_line < m_clients[users[k]].letter_lines.front()) {
            span.after = std::max(span.after, previous->end_line);
        }
        if (k + 1 < users.size()) {
            span.before = m_clients[users[k + 1]].letter_lines.front();
        }
        if (m_translaters[t].leave_line != 0) {
            span.before = std::min(span.before, m_translaters[t].leave_line);
        }
        spans.push_back(span);
    }
    return spans;
}

// Whether some claim of translater t can have been held at a moment strictly
// between the two lines. A client that entered but wrote nothing more (a run
// cut short) may hold a claim of any translater.
bool CLogChecker::HeldBetween(int t, int after, int before, int except_client) const {
    const std::vector<ClaimSpan> spans = ClaimSpans(t);
    if (std::any_of(spans.begin(), spans.end(), [&](const ClaimSpan& span) {
            return span.client != except_client && span.after < before && span.before > after;
        })) {
        return true;
    }
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const ClientRecord& client = m_clients[c];
        if (c != except_client && client.start_line != 0 && client.start_line < before &&
            client.give_up_line == 0 && client.letters.empty()) {
            return true;
        }
    }
    return false;
}

// A client tries the translaters once, lowest first, between its entry line
// and its give-up or first letter line; each one it passed over was claimed
// at that moment.
void CLogChecker::CheckClaims() {
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const ClientRecord& client = m_clients[c];
        int passed_over = 0;
        int decided_line = 0;
        if (client.give_up_line != 0 && client.letters.empty()) {
            passed_over = NUM_TRANSLATERS;
            decided_line = client.give_up_line;
        } else if (client.translater > 0) {
            passed_over = client.translater;
            decided_line = client.letter_lines.front();
        }
        for (int t = 0; t < passed_over; ++t) {
            if (HeldBetween(t, client.start_line, decided_line, c)) {
                continue;
            }
            if (passed_over == NUM_TRANSLATERS) {
                Report("turned-away", decided_line,
                       Str("client ", c, " is turned away, but no client held translater ", t,
                           " at any moment between its entry line ", client.start_line,
                           " and this line"));
            } else {
                Report("lowest-free", decided_line,
                       Str("client ", c, " takes translater ", client.translater,
                           ", but no client held translater ", t,
                           " at any moment between its entry line ", client.start_line,
                           " and this line: a client takes the lowest free translater"));
            }
        }
    }
}

Summary CLogChecker::BuildSummary() const {
    Summary summary;
    summary.line_count = m_line_count;
    for (int c = 0; c < NUM_CLIENTS; ++c) {
        const ClientRecord& client = m_clients[c];
        const int end_line = client.give_up_line != 0 ? client.give_up_line : client.summary_line;
        summary.clients[c] = ThreadLines{client.start_line, end_line};
        if (client.give_up_line != 0 && client.letters.empty()) {
            summary.turned_away.push_back(TurnedAway{c, client.give_up_line});
        }
        if (!client.letters.empty()) {
            Job job;
            job.client = c;
            job.translater = client.translater;
            job.letters = client.letters;
            job.count = client.summary_line != 0 ? client.summary_count
                                                 : static_cast<int>(client.letters.size());
            job.first_letter_line = client.letter_lines.front();
            job.summary_line = client.summary_line;
            job.end_line = m_job_of[c] != nullptr ? m_job_of[c]->end_line : 0;
            summary.jobs.push_back(job);
        }
    }
    std::sort(summary.jobs.begin(), summary.jobs.end(),
              [](const Job& a, const Job& b) { return a.first_letter_line < b.first_letter_line; });
    std::sort(summary.turned_away.begin(), summary.turned_away.end(),
              [](const TurnedAway& a, const TurnedAway& b) { return a.line < b.line; });
    for (int t = 0; t < NUM_TRANSLATERS; ++t) {
        summary.translaters[t] =
            ThreadLines{m_translaters[t].start_line, m_translaters[t].leave_line};
    }
    summary.all_clients_line = m_all_clients_lines.empty() ? 0 : m_all_clients_lines.front();
    summary.all_translaters_line =
        m_all_translaters_lines.empty() ? 0 : m_all_translaters_lines.front();
    return summary;
}

}  // namespace

Result CheckRun(const std::string& out, const std::string& err, int exit_status) {
    return CLogChecker(RunKind::kNormal).Check(out, err, exit_status);
}

Result CheckFailedRun(const std::string& out, const std::string& err, int exit_status,
                      int fail_create_at) {
    if (fail_create_at < 1 || fail_create_at > NUM_CREATIONS) {
        throw std::invalid_argument(
            Str("creation ", fail_create_at, " is not one of 1 to ", NUM_CREATIONS));
    }
    return CLogChecker(RunKind::kFailedCreate, fail_create_at).Check(out, err, exit_status);
}

Result CheckStoppedRun(const std::string& out, const std::string& err, int exit_status) {
    return CLogChecker(RunKind::kStopped).Check(out, err, exit_status);
}

Result CheckCutRun(const std::string& out, const std::string& err, int exit_status) {
    return CLogChecker(RunKind::kCut).Check(out, err, exit_status);
}

bool IsLineBeginning(const std::string& text) {
    return std::any_of(std::begin(LINE_FORMS), std::end(LINE_FORMS),
                       [&](const char* form) { return BeginsForm(text, 0, form, '\0'); });
}

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

std::string FormatFindings(const Result& result, std::size_t max_findings) {
    std::ostringstream text;
    const std::size_t shown = std::min(max_findings, result.findings.size());
    for (std::size_t i = 0; i < shown; ++i) {
        const Finding& finding = result.findings[i];
        if (finding.line != 0) {
            text << "line " << finding.line << ": ";
        } else {
            text << "run: ";
        }
        text << "[" << finding.rule << "] " << finding.message << "\n";
    }
    if (shown < result.findings.size()) {
        text << "... and " << result.findings.size() - shown << " more findings\n";
    }
    return text.str();
}

}  // namespace logcheck
