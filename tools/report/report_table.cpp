#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "records.h"
#include "report.h"

namespace report {
namespace {

using Cells = std::vector<std::string>;
using Widths = std::vector<int>;

// Writes one row, every cell right-aligned to its column's width; an empty
// cell (a value that does not exist) as "-".
void PrintRow(std::ostream& out, const Cells& cells, const Widths& widths) {
    const char* separator = "";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out << separator << std::setw(widths[i]) << (cells[i].empty() ? "-" : cells[i]);
        separator = "  ";
    }
    out << "\n";
}

// A table: its title, then its header and rows.
void PrintTable(std::ostream& out, const std::string& title, const Widths& widths,
                const Cells& header, const std::vector<Cells>& rows) {
    out << title;
    PrintRow(out, header, widths);
    for (const Cells& cells : rows) {
        PrintRow(out, cells, widths);
    }
}

void Append(Cells& cells, const Cells& more) {
    cells.insert(cells.end(), more.begin(), more.end());
}

// A length of time in milliseconds, to the microsecond.
std::string Ms(Nanoseconds length) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << static_cast<double>(length) / 1e6;
    return text.str();
}

// A moment, in milliseconds from the driver's start.
std::string At(const RunTimes& times, Nanoseconds at) {
    return Ms(at - times.driver_start);
}

// The cells of each table, one row each, for the human tables and the records
// alike: the log's columns, then with times the trace's.

std::vector<Cells> JobRows(const RunModel& model) {
    std::vector<Cells> rows;
    for (std::size_t i = 0; i < model.summary.jobs.size(); ++i) {
        const logcheck::Job& job = model.summary.jobs[i];
        rows.push_back({std::to_string(job.client), std::to_string(job.translater),
                        std::to_string(job.count), std::to_string(job.first_letter_line),
                        std::to_string(job.end_line)});
        if (model.has_times) {
            const RunTimes& times = model.times;
            const JobTimes& timed = times.jobs.at(i);
            Append(rows.back(), {At(times, timed.claim), At(times, timed.first_push),
                                 At(times, timed.last_push), At(times, timed.end),
                                 Ms(MeanQueueWait(times, timed)), Ms(MaxQueueWait(times, timed))});
        }
    }
    return rows;
}

// How long a client paused after its entry line, before it tried to claim.
Nanoseconds Paced(const ClientTimes& client) {
    return client.thread.pauses.empty() ? 0 : client.thread.pauses.front().Length();
}

std::vector<Cells> TurnedAwayRows(const RunModel& model) {
    std::vector<Cells> rows;
    for (const logcheck::TurnedAway& away : model.summary.turned_away) {
        rows.push_back({std::to_string(away.client), std::to_string(away.line)});
        if (model.has_times) {
            const ClientTimes& client = model.times.clients.at(away.client);
            Append(rows.back(), {Ms(Paced(client)), At(model.times, client.give_up)});
        }
    }
    return rows;
}

// Per translater: its totals, how it spent its time, and how it took the stop.
struct TranslaterRows {
    std::vector<Cells> totals;
    std::vector<Cells> spent;
    std::vector<Cells> stop;
};

Cells SpentCells(const TranslaterTimes& translater) {
    Nanoseconds waiting = 0;
    int timed_out = 0;
    for (const JobWait& wait : translater.job_waits) {
        waiting += wait.span.Length();
        timed_out += wait.timed_out ? 1 : 0;
    }
    return {Ms(TotalLength(translater.work)), Ms(TotalLength(translater.pop_waits)), Ms(waiting),
            std::to_string(translater.job_waits.size()), std::to_string(timed_out)};
}

Cells StopCells(const RunTimes& times, const TranslaterTimes& translater) {
    const bool missed = translater.at_stop != StopState::kWaiting;
    const std::string tail =
        translater.tail < 0 ? "" : Ms(translater.job_waits.at(translater.tail).span.Length());
    return {At(times, translater.stop_signal), StopStateName(translater.at_stop),
            missed ? "missed" : "caught", At(times, translater.leave), tail};
}

TranslaterRows TranslaterTables(const RunModel& model, const Totals& totals) {
    TranslaterRows rows;
    for (std::size_t t = 0; t < totals.translaters.size(); ++t) {
        const std::string id = std::to_string(t);
        rows.totals.push_back({id, std::to_string(totals.translaters[t].jobs),
                               std::to_string(totals.translaters[t].letters)});
        if (model.has_times) {
            rows.spent.push_back({id});
            Append(rows.spent.back(), SpentCells(model.times.translaters.at(t)));
            rows.stop.push_back({id});
            Append(rows.stop.back(), StopCells(model.times, model.times.translaters.at(t)));
        }
    }
    return rows;
}

// A title that ends by telling, with times, what they count from.
std::string Title(const RunModel& model, const std::string& text) {
    return text + (model.has_times ? "; times in ms from the driver's start" : "") + ")\n";
}

