// The run as Chrome trace-event JSON ({"traceEvents": [...]}), which Perfetto
// UI and chrome://tracing open. ts and dur are microseconds from the trace's
// first event, written exact to the nanosecond. Slices ("X") on one thread's
// track nest: a life holds jobs and waits, a job its waits in Pop and its
// pauses. Flows ("s" to "f") go from a push on the client's track to the pop
// that takes it on the translater's, each end inside a slice of its track.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "report.h"

namespace report {
namespace {

// Arguments of an event: names and values already written as JSON.
using Args = std::vector<std::pair<std::string, std::string>>;

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') {
            quoted += {'\\', ch};
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            const char HEX[] = "0123456789abcdef";
            quoted += std::string("\\u00") + HEX[ch >> 4] + HEX[ch & 0xF];
        } else {
            quoted += ch;
        }
    }
    return quoted + "\"";
}

// A length in microseconds, exact: nanoseconds as three decimals.
std::string Micros(Nanoseconds length) {
    const std::string fraction = std::to_string(1000 + length % 1000);
    return std::to_string(length / 1000) + "." + fraction.substr(1);
}

std::string Object(const Args& args) {
    std::string text = "{";
    for (const auto& [name, value] : args) {
        text += (text.size() > 1 ? "," : "") + Quote(name) + ":" + value;
    }
    return text + "}";
}

// Collects the events, then writes them in order of time, a slice before the
// slices it holds (Perfetto nests slices of one track by their order).
class CTraceEvents {
public:
    CTraceEvents(Nanoseconds origin, int pid) : m_origin(origin), m_pid(pid) {}

    void Metadata(int tid, const std::string& name, const Args& args) {
        Add(-1, 0, Fields("M", name, tid) + ",\"args\":" + Object(args));
    }
    void Slice(int tid, const std::string& category, const std::string& name, const Span& span,
               const Args& args = {}) {
        Add(span.begin, span.Length(),
            Fields("X", name, tid) + ",\"cat\":" + Quote(category) + ",\"ts\":" + Ts(span.begin) +
                ",\"dur\":" + Micros(span.Length()) + ",\"args\":" + Object(args));
    }
    void Instant(int tid, const std::string& category, const std::string& name, Nanoseconds at,
                 const Args& args = {}) {
        Add(at, 0,
            Fields("i", name, tid) + ",\"cat\":" + Quote(category) +
                ",\"s\":\"t\",\"ts\":" + Ts(at) + ",\"args\":" + Object(args));
    }
    void Counter(const std::string& name, Nanoseconds at, int value) {
        Add(at, 0,
            Fields("C", name, m_pid) + ",\"ts\":" + Ts(at) +
                ",\"args\":{\"letters\":" + std::to_string(value) + "}");
    }
    // An arrow from (from_tid, from) to (to_tid, to), with an id of its own.
    void Flow(const std::string& name, int from_tid, Nanoseconds from, int to_tid, Nanoseconds to) {
        const std::string id = std::to_string(m_next_flow++);
        Add(from, 0,
            Fields("s", name, from_tid) + ",\"cat\":\"flow\",\"id\":" + id + ",\"ts\":" + Ts(from));
        Add(to, 0,
            Fields("f", name, to_tid) + ",\"cat\":\"flow\",\"id\":" + id +
                ",\"bp\":\"e\",\"ts\":" + Ts(to));
    }

    std::string Json() {
        std::stable_sort(m_events.begin(), m_events.end(), [](const Entry& a, const Entry& b) {
            return a.at != b.at ? a.at < b.at : a.length > b.length;
        });
        std::string text = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
        for (std::size_t i = 0; i < m_events.size(); ++i) {
            text += m_events[i].text + (i + 1 < m_events.size() ? ",\n" : "\n");
        }
        return text + "]}\n";
    }

private:
    struct Entry {
        Nanoseconds at;  // -1: metadata, first
        Nanoseconds length;
        std::string text;
    };

    void Add(Nanoseconds at, Nanoseconds length, const std::string& fields) {
        m_events.push_back(Entry{at, length, "{" + fields + "}"});
    }
    std::string Fields(const char* phase, const std::string& name, int tid) const {
        return "\"ph\":\"" + std::string(phase) + "\",\"name\":" + Quote(name) +
               ",\"pid\":" + std::to_string(m_pid) + ",\"tid\":" + std::to_string(tid);
    }
    std::string Ts(Nanoseconds at) const { return Micros(at - m_origin); }

    Nanoseconds m_origin;
    int m_pid;
    int m_next_flow = 1;
    std::vector<Entry> m_events;
};

// A thread's track: its name, its place among the tracks, its life and pauses.
void AddThread(CTraceEvents& events, const ThreadTimes& thread, const std::string& name, int order,
               const Args& args = {}) {
    events.Metadata(thread.tid, "thread_name", {{"name", Quote(name)}});
    events.Metadata(thread.tid, "thread_sort_index", {{"sort_index", std::to_string(order)}});
    events.Slice(thread.tid, "thread", name, thread.life, args);
    for (const Span& pause : thread.pauses) {
        events.Slice(thread.tid, "pause", "pause", pause);
    }
}

