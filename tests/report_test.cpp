// translaters-report as a process: its table against what a real run's log
// says, its SVG timeline rendered by rsvg-convert, broken logs and bad usage.
//
// The log is read here line by line (through the shared line forms),
// independently of the log checker the tool uses, so a fault in how the tool
// reads the checker's summary shows.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "log_lines.h"
#include "process_runner.h"
#include "report_records.h"
#include "report_support.h"

namespace {

using testing_support::Count;
using testing_support::CTempDir;
using testing_support::ExpectRendersWhole;
using testing_support::ReadFile;
using testing_support::Render;
using testing_support::RSVG_MISSING;
using testing_support::RunOptions;
using testing_support::RunProgram;
using testing_support::RunReport;
using testing_support::RunResult;
using testing_support::SplitLines;

using command_line::EXIT_BROKEN;
using command_line::EXIT_USAGE;

const logcheck::Sizes SIZES;  // this build's

// A job as the log shows it: the client's first letter line to its
// translater's end-of-job line.
struct LoggedJob {
    int client = -1;
    int translater = -1;
    int letters = 0;
    int first_line = 0;
    int last_line = 0;
    bool operator==(const LoggedJob& other) const {
        return client == other.client && translater == other.translater &&
               letters == other.letters && first_line == other.first_line &&
               last_line == other.last_line;
    }
};

std::ostream& operator<<(std::ostream& out, const LoggedJob& job) {
    return out << "{client " << job.client << ", translater " << job.translater << ", "
               << job.letters << " letters, lines " << job.first_line << " to " << job.last_line
               << "}";
}

struct LoggedRun {
    std::vector<LoggedJob> jobs;                   // in order of first letter line
    std::vector<std::pair<int, int>> turned_away;  // client, line
    std::vector<int> translated_letters;           // from each end-of-job line
    std::map<int, int> sended;                     // client -> its summary count
    int lines = 0;
    int all_clients_line = 0;
    int all_translaters_line = 0;
};

// A translater serves one client at a time, so its end-of-job lines come in
// the order of its clients' first letters.
void PairEndLines(LoggedRun& run, const std::vector<std::vector<std::pair<int, int>>>& ends) {
    std::vector<std::size_t> next(SIZES.translaters, 0);
    for (LoggedJob& job : run.jobs) {
        const auto& lane = ends.at(job.translater);
        const std::size_t k = next.at(job.translater)++;
        if (k < lane.size()) {
            job.last_line = lane[k].first;
            job.letters = lane[k].second;
        }
    }
}

LoggedRun ReadLog(const std::string& log) {
    using logcheck::LineKind;
    LoggedRun run;
    std::vector<std::vector<std::pair<int, int>>> ends(SIZES.translaters);
    std::set<int> sending;
    const std::vector<std::string> lines = SplitLines(log);
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        logcheck::Line line;
        EXPECT_TRUE(logcheck::ParseLine(lines[i], line)) << lines[i];
        if (line.kind == LineKind::kClientSends && sending.insert(line.client).second) {
            run.jobs.push_back(LoggedJob{line.client, line.translater, 0, i + 1, 0});
        } else if (line.kind == LineKind::kClientSended) {
            run.sended[line.client] = line.count;
        } else if (line.kind == LineKind::kJobEnds) {
            ends.at(line.translater).emplace_back(i + 1, line.count);
            run.translated_letters.push_back(line.count);
        } else if (line.kind == LineKind::kClientGivesUp) {
            run.turned_away.emplace_back(line.client, i + 1);
        } else if (line.kind == LineKind::kAllClients) {
            run.all_clients_line = i + 1;
        } else if (line.kind == LineKind::kAllTranslaters) {
            run.all_translaters_line = i + 1;
        }
    }
    run.lines = static_cast<int>(lines.size());
    PairEndLines(run, ends);
    return run;
}

// What the tool printed: its three tables.
struct Table {
    std::vector<LoggedJob> jobs;
    std::vector<std::pair<int, int>> turned_away;
    std::map<std::string, std::pair<int, int>> totals;  // "0".."2", "all" -> jobs, letters
    int turned_away_total = -1;
    int clients_total = -1;
};