void PrintJobs(const RunModel& model, std::ostream& out) {
    Widths widths = {6, 10, 7, 10, 9};
    Cells header = {"client", "translater", "letters", "first line", "last line"};
    if (model.has_times) {
        widths.insert(widths.end(), {8, 10, 9, 9, 10, 10});
        Append(header,
               {"claimed", "first sent", "last sent", "job ended", "queued avg", "queued max"});
    }
    PrintTable(out,
               Title(model,
                     "Jobs, in order of their first letter (lines of the log: first letter "
                     "to end of job"),
               widths, header, JobRows(model));
}

void PrintTurnedAway(const RunModel& model, std::ostream& out) {
    Widths widths = {6, 4};
    Cells header = {"client", "line"};
    if (model.has_times) {
        widths.insert(widths.end(), {6, 8});
        Append(header, {"paced", "gave up"});
    }
    PrintTable(out, Title(model, "\nClients turned away (every translater busy"), widths, header,
               TurnedAwayRows(model));
}

void PrintTotals(const RunModel& model, const TranslaterRows& rows, std::ostream& out) {
    const logcheck::Summary& summary = model.summary;
    const Totals totals = CountTotals(summary);
    const Widths widths = {10, 4, 7};
    PrintTable(out, "\nTotals\n", widths, {"translater", "jobs", "letters"}, rows.totals);
    PrintRow(out, {"all", std::to_string(totals.jobs), std::to_string(totals.letters)}, widths);
    out << "clients turned away: " << totals.turned_away << "\n"
        << "clients: " << totals.jobs + totals.turned_away << " (jobs + turned away)\n"
        << "log lines: " << summary.line_count << "; \"All clients finished\" on line "
        << summary.all_clients_line << ", \"All translaters finished\" on line "
        << summary.all_translaters_line << "\n";
    if (model.has_times) {
        const RunTimes& times = model.times;
        out << "run: " << Ms(times.driver.thread.life.Length())
            << " ms from the driver's start to its end; the stop flag set at "
            << At(times, times.driver.stop_flag) << " ms\n";
        OfferedLoad load;
        if (MeasureOfferedLoad(times, load)) {
            out << std::fixed << std::setprecision(3) << "offered load: " << load.Erlangs()
                << " erlangs (clients arrived " << load.arrivals_per_ms << " per ms, a claim held "
                << load.hold_ms << " ms on average)\n"
                << std::defaultfloat;
        }
    }
}

// The run's timed fields: its length, the stop flag, and the offered load
// (empty for a run that cannot measure it).
Cells RunTimeCells(const RunTimes& times) {
    Cells cells = {Ms(times.driver.thread.life.Length()), At(times, times.driver.stop_flag)};
    OfferedLoad load;
    if (MeasureOfferedLoad(times, load)) {
        for (const double value : {load.Erlangs(), load.arrivals_per_ms, load.hold_ms}) {
            std::ostringstream text;
            text << std::setprecision(6) << value;
            cells.push_back(text.str());
        }
    } else {
        Append(cells, {"", "", ""});
    }
    return cells;
}

void WriteTable(std::ostream& out, const records::Table& table, bool timed,
                const std::vector<Cells>& rows) {
    records::WriteHeader(out, table, timed);
    for (const Cells& cells : rows) {
        records::WriteRecord(out, table, timed, cells);
    }
}

}  // namespace

Totals CountTotals(const logcheck::Summary& summary) {
    Totals totals;
    totals.translaters.resize(static_cast<std::size_t>(summary.sizes.translaters));
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

void PrintReport(const RunModel& model, std::ostream& out) {
    const TranslaterRows rows = TranslaterTables(model, CountTotals(model.summary));
    PrintJobs(model, out);
    PrintTurnedAway(model, out);
    PrintTotals(model, rows, out);
    if (model.has_times) {
        PrintTable(out,
                   "\nHow the translaters spent their time (ms; waits in JobFinished, and those "
                   "that ran out)\n",
                   {10, 9, 8, 14, 5, 9},
                   {"translater", "serving", "in Pop", "in JobFinished", "waits", "timed out"},
                   rows.spent);
        PrintTable(out,
                   "\nThe stop (ms from the driver's start; tail: the wait that ran out after a "
                   "missed signal)\n",
                   {10, 9, 13, 6, 8, 8},
                   {"translater", "signalled", "it was", "signal", "left", "tail"}, rows.stop);
    }
}

void WriteRecords(const RunModel& model, std::ostream& out) {
    const bool timed = model.has_times;
    Cells run = records::RunFields(model.summary);
    if (timed) {
        Append(run, RunTimeCells(model.times));
    }
    WriteTable(out, records::RUN, timed, {run});
    WriteTable(out, records::JOB, timed, JobRows(model));
    WriteTable(out, records::TURNED_AWAY, timed, TurnedAwayRows(model));
    const TranslaterRows rows = TranslaterTables(model, CountTotals(model.summary));
    std::vector<Cells> translaters = rows.totals;
    for (std::size_t t = 0; timed && t < translaters.size(); ++t) {
        // The human tables' rows each begin with the translater's ID.
        translaters[t].insert(translaters[t].end(), rows.spent[t].begin() + 1, rows.spent[t].end());
        translaters[t].insert(translaters[t].end(), rows.stop[t].begin() + 1, rows.stop[t].end());
    }
    WriteTable(out, records::TRANSLATER, timed, translaters);
}

}  // namespace report