void AddDriver(CTraceEvents& events, const RunTimes& times) {
    const DriverTimes& driver = times.driver;
    const int tid = driver.thread.tid;
    AddThread(events, driver.thread, "driver", 0);
    for (std::size_t c = 0; c < driver.created.size(); ++c) {
        if (driver.created[c] != 0) {
            events.Instant(tid, "driver", "client " + std::to_string(c) + " created",
                           driver.created.at(c));
        }
    }
    const Nanoseconds clients_started =
        driver.thread.pauses.empty() ? driver.thread.life.begin : driver.thread.pauses.back().end;
    events.Slice(tid, "driver", "joining the clients", Span{clients_started, driver.stop_flag});
    events.Instant(tid, "stop", "stop flag set", driver.stop_flag);
    Nanoseconds last_signal = driver.stop_flag;
    for (std::size_t t = 0; t < times.translaters.size(); ++t) {
        const TranslaterTimes& translater = times.translaters[t];
        events.Instant(tid, "stop", "stop signal to translater " + std::to_string(t),
                       translater.stop_signal, {{"translater", std::to_string(t)}});
        if (translater.at_stop == StopState::kWaiting) {
            events.Flow("stop signal", tid, translater.stop_signal, translater.thread.tid,
                        translater.leave);
        }
        last_signal = std::max(last_signal, translater.stop_signal);
    }
    events.Slice(tid, "driver", "joining the translaters",
                 Span{last_signal, driver.thread.life.end});
}

void AddWaits(CTraceEvents& events, const TranslaterTimes& translater) {
    const int tid = translater.thread.tid;
    for (std::size_t w = 0; w < translater.job_waits.size(); ++w) {
        const JobWait& wait = translater.job_waits[w];
        const bool tail = static_cast<int>(w) == translater.tail;
        events.Slice(tid, "wait",
                     tail ? "JobFinished: one-second tail, the stop signal missed"
                          : "JobFinished: waiting for a claim or the stop",
                     wait.span, {{"ended", Quote(wait.timed_out ? "timed out" : "woken")}});
        if (wait.timed_out) {
            events.Instant(tid, "wait", "timed out", wait.span.end);
        }
    }
    for (const Span& wait : translater.pop_waits) {
        events.Slice(tid, "wait", "Pop: waiting for a letter", wait);
    }
}

void AddTranslater(CTraceEvents& events, const RunModel& model, int t) {
    const RunTimes& times = model.times;
    const TranslaterTimes& translater = times.translaters.at(t);
    const int tid = translater.thread.tid;
    const std::string name = "translater " + std::to_string(t);
    AddThread(events, translater.thread, name, 1 + t);
    AddWaits(events, translater);
    for (std::size_t j = 0; j < model.summary.jobs.size(); ++j) {
        const logcheck::Job& job = model.summary.jobs[j];
        if (job.translater == t) {
            events.Slice(tid, "job",
                         "job: client " + std::to_string(job.client) + ", " +
                             std::to_string(job.count) + " letters",
                         times.jobs.at(j).work,
                         {{"client", std::to_string(job.client)},
                          {"letters", Quote(job.letters)},
                          {"first_line", std::to_string(job.first_letter_line)},
                          {"end_line", std::to_string(job.end_line)}});
        }
    }
    const std::string counter = "queue of " + name;
    events.Counter(counter, times.first_event, 0);
    for (const QueueDepth& sample : translater.queue) {
        events.Counter(counter, sample.at, sample.depth);
    }
}

void AddClient(CTraceEvents& events, const RunTimes& times, int c) {
    const ClientTimes& client = times.clients.at(c);
    const int tid = client.thread.tid;
    const std::string name = "client " + std::to_string(c);
    AddThread(events, client.thread, name, 1 + static_cast<int>(times.translaters.size()) + c,
              {{"letters", std::to_string(client.letters_drawn)}});
    for (const ClaimAttempt& claim : client.claims) {
        events.Instant(tid, "claim",
                       "claim translater " + std::to_string(claim.translater) +
                           (claim.won ? ": won" : ": lost"),
                       claim.at, {{"translater", std::to_string(claim.translater)}});
        if (claim.won) {
            events.Slice(tid, "job", "sending to translater " + std::to_string(claim.translater),
                         Span{claim.at, client.thread.life.end});
        }
    }
    if (client.give_up != 0) {
        events.Instant(tid, "claim", "turned away: every translater busy", client.give_up);
    }
}

// Each job's first letter and its terminator, from the push to the pop.
void AddFlows(CTraceEvents& events, const RunTimes& times) {
    for (const JobTimes& job : times.jobs) {
        for (const std::size_t k : {job.handoffs.front(), job.handoffs.back()}) {
            const Handoff& handoff = times.handoffs.at(k);
            events.Flow(handoff.ch == '\0' ? "terminator" : "first letter",
                        times.clients.at(handoff.client).thread.tid, handoff.push,
                        times.translaters.at(handoff.translater).thread.tid, handoff.pop);
        }
    }
}

}  // namespace

std::string PerfettoJson(const RunModel& model) {
    const RunTimes& times = model.times;
    CTraceEvents events(times.first_event, times.driver.thread.tid);
    events.Metadata(times.driver.thread.tid, "process_name", {{"name", Quote("translaters")}});
    AddDriver(events, times);
    for (int t = 0; t < static_cast<int>(times.translaters.size()); ++t) {
        AddTranslater(events, model, t);
    }
    for (int c = 0; c < static_cast<int>(times.clients.size()); ++c) {
        if (times.clients[c].thread.tid != 0) {
            AddClient(events, times, c);
        }
    }
    AddFlows(events, times);
    return events.Json();
}

}  // namespace report