Table ReadTable(const std::string& out) {
    std::map<std::string, testing_support::Rows> tables = testing_support::ReadTables(out);
    Table table;
    for (const auto& row : tables["Jobs,"]) {
        table.jobs.push_back(LoggedJob{std::stoi(row.at(0)), std::stoi(row.at(1)),
                                       std::stoi(row.at(2)), std::stoi(row.at(3)),
                                       std::stoi(row.at(4))});
    }
    for (const auto& row : tables["Clients"]) {
        table.turned_away.emplace_back(std::stoi(row.at(0)), std::stoi(row.at(1)));
    }
    for (const auto& row : tables["Totals"]) {
        std::smatch m;
        static const std::regex AWAY_TOTAL(R"(clients turned away: (\d+))");
        static const std::regex CLIENTS_TOTAL(R"(clients: (\d+) .*)");
        std::string joined;
        for (const std::string& cell : row) {
            joined += (joined.empty() ? "" : " ") + cell;
        }
        if (std::regex_match(joined, m, AWAY_TOTAL)) {
            table.turned_away_total = std::stoi(m[1]);
        } else if (std::regex_match(joined, m, CLIENTS_TOTAL)) {
            table.clients_total = std::stoi(m[1]);
        } else if (row.size() == 3) {
            table.totals[row[0]] = {std::stoi(row[1]), std::stoi(row[2])};
        }
    }
    return table;
}

