// One run of the translaters program as the report sees it: what its log says
// (the log checker's summary) and, when a trace was recorded with the log,
// when each step of every thread happened. The table, the two pictures and the
// Perfetto file are writers of this one model.
#ifndef TRANSLATERS_TOOLS_REPORT_RUN_MODEL_H
#define TRANSLATERS_TOOLS_REPORT_RUN_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log_checker.h"
#include "run_trace.h"

namespace report {

// A moment of the trace: CLOCK_MONOTONIC in nanoseconds, as recorded.
using Nanoseconds = std::int64_t;

struct Span {
    Nanoseconds begin = 0;
    Nanoseconds end = 0;
    Nanoseconds Length() const { return end - begin; }
    bool Contains(Nanoseconds at) const { return begin <= at && at <= end; }
};

// A wait in JobFinished: it ends on a signal (a claim or the stop), a
// spurious wake-up, or when its second runs out.
struct JobWait {
    Span span;
    bool timed_out = false;
};

// One character through a translater's queue: pushed by its client, popped by
// the translater.
struct Handoff {
    int client = -1;
    int translater = -1;
    char ch = 0;    // '\0' for the terminator
    int index = 0;  // its place in the job: 0 the first letter, the count the terminator
    Nanoseconds push = 0;
    Nanoseconds pop = 0;
};

// A translater's queue after a push or a pop.
struct QueueDepth {
    Nanoseconds at = 0;
    int depth = 0;
};

struct ClaimAttempt {
    Nanoseconds at = 0;
    int translater = -1;
    bool won = false;
};

// What every thread has: its life (first probe to last) and its pauses.
struct ThreadTimes {
    int tid = 0;
    Span life;
    std::vector<Span> pauses;
};

// Where a translater was when the driver's stop signal came.
enum class StopState {
    kWaiting,       // waiting in JobFinished, and the signal woke it to leave
    kClaimPending,  // waiting in JobFinished, but already signalled by a claim
    kWorking,       // serving a job
    kStarting,      // not yet in its first JobFinished
    kLeft,          // already gone: a wait ran out after the stop flag was set
    kBetween,       // none of these (between two of its steps)
};

struct TranslaterTimes {
    ThreadTimes thread;
    std::vector<JobWait> job_waits;
    std::vector<Span> pop_waits;
    std::vector<Span> work;  // one per job served, in order: JobFinished returned to release
    Nanoseconds leave = 0;   // JobFinished returned false
    Nanoseconds stop_signal = 0;
    StopState at_stop = StopState::kBetween;
    // The wait it left after, when that wait ran out: the signal was missed
    // and the stop cost this second. -1 if none.
    int tail = -1;
    std::vector<QueueDepth> queue;
};

struct ClientTimes {
    ThreadTimes thread;
    int letters_drawn = 0;
    std::vector<ClaimAttempt> claims;
    Nanoseconds give_up = 0;  // its give-up line; 0 unless turned away
};

struct DriverTimes {
    ThreadTimes thread;
    std::vector<Nanoseconds> created;  // by client
    Nanoseconds stop_flag = 0;
};

struct JobTimes {
    Nanoseconds claim = 0;              // the client's claim won
    Nanoseconds first_push = 0;         // its first letter queued
    Nanoseconds last_push = 0;          // its last letter queued
    Nanoseconds end = 0;                // the translater's end-of-job line
    Span work;                          // the translater serving it
    std::vector<std::size_t> handoffs;  // into RunTimes::handoffs: letters, then the terminator
};

struct RunTimes {
    Nanoseconds first_event = 0;
    Nanoseconds driver_start = 0;
    DriverTimes driver;
    std::vector<TranslaterTimes> translaters;  // by ID
    std::vector<ClientTimes> clients;          // by index
    std::vector<Handoff> handoffs;             // in order of push
    std::vector<JobTimes> jobs;                // one per job of the summary, in its order
    std::vector<Nanoseconds> lines;            // lines[n]: when log line n + 1 was written
};

struct RunModel {
    logcheck::Summary summary;
    bool has_times = false;
    RunTimes times;  // only with a trace
};

// The model of a run from its log alone (a clean one, so every thread of the
// run's sizes is in it).
RunModel ModelFromLog(const logcheck::Summary& summary);

// Reads the trace (trace.tsv's text) recorded with log (runtrace::ReadTrace)
// and adds its times to the model. The error, when the trace cannot be read or
// its steps do not fit the log or each other, names the trace's or the log's
// line where there is one; the model then has no times.
logcheck::CStatus AddTrace(const std::string& text, const std::string& log, RunModel& model);

// The state as one word: waiting, claim-pending, working, starting, gone or
// between-steps.
const char* StopStateName(StopState state);

// The load offered to the pool, as a loss system (Erlang's) sees it: the
// clients arrive at their first claim attempt, and each won claim is held
// from then until the translater releases it.
struct OfferedLoad {
    double arrivals_per_ms = 0;  // between the first arrival and the last
    double hold_ms = 0;          // a won claim's, on average
    double Erlangs() const { return arrivals_per_ms * hold_ms; }
};

// False for a run with fewer than two arrivals or no job.
bool MeasureOfferedLoad(const RunTimes& times, OfferedLoad& load);

// The spans' lengths added up.
Nanoseconds TotalLength(const std::vector<Span>& spans);

// The letters' queue waits of a job (push to pop), mean and longest.
Nanoseconds MeanQueueWait(const RunTimes& times, const JobTimes& job);
Nanoseconds MaxQueueWait(const RunTimes& times, const JobTimes& job);

}  // namespace report

#endif  // TRANSLATERS_TOOLS_REPORT_RUN_MODEL_H
