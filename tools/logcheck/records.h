// The machine-readable output of translaters-check and translaters-report
// (--format tsv), kept stable for scripts: every table of both tools and its
// columns are named here once, for the writers and for every reader in the
// tests.
//
// The text is tables of tab-separated fields, one record a line. A table
// starts with its header line: "#" and the table's name, then its columns'
// names; each of its records is the table's name, then a field per column. No
// field holds a tab or a line break: in free text (a finding's message) tab,
// line feed, carriage return and backslash are written \t, \n, \r and \\. An
// empty field is a value that does not exist (the tail of a stop that had
// none).
#ifndef TRANSLATERS_TOOLS_LOGCHECK_RECORDS_H
#define TRANSLATERS_TOOLS_LOGCHECK_RECORDS_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "log_checker.h"

namespace records {

struct Table {
    const char* name;
    std::vector<const char*> columns;
    // The report's columns from a trace: written after the others, and only
    // when the report read one.
    std::vector<const char*> timed_columns;

    std::vector<std::string> Columns(bool timed) const;
};

// A run's totals, from either tool. The report adds the timed columns.
extern const Table RUN;
// translaters-check: each broken rule of a run that is not clean.
extern const Table FINDING;
// translaters-report: each job, each client turned away, each translater.
extern const Table JOB;
extern const Table TURNED_AWAY;
extern const Table TRANSLATER;

// The header line of a table.
void WriteHeader(std::ostream& out, const Table& table, bool timed);
// One record; throws std::logic_error if the fields do not match the columns.
void WriteRecord(std::ostream& out, const Table& table, bool timed,
                 const std::vector<std::string>& fields);

// The run's untimed fields, from the checker's summary.
std::vector<std::string> RunFields(const logcheck::Summary& summary);

// Each finding as a record of FINDING, its message escaped.
void WriteFindings(std::ostream& out, const logcheck::Result& result);

// A table as read back: its columns as its header names them, and its records.
struct ReadTable {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

// Reads the tables of a tool's output, by name; the error is a record before
// its header, or with other than a field per column.
logcheck::CStatusOr<std::map<std::string, ReadTable>> Read(const std::string& text);

}  // namespace records

#endif  // TRANSLATERS_TOOLS_LOGCHECK_RECORDS_H