RunResult RunTranslaters(bool pinned) {
    RunOptions options;
    options.pin_to_one_cpu = pinned;
    const RunResult run = RunProgram(TRANSLATERS_EXE, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The whole table against the log, for one run.
void ExpectTableMatchesLog(const std::string& log) {
    const LoggedRun logged = ReadLog(log);
    const RunResult report = RunReport(log);
    ASSERT_EQ(report.exit_status, 0) << report.err;
    EXPECT_EQ(report.err, "");
    const Table table = ReadTable(report.out);

    EXPECT_EQ(table.jobs, logged.jobs) << report.out;
    EXPECT_EQ(table.turned_away, logged.turned_away) << report.out;
    EXPECT_EQ(table.jobs.size() + table.turned_away.size(),
              static_cast<std::size_t>(SIZES.clients));
    EXPECT_EQ(table.turned_away_total, static_cast<int>(logged.turned_away.size()));
    EXPECT_EQ(table.clients_total, SIZES.clients);

    std::map<std::string, std::pair<int, int>> expected;
    for (const LoggedJob& job : logged.jobs) {
        for (const std::string& key : {std::to_string(job.translater), std::string("all")}) {
            ++expected[key].first;
            expected[key].second += job.letters;
        }
    }
    for (int t = 0; t < SIZES.translaters; ++t) {
        expected.emplace(std::to_string(t), std::make_pair(0, 0));  // a translater never claimed
    }
    EXPECT_EQ(table.totals, expected) << report.out;
    // The letters the clients say they sent are the letters translated.
    int sended = 0;
    for (const auto& client : logged.sended) {
        sended += client.second;
    }
    int translated = 0;
    for (const int letters : logged.translated_letters) {
        translated += letters;
    }
    EXPECT_EQ(expected["all"].second, sended);
    EXPECT_EQ(expected["all"].second, translated);

    // The same as records, and the run's record against the log.
    const RunResult records = RunReport(log, {"--format", "tsv"});
    ASSERT_EQ(records.exit_status, 0) << records.err;
    testing_support::ExpectRecordsMatchTables(report.out, records.out, false, SIZES.translaters);
    const std::vector<int> run = {logged.lines,
                                  static_cast<int>(logged.jobs.size()),
                                  translated,
                                  static_cast<int>(logged.turned_away.size()),
                                  logged.all_clients_line,
                                  logged.all_translaters_line};
    std::vector<std::string> fields;
    for (const int value : run) {
        fields.push_back(std::to_string(value));
    }
    EXPECT_EQ(testing_support::ReadRecords(records.out, false)["run"].rows,
              std::vector<std::vector<std::string>>{fields});
}

TEST(ReportRealRun, TableMatchesTheLog) {
    for (const bool pinned : {false, true}) {
        SCOPED_TRACE(pinned ? "run pinned to one CPU" : "normal run");
        const RunResult run = RunTranslaters(pinned);
        ExpectTableMatchesLog(run.out);
    }
}

// Each job's bar spans its lines and each turned-away mark sits on its line,
// on one scale x = a + b * (line units), line n covering [n - 1, n].
void ExpectPlacedByLine(const std::string& svg, const LoggedRun& logged) {
    static const std::regex BAR(
        R"re(<title>client (\d+) -&gt;[^<]*</title>\n(?:<rect [^>]*/>\n){2})re"
        R"re(<rect x="([0-9.]+)" y="[0-9.]+" width="([0-9.]+)")re");
    static const std::regex MARK(
        R"re(<title>client (\d+): all translaters are occupied[^<]*</title>\n<path d="M([0-9.]+) )re");
    std::map<int, std::pair<double, double>> bars;  // client -> left, right
    for (std::sregex_iterator m(svg.begin(), svg.end(), BAR), end; m != end; ++m) {
        const double left = std::stod((*m)[2]);
        bars[std::stoi((*m)[1])] = {left, left + std::stod((*m)[3])};
    }
    ASSERT_EQ(bars.size(), logged.jobs.size());
    const LoggedJob& first = logged.jobs.front();
    const LoggedJob& last = logged.jobs.back();
    const double b = (bars[last.client].second - bars[first.client].first) /
                     (last.last_line - (first.first_line - 1));
    const double a = bars[first.client].first - b * (first.first_line - 1);
    const double TOLERANCE = 0.2;  // coordinates are written with one decimal
    for (const LoggedJob& job : logged.jobs) {
        EXPECT_NEAR(bars[job.client].first, a + b * (job.first_line - 1), TOLERANCE) << job;
        EXPECT_NEAR(bars[job.client].second, a + b * job.last_line, TOLERANCE) << job;
    }
    std::map<int, double> marks;
    for (std::sregex_iterator m(svg.begin(), svg.end(), MARK), end; m != end; ++m) {
        marks[std::stoi((*m)[1])] = std::stod((*m)[2]);
    }
    ASSERT_EQ(marks.size(), logged.turned_away.size());
    for (const auto& [client, line] : logged.turned_away) {
        EXPECT_NEAR(marks[client], a + b * (line - 0.5), TOLERANCE) << "client " << client;
    }
}

// Every job, every client turned away and both driver lines are in the SVG,
// with what the log says about them; rsvg-convert renders it to a picture of
// its declared size with real content.
TEST(ReportRealRun, SvgShowsTheRunAndRenders) {
    const std::string rsvg = RSVG_CONVERT;
    ASSERT_NE(rsvg, "") << RSVG_MISSING;
    const RunResult run = RunTranslaters(false);
    CTempDir dir;
    const std::string svg_path = dir.File("run.svg");
    const RunResult report = RunReport(run.out, {"--svg", svg_path});
    ASSERT_EQ(report.exit_status, 0) << report.err;
    const std::string svg = ReadFile(svg_path);

    const LoggedRun logged = ReadLog(run.out);
    EXPECT_EQ(Count(svg, "class=\"job\""), static_cast<int>(logged.jobs.size()));
    EXPECT_EQ(Count(svg, "class=\"turned-away\""), static_cast<int>(logged.turned_away.size()));
    EXPECT_EQ(Count(svg, "class=\"driver-line\""), 2);
    for (const LoggedJob& job : logged.jobs) {
        // "->" written as XML wants it.
        const std::string title = "<title>client " + std::to_string(job.client) +
                                  " -&gt; translater " + std::to_string(job.translater) + ": " +
                                  std::to_string(job.letters) + " letters ";
        EXPECT_EQ(Count(svg, title), 1) << title;
    }
    for (const auto& [client, line] : logged.turned_away) {
        EXPECT_EQ(Count(svg, "<title>client " + std::to_string(client) +
                                 ": all translaters are occupied, line " + std::to_string(line) +
                                 "</title>"),
                  1);
    }

    ExpectPlacedByLine(svg, logged);

    ExpectRendersWhole(rsvg, svg_path, dir);
}

// rsvg-convert is the well-formedness check of the test above: it must refuse
// what is not XML, such as a bare ampersand.
TEST(ReportRealRun, RsvgRefusesMalformedSvg) {
    const std::string rsvg = RSVG_CONVERT;
    ASSERT_NE(rsvg, "") << RSVG_MISSING;
    CTempDir dir;
    const std::string svg_path = dir.File("bad.svg");
    std::ofstream(svg_path) << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" "
                               "height=\"10\"><text>a & b</text></svg>\n";
    EXPECT_NE(Render(rsvg, svg_path, dir.File("bad.png")).exit_status, 0);
}

// A log broken in one way: the rule and the line the tool must name.
struct Breakage {
    std::string name;
    std::vector<std::string> lines;
    std::string expected;  // "<stdin>:N: [rule]" or "run: [rule]"
};

// The index of the first line of this kind, read into line.
int FindLine(const std::vector<std::string>& lines, logcheck::LineKind kind, logcheck::Line& line) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (logcheck::ParseLine(lines[i], line) && line.kind == kind) {
            return static_cast<int>(i);
        }
    }
    ADD_FAILURE() << "no line of kind " << static_cast<int>(kind);
    return 0;
}

