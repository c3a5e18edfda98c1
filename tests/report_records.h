// The report's records (--format tsv) against its tables for people, for the
// report tests: the same cells, under the tables and columns records.h names.
#ifndef TRANSLATERS_TESTS_REPORT_RECORDS_H
#define TRANSLATERS_TESTS_REPORT_RECORDS_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "records.h"
#include "report_support.h"

namespace testing_support {

// Reads the records, checking that each table of the report is there with the
// columns records.h gives it (timed: with a trace's).
inline std::map<std::string, records::ReadTable> ReadRecords(const std::string& text, bool timed) {
    logcheck::CStatusOr<std::map<std::string, records::ReadTable>> read = records::Read(text);
    EXPECT_TRUE(read.Ok()) << read.Message();
    std::map<std::string, records::ReadTable> tables = std::move(read.Value());
    for (const records::Table* table :
         {&records::RUN, &records::JOB, &records::TURNED_AWAY, &records::TRANSLATER}) {
        EXPECT_EQ(tables[table->name].columns, table->Columns(timed)) << table->name;
    }
    EXPECT_EQ(tables.size(), 4U) << text;
    return tables;
}

// The records hold the cells of the tables for people, of the same log: a
// job's, a client's turned away, and a translater's from each of its tables
// ("-" there for an empty field). The run's record is the caller's to check.
inline void ExpectRecordsMatchTables(const std::string& human, const std::string& text, bool timed,
                                     int translaters) {
    std::map<std::string, records::ReadTable> tables = ReadRecords(text, timed);
    std::map<std::string, Rows> people = ReadTables(human);
    EXPECT_EQ(tables[records::JOB.name].rows, people["Jobs,"]);
    EXPECT_EQ(tables[records::TURNED_AWAY.name].rows, people["Clients"]);
    Rows expected(people["Totals"].begin(), people["Totals"].begin() + translaters);
    for (int t = 0; timed && t < translaters; ++t) {
        for (const Rows* more : {&people["How"], &people["The"]}) {
            for (std::size_t i = 1; i < more->at(t).size(); ++i) {
                const std::string& cell = more->at(t)[i];
                expected[t].push_back(cell == "-" ? "" : cell);
            }
        }
    }
    EXPECT_EQ(tables[records::TRANSLATER.name].rows, expected);
}

}  // namespace testing_support

#endif  // TRANSLATERS_TESTS_REPORT_RECORDS_H
