// The log checker must reject each way a log can be broken and accept every
// legal interleaving, the unusual ones included. The logs are built line by
// line with CLogBuilder; a broken log differs from a legal one in one respect.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "log_checker.h"
#include "records.h"

namespace {

using logcheck::LineKind;
using logcheck::Result;

// The logs here are of runs of these sizes, apart from the build's, so that
// the checker is seen to follow the sizes it is given.
const logcheck::Sizes SIZES{3, 12, 20, 1000};
const int LAST_CLIENT = SIZES.clients - 1;

const char* const CREATE_FAILED = logcheck::CREATE_FAILED_TEXT;
const char* const UNKNOWN_EXCEPTION = logcheck::UNKNOWN_EXCEPTION_TEXT;
const char* const WRITE_FAILED = logcheck::WRITE_FAILED_TEXT;

template <typename... Parts>
std::string Str(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

// The lines of the program, written through the shared definition of their
// forms; a translated character comes out with its case swapped.
std::string Format(LineKind kind, int t = -1, int c = -1, int n = 0, char ch = 0) {
    return logcheck::FormatLine(logcheck::Line{kind, t, c, n, ch, logcheck::SwapCase(ch)});
}
const auto Entry = [](int c) -> std::string { return Format(LineKind::kClientEnters, -1, c); };
const auto GiveUp = [](int c) -> std::string { return Format(LineKind::kClientGivesUp, -1, c); };
const auto Sending = [](int c, int t, char ch) -> std::string {
    return Format(LineKind::kClientSends, t, c, 0, ch);
};
const auto Sended = [](int c, int t, int n) -> std::string {
    return Format(LineKind::kClientSended, t, c, n);
};
const auto Takes = [](int t, char ch) -> std::string {
    return Format(LineKind::kTranslates, t, -1, 0, ch);
};
const auto Translated = [](int t, int n) -> std::string {
    return Format(LineKind::kJobEnds, t, -1, n);
};
const auto TranslaterEntry = [](int t) -> std::string {
    return Format(LineKind::kTranslaterEnters, t);
};
const auto Leaving = [](int t) -> std::string { return Format(LineKind::kTranslaterLeaves, t); };
const std::string ALL_CLIENTS = Format(LineKind::kAllClients);
const std::string ALL_TRANSLATERS = Format(LineKind::kAllTranslaters);

// The checks, of runs of SIZES.
bool IsLineBeginning(const std::string& text) {
    return logcheck::IsLineBeginning(text, SIZES);
}
Result CheckRun(const std::string& out, const std::string& err, int status) {
    return logcheck::CheckRun(out, err, status, SIZES);
}
Result CheckFailedRun(const std::string& out, const std::string& err, int status, int at) {
    return logcheck::CheckFailedRun(out, err, status, at, SIZES);
}
Result CheckStoppedRun(const std::string& out, const std::string& err, int status) {
    return logcheck::CheckStoppedRun(out, err, status, SIZES);
}
Result CheckCutRun(const std::string& out, const std::string& err, int status) {
    return logcheck::CheckCutRun(out, err, status, SIZES);
}

// Builds a log line by line, as the program would write it.
class CLogBuilder {
public:
    CLogBuilder& Line(const std::string& text) {
        m_lines.push_back(text);
        return *this;
    }
    CLogBuilder& Enters(int c) {
        m_seen.at(c) = true;
        return Line(Entry(c));
    }
    CLogBuilder& GivesUp(int c) { return Line(GiveUp(c)); }
    CLogBuilder& Sends(int c, int t, const std::string& letters) {
        for (const char letter : letters) {
            Line(Sending(c, t, letter));
        }
        return *this;
    }
    CLogBuilder& Sent(int c, int t, int n) { return Line(Sended(c, t, n)); }
    CLogBuilder& Translates(int t, const std::string& letters) {
        for (const char letter : letters) {
            Line(Takes(t, letter));
        }
        return *this;
    }
    CLogBuilder& JobEnds(int t, int n) { return Line(Translated(t, n)); }
    // A whole job with each letter translated right after it is sent.
    CLogBuilder& Job(int c, int t, const std::string& letters) {
        Enters(c);
        for (const char letter : letters) {
            Line(Sending(c, t, letter)).Line(Takes(t, letter));
        }
        const int n = static_cast<int>(letters.size());
        return Sent(c, t, n).JobEnds(t, n);
    }
    CLogBuilder& Start() {
        for (int t = 0; t < SIZES.translaters; ++t) {
            Line(TranslaterEntry(t));
        }
        return *this;
    }
    // Every client below `end` not seen yet runs a one-letter job on
    // translater 0, one after another.
    CLogBuilder& OtherClients(int end = SIZES.clients) {
        for (int c = 0; c < end; ++c) {
            if (!m_seen.at(c)) {
                Job(c, 0, std::string(1, static_cast<char>('a' + c % 25)));
            }
        }
        return *this;
    }
    CLogBuilder& Stop() {
        Line(ALL_CLIENTS);
        for (int t = 0; t < SIZES.translaters; ++t) {
            Line(Leaving(t));
        }
        return Line(ALL_TRANSLATERS);
    }
    // 1-based number of the nth line with this text; throws if there is none.
    int LineOf(const std::string& text, int nth = 1) const {
        for (std::size_t i = 0; i < m_lines.size(); ++i) {
            if (m_lines[i] == text && --nth == 0) {
                return static_cast<int>(i) + 1;
            }
        }
        throw std::logic_error("no line " + text);
    }
    // Moves line `from` so that it becomes line `to` (both 1-based).
    CLogBuilder& Move(int from, int to) {
        const std::string text = m_lines.at(from - 1);
        m_lines.erase(m_lines.begin() + (from - 1));
        m_lines.insert(m_lines.begin() + (to - 1), text);
        return *this;
    }
    CLogBuilder& Erase(int line) {
        m_lines.erase(m_lines.begin() + (line - 1));
        return *this;
    }
    CLogBuilder& Replace(int line, const std::string& text) {
        m_lines.at(line - 1) = text;
        return *this;
    }
    CLogBuilder& Insert(int line, const std::string& text) {
        m_lines.insert(m_lines.begin() + (line - 1), text);
        return *this;
    }
    std::string Text() const {
        std::string text;
        for (const std::string& line : m_lines) {
            text += line + "\n";
        }
        return text;
    }
    int Size() const { return static_cast<int>(m_lines.size()); }

private:
    std::vector<std::string> m_lines;
    std::vector<bool> m_seen = std::vector<bool>(SIZES.clients);
};

// Three clients hold the three translaters at once while two more are turned
// away, one of them just after translater 0's end-of-job line, when that
// translater may not have released its claim yet.
CLogBuilder BusyRun() {
    CLogBuilder log;
    log.Start();
    log.Enters(0).Sends(0, 0, "ab");
    log.Enters(1).Sends(1, 1, "C");
    log.Enters(2).Sends(2, 2, "De");
    log.Enters(3).GivesUp(3);
    log.Translates(0, "ab").Sent(0, 0, 2).JobEnds(0, 2);
    log.Enters(4).GivesUp(4);
    log.Translates(1, "C").Sent(1, 1, 1).Translates(2, "De").Sent(2, 2, 2);
    log.JobEnds(2, 2).JobEnds(1, 1);
    return log.OtherClients().Stop();
}

testing::AssertionResult IsClean(const Result& result) {
    if (result.Clean()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "findings:\n" << logcheck::FormatFindings(result);
}

// The result has a finding of this rule on this line whose message has these words.
testing::AssertionResult Has(const Result& result, const std::string& rule, int line,
                             const std::string& words) {
    for (const logcheck::Finding& finding : result.findings) {
        if (finding.rule == rule && finding.line == line &&
            finding.message.find(words) != std::string::npos) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "no [" << rule << "] finding on line " << line
                                       << " saying \"" << words << "\"; findings:\n"
                                       << logcheck::FormatFindings(result);
}

Result Check(const CLogBuilder& log) {
    return CheckRun(log.Text(), "", 0);
}

TEST(LogCheckAccepts, BusyRunWithClientsTurnedAway) {
    const CLogBuilder log = BusyRun();
    const Result result = Check(log);
    ASSERT_TRUE(IsClean(result));
    const logcheck::Summary& summary = result.summary;
    EXPECT_EQ(summary.line_count, log.Size());
    ASSERT_EQ(summary.jobs.size(), static_cast<std::size_t>(SIZES.clients - 2));
    EXPECT_EQ(summary.jobs[1].client, 1);
    EXPECT_EQ(summary.jobs[1].translater, 1);
    EXPECT_EQ(summary.jobs[1].letters, "C");
    EXPECT_EQ(summary.jobs[1].first_letter_line, log.LineOf(Sending(1, 1, 'C')));
    EXPECT_EQ(summary.jobs[1].summary_line, log.LineOf(Sended(1, 1, 1)));
    EXPECT_EQ(summary.jobs[1].end_line, log.LineOf(Translated(1, 1)));
    ASSERT_EQ(summary.turned_away.size(), 2u);
    EXPECT_EQ(summary.turned_away[1].client, 4);
    EXPECT_EQ(summary.turned_away[1].line, log.LineOf(GiveUp(4)));
    EXPECT_EQ(summary.translaters[2].start_line, 3);
    EXPECT_EQ(summary.translaters[2].leave_line, log.Size() - 1);
    EXPECT_EQ(summary.all_clients_line, log.LineOf(ALL_CLIENTS));
    EXPECT_EQ(summary.all_translaters_line, log.Size());
}

TEST(LogCheckAccepts, TranslaterLinesAfterAllClientsFinished) {
    CLogBuilder log;
    log.Start().OtherClients(LAST_CLIENT).Enters(LAST_CLIENT);
    log.Sends(LAST_CLIENT, 0, "xY").Sent(LAST_CLIENT, 0, 2);
    log.Line(ALL_CLIENTS).Translates(0, "xY").JobEnds(0, 2);
    log.Line(Leaving(1)).Line(Leaving(0)).Line(Leaving(2)).Line(ALL_TRANSLATERS);
    EXPECT_TRUE(IsClean(Check(log)));
}

// The stop flag is set just before the driver writes "All clients finished", so
// a translater can see it and leave first; one that never ran before the stop
// even enters after that line.
TEST(LogCheckAccepts, TranslaterLeavesBeforeAllClientsFinished) {
    CLogBuilder log;
    log.Line(TranslaterEntry(0)).Line(TranslaterEntry(1)).OtherClients();
    log.Line(Leaving(1)).Line(ALL_CLIENTS).Line(TranslaterEntry(2)).Line(Leaving(2));
    log.Line(Leaving(0)).Line(ALL_TRANSLATERS);
    EXPECT_TRUE(IsClean(Check(log)));
}

TEST(LogCheckAccepts, JobEndsLongAfterItsClientsSummary) {
    CLogBuilder log;
    log.Start().Enters(0).Sends(0, 0, "abc").Sent(0, 0, 3);
    log.Enters(1).Sends(1, 1, "X").Translates(0, "abc").Sent(1, 1, 1);
    log.Enters(2).Sends(2, 2, "m").Translates(1, "X").JobEnds(0, 3).Translates(2, "m");
    log.Sent(2, 2, 1).JobEnds(1, 1).JobEnds(2, 1).Enters(3).GivesUp(3);
    EXPECT_TRUE(IsClean(Check(log.OtherClients().Stop())));
}

// A claim taken while the translater thread is still starting survives, so a
// client may send before its translater's entry line, and clients need not
// enter in the order in which they were created.
TEST(LogCheckAccepts, ClientsBeforeTheirTranslaterAndOutOfOrder) {
    CLogBuilder log;
    log.Enters(1).Sends(1, 0, "pQ").Line(TranslaterEntry(0)).Enters(0).Sends(0, 1, "r");
    log.Line(TranslaterEntry(2)).Translates(0, "pQ").Sent(1, 0, 2).JobEnds(0, 2);
    log.Line(TranslaterEntry(1)).Translates(1, "r").Sent(0, 1, 1).JobEnds(1, 1);
    EXPECT_TRUE(IsClean(Check(log.OtherClients().Stop())));
}

TEST(LogCheckAccepts, LongestJob) {
    const std::string letters(SIZES.max_chars, 'y');
    CLogBuilder log;
    log.Start().Job(0, 0, letters);
    EXPECT_TRUE(IsClean(Check(log.OtherClients().Stop())));
}

TEST(LogCheckRejects, RunEndsBadly) {
    const std::string out = BusyRun().Text();
    EXPECT_TRUE(Has(CheckRun(out, "", 1), "exit-status", 0, "exit status 1, expected 0"));
    EXPECT_TRUE(Has(CheckRun(out, "", -1), "exit-status", 0, "did not exit by itself"));
    EXPECT_TRUE(Has(CheckRun(out, "oops\n", 0), "stderr", 0, "not empty: \"oops\\x0A\""));
    EXPECT_TRUE(Has(CheckRun(out.substr(0, out.size() - 1), "", 0), "format", BusyRun().Size(),
                    "does not end with a newline"));
}

TEST(LogCheckRejects, UnknownLines) {
    const std::string bad_lines[] = {
        "Client 3: Entering Thread",
        "Client 03: Entering thread",
        "Client 3:  Entering thread",
        "Client 3>1: Sending ab",
        "Client 3>1: Sended 2 characters, leaving thread ",
        "Client 3>1: Sent 2 characters, leaving thread",
        "Translater 1: Translated 2 character",
        "Translater 1: a-> A",
        "Translater 1: Entering thread\r",
        "Translater -1: Leaving thread",
        "All clients finished.",
        "",
    };
    for (const std::string& bad : bad_lines) {
        CLogBuilder log = BusyRun();
        log.Insert(10, bad);
        EXPECT_TRUE(Has(Check(log), "format", 10, "unknown line")) << bad;
    }
    CLogBuilder log = BusyRun();
    log.Insert(10, Entry(SIZES.clients)).Insert(11, Leaving(SIZES.translaters));
    const Result result = Check(log);
    EXPECT_TRUE(Has(result, "format", 10, Str("client ", SIZES.clients, " does not exist")));
    EXPECT_TRUE(
        Has(result, "format", 11, Str("translater ", SIZES.translaters, " does not exist")));
}

TEST(LogCheckRejects, LostJob) {
    CLogBuilder log;
    log.Start().Job(0, 0, "ab").Enters(1).Sends(1, 0, "cd").Sent(1, 0, 2).Job(2, 0, "e");
    const Result result = Check(log.OtherClients().Stop());
    EXPECT_TRUE(Has(result, "lost-job", log.LineOf(Sending(1, 0, 'c')),
                    "client 1 sends 2 letters \"cd\" to translater 0"));
    EXPECT_EQ(result.findings.size(), 1u) << logcheck::FormatFindings(result);
}

TEST(LogCheckRejects, InventedJobs) {
    CLogBuilder log = BusyRun();
    log.Insert(log.LineOf(ALL_CLIENTS), Takes(2, 'q'));
    log.Insert(log.LineOf(ALL_CLIENTS), Translated(2, 1));
    log.Insert(log.LineOf(ALL_CLIENTS), Translated(1, 0));
    const Result result = Check(log);
    EXPECT_TRUE(Has(result, "invented-job", log.LineOf(Translated(2, 1)),
                    "translater 2's job of 1 characters (ending here) belongs to no client"));
    EXPECT_TRUE(Has(result, "invented-job", log.LineOf(Translated(1, 0)),
                    "translater 1's job of 0 characters"));
}

TEST(LogCheckRejects, LettersSwappedChangedOrDropped) {
    CLogBuilder swapped;
    swapped.Start().Enters(0).Sends(0, 0, "ab").Translates(0, "ba").Sent(0, 0, 2).JobEnds(0, 2);
    EXPECT_TRUE(Has(Check(swapped.OtherClients().Stop()), "job-letters",
                    swapped.LineOf(Takes(0, 'b')),
                    "takes 'b' as character 1 of client 0's job, but the client sent 'a'"));

    CLogBuilder changed = BusyRun();
    changed.Replace(changed.LineOf(Takes(2, 'e')), Takes(2, 'f'));
    EXPECT_TRUE(Has(Check(changed), "job-letters", changed.LineOf(Takes(2, 'f')),
                    "takes 'f' as character 2 of client 2's job, but the client sent 'e'"));

    CLogBuilder dropped;
    dropped.Start().Enters(0).Sends(0, 0, "abc").Translates(0, "ac").Sent(0, 0, 3).JobEnds(0, 2);
    const Result result = Check(dropped.OtherClients().Stop());
    EXPECT_TRUE(
        Has(result, "job-letters", dropped.LineOf(Takes(0, 'c')), "takes 'c' as character 2"));
    EXPECT_TRUE(Has(result, "job-letters", dropped.LineOf(Translated(0, 2)),
                    "has 2 character lines, but the client sent 3 letters"));
}

TEST(LogCheckRejects, WrongTranslationOrLetter) {
    CLogBuilder log = BusyRun();
    log.Replace(log.LineOf(Takes(1, 'C')), "Translater 1: C -> C");
    EXPECT_TRUE(Has(Check(log), "translation", log.LineOf("Translater 1: C -> C"),
                    "translates 'C' into 'C'; its translation is 'c'"));

    CLogBuilder z;
    z.Start().Job(0, 0, "z");
    const Result result = Check(z.OtherClients().Stop());
    EXPECT_TRUE(Has(result, "letters", z.LineOf(Sending(0, 0, 'z')), "client 0 sends 'z'"));
    EXPECT_TRUE(Has(result, "letters", z.LineOf(Takes(0, 'z')), "translater 0 takes 'z'"));

    CLogBuilder too_long;
    too_long.Start().Job(0, 0, std::string(SIZES.max_chars + 1, 'k'));
    EXPECT_TRUE(Has(Check(too_long.OtherClients().Stop()), "letters", 5 + 2 * SIZES.max_chars,
                    Str("client 0 sends more than ", SIZES.max_chars, " letters")));
}

TEST(LogCheckRejects, WrongCounts) {
    CLogBuilder summary;
    summary.Start().Enters(0).Sends(0, 0, "abc").Translates(0, "abc").Sent(0, 0, 4).JobEnds(0, 3);
    EXPECT_TRUE(Has(Check(summary.OtherClients().Stop()), "job-count",
                    summary.LineOf(Sended(0, 0, 4)),
                    "client 0's summary says 4 characters, but it sent 3 letters"));

    CLogBuilder end;
    end.Start().Enters(0).Sends(0, 0, "abc").Translates(0, "abc").Sent(0, 0, 3).JobEnds(0, 2);
    EXPECT_TRUE(Has(Check(end.OtherClients().Stop()), "job-count", end.LineOf(Translated(0, 2)),
                    "end-of-job line says 2 characters, but the job has 3 character lines"));
}

TEST(LogCheckRejects, TwoClientsOnOneTranslaterAtOnce) {
    CLogBuilder log;
    log.Start().Enters(0).Enters(1).Sends(0, 0, "a").Translates(0, "a").Sends(1, 0, "b");
    log.Sent(0, 0, 1).JobEnds(0, 1).Translates(0, "b").Sent(1, 0, 1).JobEnds(0, 1);
    EXPECT_TRUE(Has(Check(log.OtherClients().Stop()), "exclusive-claim",
                    log.LineOf(Sending(1, 0, 'b')),
                    "client 1 starts sending to translater 0 before the translater ends client "
                    "0's job on line 10"));
}

TEST(LogCheckRejects, TranslationBeforeItsLetter) {
    CLogBuilder log;
    log.Start().Enters(0).Sends(0, 0, "a").Translates(0, "ab").Sends(0, 0, "b");
    log.Sent(0, 0, 2).JobEnds(0, 2);
    EXPECT_TRUE(Has(Check(log.OtherClients().Stop()), "translation-order",
                    log.LineOf(Takes(0, 'b')),
                    "translates client 0's letter 2 before the client writes its letter line 8"));
}

TEST(LogCheckRejects, JobEndsBeforeItsClientsSummary) {
    CLogBuilder log;
    log.Start().Enters(0).Sends(0, 0, "a").Translates(0, "a").JobEnds(0, 1).Sent(0, 0, 1);
    EXPECT_TRUE(Has(Check(log.OtherClients().Stop()), "job-end-order", log.LineOf(Translated(0, 1)),
                    "ends client 0's job before the client's summary line 8"));
}

TEST(LogCheckRejects, ClientTurnedAwayWhileATranslaterIsFree) {
    CLogBuilder log;
    log.Start().Enters(0).Sends(0, 0, "a").Enters(1).Sends(1, 1, "b").Enters(2).GivesUp(2);
    log.Translates(0, "a").Sent(0, 0, 1).JobEnds(0, 1).Translates(1, "b").Sent(1, 1, 1);
    log.JobEnds(1, 1).OtherClients().Stop();
    EXPECT_TRUE(Has(Check(log), "turned-away", log.LineOf(GiveUp(2)),
                    "client 2 is turned away, but no client held translater 2 at any moment "
                    "between its entry line 8 and this line"));
}

TEST(LogCheckRejects, ClientPassesOverAFreeTranslater) {
    CLogBuilder log;
    log.Start().Job(1, 1, "b").Job(0, 0, "a");
    EXPECT_TRUE(Has(Check(log.OtherClients().Stop()), "lowest-free", log.LineOf(Sending(1, 1, 'b')),
                    "client 1 takes translater 1, but no client held translater 0"));
}

TEST(LogCheckRejects, ClientLinesOutOfSequence) {
    CLogBuilder after_summary = BusyRun();
    after_summary.Insert(after_summary.LineOf(Sended(2, 2, 2)) + 1, Sending(2, 2, 'x'));
    EXPECT_TRUE(Has(Check(after_summary), "client-sequence",
                    after_summary.LineOf(Sended(2, 2, 2)) + 1,
                    "client 2 writes a line after its leaving line"));

    CLogBuilder two_translaters;
    two_translaters.Start().Enters(0).Sends(0, 0, "a").Sends(0, 1, "b").Sent(0, 1, 2);
    two_translaters.Translates(0, "a").JobEnds(0, 1).OtherClients().Stop();
    EXPECT_TRUE(Has(Check(two_translaters), "client-sequence",
                    two_translaters.LineOf(Sending(0, 1, 'b')),
                    "client 0 sends to translater 1 after sending to translater 0"));

    CLogBuilder unfinished;
    unfinished.Start().Enters(0).Sends(0, 0, "a").Translates(0, "a").JobEnds(0, 1);
    const Result result = Check(unfinished.OtherClients().Stop());
    EXPECT_TRUE(Has(result, "client-sequence", unfinished.LineOf(Sending(0, 0, 'a')),
                    "client 0 never finishes"));

    CLogBuilder missing;
    missing.Start().OtherClients(LAST_CLIENT).Stop();
    EXPECT_TRUE(
        Has(Check(missing), "missing-thread", 0, Str("client ", LAST_CLIENT, " wrote no line")));
    CLogBuilder two_missing;
    two_missing.Start().OtherClients(LAST_CLIENT - 1).Stop();
    EXPECT_TRUE(Has(Check(two_missing), "missing-thread", 0,
                    Str("clients ", LAST_CLIENT - 1, " to ", LAST_CLIENT, " wrote no line")));
}

TEST(LogCheckRejects, TranslaterLinesOutOfSequence) {
    CLogBuilder early = BusyRun();
    early.Move(early.LineOf(Takes(1, 'C')), 1);
    EXPECT_TRUE(Has(Check(early), "translater-sequence", 1,
                    "translater 1's first line is not its entry line"));

    CLogBuilder mid_job;
    mid_job.Start().OtherClients(LAST_CLIENT).Enters(LAST_CLIENT);
    mid_job.Sends(LAST_CLIENT, 0, "QR").Sent(LAST_CLIENT, 0, 2);
    mid_job.Translates(0, "Q").Line(ALL_CLIENTS).Line(Leaving(0)).Translates(0, "R");
    mid_job.JobEnds(0, 2).Line(Leaving(1)).Line(Leaving(2)).Line(ALL_TRANSLATERS);
    const Result result = Check(mid_job);
    EXPECT_TRUE(Has(result, "translater-sequence", mid_job.LineOf(Leaving(0)),
                    "translater 0 leaves in the middle of a job"));
    EXPECT_TRUE(Has(result, "translater-sequence", mid_job.LineOf(Takes(0, 'R')),
                    "translater 0 writes a line after its leaving line"));

    CLogBuilder no_leave = BusyRun();
    no_leave.Erase(no_leave.LineOf(Leaving(2)));
    EXPECT_TRUE(Has(Check(no_leave), "translater-sequence", no_leave.LineOf(Translated(2, 2)),
                    "translater 2 has no leaving line"));
}

TEST(LogCheckRejects, ClientLineAfterAllClientsFinished) {
    CLogBuilder log = BusyRun();
    log.Move(log.LineOf(ALL_CLIENTS), log.LineOf(Sended(LAST_CLIENT, 0, 1)));
    EXPECT_TRUE(Has(Check(log), "after-all-clients", log.LineOf(Sended(LAST_CLIENT, 0, 1)),
                    Str("client ", LAST_CLIENT, " writes after \"All clients finished\"")));
}

TEST(LogCheckRejects, TranslaterLeavesBeforeAClientEnds) {
    CLogBuilder log = BusyRun();
    log.Move(log.LineOf(Leaving(1)), log.LineOf(Sended(LAST_CLIENT, 0, 1)));
    EXPECT_TRUE(Has(Check(log), "leave-order", log.LineOf(Leaving(1)),
                    Str("translater 1 leaves before client ", LAST_CLIENT, "'s line")));
}

TEST(LogCheckRejects, DriverLinesMissingRepeatedOrMisplaced) {
    CLogBuilder after_end = BusyRun();
    after_end.Move(after_end.LineOf(Leaving(2)), after_end.Size());
    EXPECT_TRUE(Has(Check(after_end), "driver-lines", after_end.Size(),
                    "a line after \"All translaters finished\""));

    CLogBuilder twice = BusyRun();
    twice.Insert(twice.Size(), ALL_CLIENTS);
    EXPECT_TRUE(Has(Check(twice), "driver-lines", twice.Size() - 1,
                    "a second \"All clients finished\" line"));

    CLogBuilder missing = BusyRun();
    missing.Erase(missing.Size());
    EXPECT_TRUE(Has(Check(missing), "driver-lines", 0, "no \"All translaters finished\" line"));
}

// A run whose eighth creation (client 4) failed: translaters 0 to 2 and clients
// 0 to 3 exist, each cut short anywhere.
CLogBuilder CutRun() {
    CLogBuilder log;
    log.Line(TranslaterEntry(0)).Enters(0).Sends(0, 0, "ab").Line(TranslaterEntry(2));
    log.Translates(0, "ab").Sent(0, 0, 2).JobEnds(0, 2).Enters(2).Enters(1).Sends(1, 0, "cde");
    return log.Translates(0, "c").Enters(3).GivesUp(3);
}

TEST(LogCheckFailedRun, AcceptsARunCutShort) {
    EXPECT_TRUE(IsClean(CheckFailedRun(CutRun().Text(), CREATE_FAILED, 1, 8)));
    EXPECT_TRUE(IsClean(CheckFailedRun("", CREATE_FAILED, 1, 1)));
    EXPECT_TRUE(IsClean(CheckFailedRun(TranslaterEntry(1) + "\n", CREATE_FAILED, 1, 3)));
}

TEST(LogCheckFailedRun, RejectsWhatCannotFollowAFailure) {
    const std::string out = CutRun().Text();
    EXPECT_TRUE(Has(CheckFailedRun(out, CREATE_FAILED, 0, 8), "exit-status", 0,
                    "exit status 0, expected 1 after a failed thread creation"));
    EXPECT_TRUE(Has(CheckFailedRun(out, "Unknown exception occured!\n", 1, 8), "stderr", 0,
                    "expected exactly \"Unable to create thread\""));
    EXPECT_TRUE(Has(CheckFailedRun(out, CREATE_FAILED, 1, 7), "not-created",
                    CutRun().LineOf(Entry(3)),
                    "client 3 writes, but its thread was never created"));
    EXPECT_TRUE(Has(CheckFailedRun(out, CREATE_FAILED, 1, 3), "not-created",
                    CutRun().LineOf(TranslaterEntry(2)), "translater 2 writes"));
    EXPECT_THROW(CheckFailedRun(out, CREATE_FAILED, 1, 0), std::invalid_argument);
    EXPECT_THROW(CheckFailedRun(out, CREATE_FAILED, 1, SIZES.Creations() + 1),
                 std::invalid_argument);

    CLogBuilder stopped = CutRun();
    stopped.Line(ALL_CLIENTS).Line(Leaving(2));
    const Result result = CheckFailedRun(stopped.Text(), CREATE_FAILED, 1, 8);
    EXPECT_TRUE(Has(result, "driver-lines", stopped.Size() - 1,
                    "\"All clients finished\" in a failed run"));
    EXPECT_TRUE(Has(result, "translater-sequence", stopped.Size(),
                    "translater 2 leaves although the run failed"));
}

TEST(LogCheckFailedRun, RejectsBrokenJobsInARunCutShort) {
    CLogBuilder overlap = CutRun();
    overlap.Sends(2, 0, "f");
    EXPECT_TRUE(Has(CheckFailedRun(overlap.Text(), CREATE_FAILED, 1, 8), "exclusive-claim",
                    overlap.Size(),
                    "client 2 starts sending to translater 0 while client 1's job "
                    "there has no end-of-job line"));

    CLogBuilder wrong = CutRun();
    wrong.Translates(0, "x");
    EXPECT_TRUE(Has(CheckFailedRun(wrong.Text(), CREATE_FAILED, 1, 8), "job-letters", wrong.Size(),
                    "takes 'x' as character 2 of client 1's job"));
}

// A client that entered and wrote nothing more may hold any translater when
// the run is cut short; without such a client the give-up is unexplained.
TEST(LogCheckFailedRun, TurnedAwayOnlyWhenEveryTranslaterCanBeHeld) {
    CLogBuilder log;
    log.Start().Enters(0).Sends(0, 0, "a").Enters(1).Enters(2).Enters(3).GivesUp(3);
    EXPECT_TRUE(IsClean(CheckFailedRun(log.Text(), CREATE_FAILED, 1, 10)));

    CLogBuilder unexplained;
    unexplained.Start().Enters(0).Sends(0, 0, "a").Enters(1).Sends(1, 1, "b").Enters(3).GivesUp(3);
    unexplained.Enters(2);
    EXPECT_TRUE(Has(CheckFailedRun(unexplained.Text(), CREATE_FAILED, 1, 10), "turned-away",
                    unexplained.LineOf(GiveUp(3)), "no client held translater 2"));
}

// A run that a failure ended at any point: every beginning of a legal log,
// whole lines only, is a legal stopped run, under either failure report.
TEST(LogCheckStoppedRun, AcceptsEveryBeginningOfALegalRun) {
    const std::string out = BusyRun().Text();
    for (std::size_t end = 0; end <= out.size(); end = out.find('\n', end) + 1) {
        for (const char* err : {CREATE_FAILED, UNKNOWN_EXCEPTION}) {
            EXPECT_TRUE(IsClean(CheckStoppedRun(out.substr(0, end), err, 1)))
                << "the first " << end << " bytes, " << err;
        }
        if (end == out.size()) {
            break;
        }
    }
    EXPECT_TRUE(IsClean(CheckStoppedRun(CutRun().Text(), UNKNOWN_EXCEPTION, 1)));
}

// A client whose Push failed wrote its letter line, and its translater never
// took the letter; the stop itself may come with a job still open.
TEST(LogCheckStoppedRun, AcceptsAJobCutShortAndAStopUnderWay) {
    CLogBuilder push_failed;
    push_failed.Start().Job(0, 0, "ab").Enters(1).Sends(1, 0, "cd").Translates(0, "c");
    EXPECT_TRUE(IsClean(CheckStoppedRun(push_failed.Text(), UNKNOWN_EXCEPTION, 1)));

    CLogBuilder stopping;
    stopping.Start().OtherClients(LAST_CLIENT).Enters(LAST_CLIENT);
    stopping.Sends(LAST_CLIENT, 1, "Xy").Sent(LAST_CLIENT, 1, 2);
    stopping.Line(Leaving(0)).Line(ALL_CLIENTS).Translates(1, "X");
    EXPECT_TRUE(IsClean(CheckStoppedRun(stopping.Text(), UNKNOWN_EXCEPTION, 1)));
}

TEST(LogCheckStoppedRun, RejectsAWrongEnd) {
    const std::string out = CutRun().Text();
    EXPECT_TRUE(Has(CheckStoppedRun(out, UNKNOWN_EXCEPTION, 0), "exit-status", 0,
                    "exit status 0, expected 1 for a run stopped by a failure"));
    EXPECT_TRUE(Has(CheckStoppedRun(out, UNKNOWN_EXCEPTION, -1), "exit-status", 0,
                    "did not exit by itself"));
    for (const std::string& err :
         {std::string(WRITE_FAILED), std::string(), std::string(CREATE_FAILED) + UNKNOWN_EXCEPTION,
          std::string("Unknown exception occured!")}) {
        EXPECT_TRUE(Has(CheckStoppedRun(out, err, 1), "stderr", 0,
                        "expected exactly \"Unable to create thread\" or \"Unknown exception "
                        "occured!\" and a newline"))
            << err;
    }
    EXPECT_TRUE(Has(CheckStoppedRun(out.substr(0, out.size() - 1), UNKNOWN_EXCEPTION, 1), "format",
                    CutRun().Size(), "does not end with a newline"));
}

TEST(LogCheckStoppedRun, RejectsAStopBeforeEveryClientEnded) {
    CLogBuilder leaves;
    const std::string never_ends = Str("client ", LAST_CLIENT, " never ends");
    leaves.Start().OtherClients(LAST_CLIENT).Enters(LAST_CLIENT);
    leaves.Sends(LAST_CLIENT, 1, "X").Line(Leaving(0));
    EXPECT_TRUE(Has(CheckStoppedRun(leaves.Text(), UNKNOWN_EXCEPTION, 1), "stop-order",
                    leaves.Size(), never_ends));

    CLogBuilder all_clients;
    all_clients.Start().OtherClients(LAST_CLIENT).Line(ALL_CLIENTS);
    EXPECT_TRUE(Has(CheckStoppedRun(all_clients.Text(), UNKNOWN_EXCEPTION, 1), "stop-order",
                    all_clients.Size(), never_ends));
}

TEST(LogCheckStoppedRun, RejectsDriverLinesOutOfOrder) {
    CLogBuilder twice;
    twice.Start().OtherClients().Line(ALL_CLIENTS).Line(ALL_CLIENTS);
    EXPECT_TRUE(Has(CheckStoppedRun(twice.Text(), UNKNOWN_EXCEPTION, 1), "driver-lines",
                    twice.Size(), "a second \"All clients finished\" line"));

    CLogBuilder early;
    early.Start().OtherClients().Line(ALL_CLIENTS).Line(Leaving(0)).Line(Leaving(2));
    early.Line(ALL_TRANSLATERS);
    EXPECT_TRUE(Has(CheckStoppedRun(early.Text(), UNKNOWN_EXCEPTION, 1), "driver-lines",
                    early.Size(), "\"All translaters finished\" before translater 1 has left"));

    CLogBuilder no_clients_line = BusyRun();
    no_clients_line.Erase(no_clients_line.LineOf(ALL_CLIENTS));
    EXPECT_TRUE(Has(CheckStoppedRun(no_clients_line.Text(), UNKNOWN_EXCEPTION, 1), "driver-lines",
                    no_clients_line.Size(),
                    "\"All translaters finished\" without \"All clients finished\""));

    CLogBuilder after_end = BusyRun();
    after_end.Line(Entry(0));
    EXPECT_TRUE(Has(CheckStoppedRun(after_end.Text(), UNKNOWN_EXCEPTION, 1), "driver-lines",
                    after_end.Size(), "a line after \"All translaters finished\""));
}

TEST(LogCheckStoppedRun, RejectsBrokenJobsAsInAnyRun) {
    CLogBuilder wrong = CutRun();
    wrong.Translates(0, "x");
    EXPECT_TRUE(Has(CheckStoppedRun(wrong.Text(), UNKNOWN_EXCEPTION, 1), "job-letters",
                    wrong.Size(), "takes 'x' as character 2 of client 1's job"));

    CLogBuilder overlap = CutRun();
    overlap.Sends(2, 0, "f");
    EXPECT_TRUE(Has(CheckStoppedRun(overlap.Text(), UNKNOWN_EXCEPTION, 1), "exclusive-claim",
                    overlap.Size(), "client 2 starts sending to translater 0"));
}

// A log cut after any byte of a legal run, with the write failure reported,
// or the program ended by SIGPIPE or SIGXFSZ (status 128 + N, as the shell
// gives it) before it could report it.
TEST(LogCheckCutRun, AcceptsALegalLogCutAfterAnyByte) {
    const std::string out = BusyRun().Text();
    for (std::size_t size = 0; size <= out.size(); ++size) {
        ASSERT_TRUE(IsClean(CheckCutRun(out.substr(0, size), WRITE_FAILED, 1)))
            << "the first " << size << " bytes";
        for (const int signal : {SIGPIPE, SIGXFSZ}) {
            ASSERT_TRUE(IsClean(CheckCutRun(out.substr(0, size), "", 128 + signal)))
                << "the first " << size << " bytes, signal " << signal;
        }
    }
}

TEST(LogCheckCutRun, RejectsAWrongEnd) {
    const std::string out = BusyRun().Text().substr(0, 200);
    EXPECT_TRUE(Has(CheckCutRun(out, WRITE_FAILED, 0), "exit-status", 0,
                    "exit status 0, expected 1 for a run whose log could not be written"));
    EXPECT_TRUE(Has(CheckCutRun(out, "", 128 + SIGKILL), "exit-status", 0, "SIGKILL ended it"));
    EXPECT_TRUE(Has(CheckCutRun(out, WRITE_FAILED, 128 + SIGPIPE), "stderr", 0,
                    "expected it empty: SIGPIPE ended the program"));
    for (const char* err : {"", CREATE_FAILED, UNKNOWN_EXCEPTION}) {
        EXPECT_TRUE(Has(CheckCutRun(out, err, 1), "stderr", 0,
                        "expected exactly \"Unable to write the log to standard output\" and a "
                        "newline"))
            << err;
    }
}

// The last line of a cut log is checked as far as it goes.
TEST(LogCheckCutRun, RejectsACutLineThatNoLineBeginsWith) {
    const std::string bad_ends[] = {
        "Client 3>1: Sendinq",
        "Translater 1: a -> B",
        Str("Client ", SIZES.clients),
        Str("Translater ", SIZES.translaters),
        "Client 3>1: Sending z",
        "All translaters finished!",
        Str("Translater 0: Translated ", SIZES.max_chars + 1),
        "Client 03",
        "Translater 1: Entering thread ",
    };
    for (const std::string& end : bad_ends) {
        CLogBuilder log = BusyRun();
        log.Erase(log.Size());
        const std::string out = log.Text() + end;
        EXPECT_TRUE(Has(CheckCutRun(out, WRITE_FAILED, 1), "format", log.Size() + 1,
                        "the last line, cut short, is the beginning of no line"))
            << end;
    }
}

TEST(LogCheckCutRun, TellsTheBeginningsOfLines) {
    const std::string last = Str("Client ", LAST_CLIENT, ">");
    for (const std::string& beginning :
         {std::string(), std::string("C"), std::string("Client 1"), last, last + "2: Sended 1",
          Str("Translater 0: Translated ", SIZES.max_chars), std::string("Translater 2: q -> "),
          std::string("Translater 2: q -> Q"), std::string("Translater 0: Translated 0 characters"),
          std::string("All clients finished"), std::string("All t"), GiveUp(LAST_CLIENT)}) {
        EXPECT_TRUE(IsLineBeginning(beginning)) << beginning;
    }
    for (const std::string& other :
         {Str("Client ", SIZES.clients), Str(last, SIZES.translaters),
          std::string("Translater 2: q -> q"), std::string("Translater 2: z"), std::string("X"),
          std::string("All clients finished "), std::string("Client 1>0: Sending ab"),
          std::string("Translater 1: Translated 07"), std::string("Client 1000000000")}) {
        EXPECT_FALSE(IsLineBeginning(other)) << other;
    }
}

// The checker's findings as records (--format tsv): each a line of a field per
// column, whatever its message holds, read back as written; and what is no
// record of a table is told.
TEST(LogCheckRecords, FindingsReadBackFieldForField) {
    Result result;
    result.findings = {{"format", 7, "unknown line \"a\tb\\\""}, {"driver-lines", 0, "x\r\ny"}};
    std::ostringstream out;
    records::WriteFindings(out, result);
    logcheck::CStatusOr<std::map<std::string, records::ReadTable>> read = records::Read(out.str());
    EXPECT_TRUE(read.Ok()) << read.Message();
    const records::ReadTable& findings = read.Value()[records::FINDING.name];
    EXPECT_EQ(findings.columns, records::FINDING.Columns(false));
    EXPECT_EQ(findings.rows,
              (std::vector<std::vector<std::string>>{{"7", "format", "unknown line \"a\\tb\\\\\""},
                                                     {"0", "driver-lines", "x\\r\\ny"}}));
    for (const std::string& broken :
         {std::string("finding\t1\tformat\tx\n"), out.str() + "finding\t1\tformat\n"}) {
        EXPECT_FALSE(records::Read(broken).Ok()) << broken;
    }
}

}  // namespace