std::vector<Breakage> Breakages(const std::vector<std::string>& lines) {
    std::vector<Breakage> breakages;
    logcheck::Line line;
    Breakage wrong_case{"a letter translated wrongly", lines, ""};
    const int translation = FindLine(lines, logcheck::LineKind::kTranslates, line);
    line.out = line.ch;  // "q -> q"
    wrong_case.lines[translation] = logcheck::FormatLine(line);
    wrong_case.expected = "<stdin>:" + std::to_string(translation + 1) + ": [translation]";
    breakages.push_back(wrong_case);

    Breakage wrong_count{"a job's count off by one", lines, ""};
    const int end = FindLine(lines, logcheck::LineKind::kJobEnds, line);
    ++line.count;
    wrong_count.lines[end] = logcheck::FormatLine(line);
    wrong_count.expected = "<stdin>:" + std::to_string(end + 1) + ": [job-count]";
    breakages.push_back(wrong_count);

    Breakage unknown{"an unknown line", lines, ""};
    unknown.lines.insert(unknown.lines.begin() + 5, "Client 3: Hello");
    unknown.expected = "<stdin>:6: [format]";
    breakages.push_back(unknown);

    Breakage no_end{"no \"All translaters finished\"", lines, "run: [driver-lines]"};
    no_end.lines.pop_back();
    breakages.push_back(no_end);
    return breakages;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// A broken log gets no report and no picture: exit status 1 and, on standard
// error, the broken rule with its line.
TEST(ReportBrokenLog, NamesTheRuleAndTheLine) {
    const RunResult run = RunTranslaters(false);
    const std::vector<std::string> lines = SplitLines(run.out);
    ASSERT_GT(lines.size(), 4U);
    CTempDir dir;
    const std::string svg_path = dir.File("broken.svg");
    for (const Breakage& breakage : Breakages(lines)) {
        SCOPED_TRACE(breakage.name);
        const RunResult report = RunReport(Join(breakage.lines), {"--svg", svg_path});
        EXPECT_EQ(report.exit_status, EXIT_BROKEN);
        EXPECT_NE(report.err.find(breakage.expected), std::string::npos) << report.err;
        EXPECT_EQ(report.out, "");
        EXPECT_FALSE(Exists(svg_path));
    }
}

TEST(ReportUsage, HelpAndBadArguments) {
    const RunResult help = RunReport("", {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("usage: translaters-report"), std::string::npos);
    // What a log without its standard error and exit status is checked as.
    EXPECT_NE(help.out.find("checked as a normal run"), std::string::npos) << help.out;

    const std::string log = RunTranslaters(false).out;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--svg"}, {"--svg", ""}, {"--bogus"}, {"run.log", "another.log"}}) {
        const RunResult result = RunReport(log, args);
        EXPECT_EQ(result.exit_status, EXIT_USAGE) << args.front();
        EXPECT_NE(result.err.find("usage: translaters-report"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // Nothing piped in: a forgotten pipe rather than a log.
    const RunResult empty = RunReport("");
    EXPECT_EQ(empty.exit_status, EXIT_USAGE);
    EXPECT_NE(empty.err.find("standard input is empty"), std::string::npos) << empty.err;
}

TEST(ReportUsage, UnwritableSvgFile) {
    const std::string log = RunTranslaters(false).out;
    const RunResult result = RunReport(log, {"--svg", "/nonexistent-dir/run.svg"});
    EXPECT_EQ(result.exit_status, EXIT_USAGE);
    EXPECT_NE(result.err.find("cannot write /nonexistent-dir/run.svg: No such file or directory"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "") << "a table that looks like success";
}

}  // namespace
