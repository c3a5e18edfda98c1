#include "records.h"

#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace records {

const Table RUN = {
    "run",
    {"lines", "jobs", "letters", "turned_away", "all_clients_line", "all_translaters_line"},
    {"run_ms", "stop_flag_ms", "offered_erlangs", "arrivals_per_ms", "hold_ms"}};
const Table FINDING = {"finding", {"line", "rule", "message"}, {}};
const Table JOB = {
    "job",
    {"client", "translater", "letters", "first_line", "last_line"},
    {"claimed_ms", "first_sent_ms", "last_sent_ms", "ended_ms", "queued_mean_ms", "queued_max_ms"}};
const Table TURNED_AWAY = {"turned_away", {"client", "line"}, {"paced_ms", "gave_up_ms"}};
const Table TRANSLATER = {"translater",
                          {"translater", "jobs", "letters"},
                          {"serving_ms", "in_pop_ms", "in_job_finished_ms", "waits", "timed_out",
                           "signalled_ms", "at_stop", "signal", "left_ms", "tail_ms"}};

std::vector<std::string> Table::Columns(bool timed) const {
    std::vector<std::string> names(columns.begin(), columns.end());
    if (timed) {
        names.insert(names.end(), timed_columns.begin(), timed_columns.end());
    }
    return names;
}

namespace {

void WriteLine(std::ostream& out, const std::string& first, const std::vector<std::string>& rest) {
    out << first;
    for (const std::string& field : rest) {
        out << '\t' << field;
    }
    out << '\n';
}

// Free text as one field.
std::string Escaped(const std::string& text) {
    const std::string_view SPECIAL = "\t\n\r\\";
    const char ESCAPED[] = "tnr\\";  // the letter after the backslash, by SPECIAL's order
    std::string field;
    for (const char ch : text) {
        const std::size_t special = SPECIAL.find(ch);
        field += special == std::string_view::npos ? std::string(1, ch)
                                                   : std::string{'\\', ESCAPED[special]};
    }
    return field;
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (std::string::size_type tab; (tab = line.find('\t', start)) != std::string::npos;
         start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

}  // namespace

void WriteHeader(std::ostream& out, const Table& table, bool timed) {
    WriteLine(out, std::string("#") + table.name, table.Columns(timed));
}

void WriteRecord(std::ostream& out, const Table& table, bool timed,
                 const std::vector<std::string>& fields) {
    if (fields.size() != table.Columns(timed).size()) {
        throw std::logic_error(std::string("a record of ") + table.name + " with " +
                               std::to_string(fields.size()) + " fields");
    }
    WriteLine(out, table.name, fields);
}

std::vector<std::string> RunFields(const logcheck::Summary& summary) {
    const int letters =
        std::accumulate(summary.jobs.begin(), summary.jobs.end(), 0,
                        [](int sum, const logcheck::Job& job) { return sum + job.count; });
    return {std::to_string(summary.line_count),
            std::to_string(summary.jobs.size()),
            std::to_string(letters),
            std::to_string(summary.turned_away.size()),
            std::to_string(summary.all_clients_line),
            std::to_string(summary.all_translaters_line)};
}

void WriteFindings(std::ostream& out, const logcheck::Result& result) {
    WriteHeader(out, FINDING, false);
    for (const logcheck::Finding& finding : result.findings) {
        WriteRecord(out, FINDING, false,
                    {std::to_string(finding.line), finding.rule, Escaped(finding.message)});
    }
}

logcheck::CStatusOr<std::map<std::string, ReadTable>> Read(const std::string& text) {
    std::map<std::string, ReadTable> tables;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::vector<std::string> fields = SplitFields(line);
        const std::string name = fields.front();
        fields.erase(fields.begin());
        if (!name.empty() && name[0] == '#') {
            tables[name.substr(1)].columns = fields;
            continue;
        }
        const auto table = tables.find(name);
        if (table == tables.end() || fields.size() != table->second.columns.size()) {
            return logcheck::CStatus::Error(
                "line " + std::to_string(number) + ": a record of " + name +
                (table == tables.end() ? " before its header" : " with other fields"));
        }
        table->second.rows.push_back(fields);
    }
    return tables;
}

}  // namespace records
