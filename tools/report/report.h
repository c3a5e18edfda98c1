// The report on one run of the translaters program: a table of its jobs and of
// the clients turned away, a timeline of the run as an SVG picture along its
// log or along time, and a trace-event file for Perfetto. Each is a writer of
// the run's model (run_model.h): the summary the log checker makes of a clean
// log, with the times of a trace when one was recorded with the log.
#ifndef TRANSLATERS_TOOLS_REPORT_REPORT_H
#define TRANSLATERS_TOOLS_REPORT_REPORT_H

#include <ostream>
#include <string>
#include <vector>

#include "log_checker.h"
#include "run_model.h"

namespace report {

struct TranslaterTotals {
    int jobs = 0;
    int letters = 0;
};

struct Totals {
    std::vector<TranslaterTotals> translaters;  // by ID
    int jobs = 0;
    int letters = 0;
    int turned_away = 0;
};

Totals CountTotals(const logcheck::Summary& summary);

// The jobs, the clients turned away and the totals, as plain text tables; with
// times, the jobs' times and queue waits, when the clients gave up, and how
// each translater spent its time and took the stop.
void PrintReport(const RunModel& model, std::ostream& out);

// The same as records for scripts (--format tsv; the tables and columns of
// records.h): the run, each job, each client turned away, each translater.
void WriteRecords(const RunModel& model, std::ostream& out);

// The run as a self-contained SVG document: one lane per translater with a bar
// per job, a lane of the clients turned away, and the driver's two lines, all
// laid out along the log's line numbers.
std::string TimelineSvg(const RunModel& model);

// The run along time (the model must have times): for each translater its
// waits in JobFinished and in Pop, its jobs, its stop signal, its timeouts and
// the one-second tail of a missed signal; the driver's pauses and the stop
// flag; each client's pauses, claims and sending.
std::string TimeAxisSvg(const RunModel& model);

// The run as Chrome trace-event JSON, for Perfetto UI or chrome://tracing (the
// model must have times): a track per thread, slices for lives, jobs, waits and
// pauses, instants for claims, give-ups, signals and timeouts, a queue-depth
// counter per translater, and flow arrows from pushes to pops.
std::string PerfettoJson(const RunModel& model);

}  // namespace report

#endif  // TRANSLATERS_TOOLS_REPORT_REPORT_H
