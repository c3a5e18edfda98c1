#include <iomanip>
#include <string>
#include <vector>

#include "report.h"

namespace report {
namespace {

// Writes one row, every cell right-aligned to its column's width.
void PrintRow(std::ostream& out, const std::vector<std::string>& cells,
              const std::vector<int>& widths) {
    const char* separator = "";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out << separator << std::setw(widths[i]) << cells[i];
        separator = "  ";
    }
    out << "\n";
}

void PrintJobs(const logcheck::Summary& summary, std::ostream& out) {
    const std::vector<int> widths = {6, 10, 7, 10, 9};
    out << "Jobs, in order of their first letter (lines of the log: first letter to end of "
           "job)\n";
    PrintRow(out, {"client", "translater", "letters", "first line", "last line"}, widths);
    for (const logcheck::Job& job : summary.jobs) {
        PrintRow(
            out,
            {std::to_string(job.client), std::to_string(job.translater), std::to_string(job.count),
             std::to_string(job.first_letter_line), std::to_string(job.end_line)},
            widths);
    }
}

void PrintTurnedAway(const logcheck::Summary& summary, std::ostream& out) {
    const std::vector<int> widths = {6, 4};
    out << "\nClients turned away (every translater busy)\n";
    PrintRow(out, {"client", "line"}, widths);
    for (const logcheck::TurnedAway& client : summary.turned_away) {
        PrintRow(out, {std::to_string(client.client), std::to_string(client.line)}, widths);
    }
}

void PrintTotals(const logcheck::Summary& summary, std::ostream& out) {
    const Totals totals = CountTotals(summary);
    const std::vector<int> widths = {10, 4, 7};
    out << "\nTotals\n";
    PrintRow(out, {"translater", "jobs", "letters"}, widths);
    for (int t = 0; t < logcheck::NUM_TRANSLATERS; ++t) {
        const TranslaterTotals& translater = totals.translaters[t];
        PrintRow(out,
                 {std::to_string(t), std::to_string(translater.jobs),
                  std::to_string(translater.letters)},
                 widths);
    }
    PrintRow(out, {"all", std::to_string(totals.jobs), std::to_string(totals.letters)}, widths);
    out << "clients turned away: " << totals.turned_away << "\n"
        << "clients: " << totals.jobs + totals.turned_away << " (jobs + turned away)\n"
        << "log lines: " << summary.line_count << "; \"All clients finished\" on line "
        << summary.all_clients_line << ", \"All translaters finished\" on line "
        << summary.all_translaters_line << "\n";
}

}  // namespace

Totals CountTotals(const logcheck::Summary& summary) {
    Totals totals;
    for (const logcheck::Job& job : summary.jobs) {
        TranslaterTotals& translater = totals.translaters.at(job.translater);
        ++translater.jobs;
        translater.letters += job.count;
        ++totals.jobs;
        totals.letters += job.count;
    }
    totals.turned_away = static_cast<int>(summary.turned_away.size());
    return totals;
}

void PrintReport(const logcheck::Summary& summary, std::ostream& out) {
    PrintJobs(summary, out);
    PrintTurnedAway(summary, out);
    PrintTotals(summary, out);
}

}  // namespace report
