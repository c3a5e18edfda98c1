#include "run_model.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <variant>

namespace report {
namespace {

namespace args = runtrace::args;
using logcheck::CStatus;
using runtrace::Event;
using runtrace::Probe;

// Whether a probe's arguments name a translater as id.
template <class A, class = void>
struct NamesTranslater : std::false_type {};
template <class A>
struct NamesTranslater<A, std::void_t<decltype(A::id)>> : std::true_type {};

// The translater an event names as its id; -1 for an event that names none.
long long TranslaterOf(const Event& event) {
    return std::visit(
        [](const auto& arguments) -> long long {
            if constexpr (NamesTranslater<std::decay_t<decltype(arguments)>>::value) {
                return arguments.id;
            } else {
                return -1;
            }
        },
        event.args);
}

enum class Role { kAny, kDriver, kTranslater, kClient };

// The thread that fired an event: its role and its index among its kind.
struct Who {
    Role role = Role::kAny;
    int index = -1;
};

// What one thread has begun and not yet ended.
struct OpenSpans {
    std::optional<Nanoseconds> pause;
    std::optional<Nanoseconds> job_wait;
    std::optional<Nanoseconds> pop_wait;
    std::optional<Nanoseconds> work;
};

std::string ThreadName(const Who& who) {
    switch (who.role) {
        case Role::kDriver:
            return "the driver";
        case Role::kTranslater:
            return "translater " + std::to_string(who.index);
        case Role::kClient:
            return "client " + std::to_string(who.index);
        case Role::kAny:
            break;
    }
    return "a thread no start probe names";
}

// Walks the trace's events in order and fills the times of every thread, each
// step checked against the one that must come before it.
class CTraceReader {
public:
    CTraceReader(const runtrace::Trace& trace, RunTimes& times)
        : m_trace(trace),
          m_times(times),
          m_queued(static_cast<std::size_t>(trace.sizes.translaters)),
          m_pushed(static_cast<std::size_t>(trace.sizes.clients)) {
        m_times.translaters.resize(static_cast<std::size_t>(trace.sizes.translaters));
        m_times.clients.resize(static_cast<std::size_t>(trace.sizes.clients));
        m_times.driver.created.resize(static_cast<std::size_t>(trace.sizes.clients));
    }

    CStatus Read();

private:
    using Handler = CStatus (CTraceReader::*)(int index, const Event& event);
    // The role of the thread that fires a probe, and what takes it.
    struct Handling {
        Role role = Role::kAny;
        Handler handler = nullptr;
    };
    static Handling HandlingOf(Probe probe);

    CStatus Take(const Event& event);
    CStatus Fault(const std::string& what) const {
        return CStatus::Error("trace line " + std::to_string(m_at + 1) + ": " + what);
    }
    CStatus Begin(std::optional<Nanoseconds>& open, const Event& event, const char* what);
    CStatus End(std::optional<Nanoseconds>& open, const char* what, Span& span);
    CStatus EndInto(std::optional<Nanoseconds>& open, const char* what, std::vector<Span>& spans);
    ThreadTimes& Thread(const Who& who);
    // tid 0: a thread that never started.
    void Name(int tid, const Who& who, ThreadTimes& thread) {
        if (tid != 0) {
            m_who[tid] = who;
            thread.tid = tid;
        }
    }
    CStatus Unfinished() const;

    CStatus DriverStart(int index, const Event& event);
    // The end of the life of the thread that fired event.
    CStatus LifeEnd(int index, const Event& event);
    CStatus ClientCreated(int index, const Event& event);
    CStatus StopFlag(int index, const Event& event);
    CStatus StopSignal(int index, const Event& event);
    CStatus TranslaterStart(int t, const Event& event);
    CStatus JobWaitBegin(int t, const Event& event);
    CStatus JobWaitEnd(int t, const Event& event);
    CStatus JobReturn(int t, const Event& event);
    CStatus Release(int t, const Event& event);
    CStatus PopWaitBegin(int t, const Event& event);
    CStatus PopWaitEnd(int t, const Event& event);
    CStatus Pop(int t, const Event& event);
    CStatus ClientStart(int c, const Event& event);
    CStatus Claim(int c, const Event& event);
    CStatus Push(int c, const Event& event);
    CStatus PauseBegin(int index, const Event& event);
    CStatus PauseEnd(int index, const Event& event);

    bool IsTranslater(long long t) const { return t >= 0 && t < m_trace.sizes.translaters; }
    bool IsClient(long long c) const { return c >= 0 && c < m_trace.sizes.clients; }

    const runtrace::Trace& m_trace;
    RunTimes& m_times;
    std::unordered_map<int, Who> m_who;
    std::map<int, OpenSpans> m_open;                // by tid, in order for a steady report
    std::vector<std::deque<std::size_t>> m_queued;  // by translater: into handoffs
    std::vector<int> m_pushed;                      // by client: characters pushed
    std::size_t m_at = 0;
    Who m_current;
};

// Probes that carry nothing for the model (line, error_line, any newer one)
// have no handler.
CTraceReader::Handling CTraceReader::HandlingOf(Probe probe) {
    using R = CTraceReader;
    static const std::map<Probe, Handling> HANDLINGS = {
        {Probe::kDriverStart, {Role::kDriver, &R::DriverStart}},
        {Probe::kDriverEnd, {Role::kDriver, &R::LifeEnd}},
        {Probe::kClientCreated, {Role::kDriver, &R::ClientCreated}},
        {Probe::kStopFlag, {Role::kDriver, &R::StopFlag}},
        {Probe::kStopSignal, {Role::kDriver, &R::StopSignal}},
        {Probe::kTranslaterStart, {Role::kTranslater, &R::TranslaterStart}},
        {Probe::kTranslaterEnd, {Role::kTranslater, &R::LifeEnd}},
        {Probe::kJobWait, {Role::kTranslater, &R::JobWaitBegin}},
        {Probe::kJobWake, {Role::kTranslater, &R::JobWaitEnd}},
        {Probe::kJobReturn, {Role::kTranslater, &R::JobReturn}},
        {Probe::kRelease, {Role::kTranslater, &R::Release}},
        {Probe::kPopWait, {Role::kTranslater, &R::PopWaitBegin}},
        {Probe::kPopWake, {Role::kTranslater, &R::PopWaitEnd}},
        {Probe::kPop, {Role::kTranslater, &R::Pop}},
        {Probe::kClientStart, {Role::kClient, &R::ClientStart}},
        {Probe::kClientEnd, {Role::kClient, &R::LifeEnd}},
        {Probe::kClaim, {Role::kClient, &R::Claim}},
        {Probe::kPush, {Role::kClient, &R::Push}},
        {Probe::kDelayStart, {Role::kAny, &R::PauseBegin}},
        {Probe::kDelayEnd, {Role::kAny, &R::PauseEnd}},
    };
    const auto handling = HANDLINGS.find(probe);
    return handling != HANDLINGS.end() ? handling->second : Handling{};
}

CStatus CTraceReader::Read() {
    const runtrace::Threads& threads = m_trace.threads;
    if (threads.driver == 0) {
        return CStatus::Error(
            "the trace has no driver_start: it was not recorded from the program's start");
    }
    Name(threads.driver, Who{Role::kDriver, 0}, m_times.driver.thread);
    for (int t = 0; t < m_trace.sizes.translaters; ++t) {
        Name(threads.Translater(t), Who{Role::kTranslater, t}, m_times.translaters.at(t).thread);
    }
    for (int c = 0; c < m_trace.sizes.clients; ++c) {
        Name(threads.Client(c), Who{Role::kClient, c}, m_times.clients.at(c).thread);
    }
    m_times.first_event = m_trace.events.front().ns;
    for (m_at = 0; m_at < m_trace.events.size(); ++m_at) {
        RETURN_IF_ERROR(Take(m_trace.events[m_at]));
    }
    return Unfinished();
}

CStatus CTraceReader::Take(const Event& event) {
    const auto [role, handler] = HandlingOf(event.probe);
    if (handler == nullptr) {
        return {};
    }
    const auto who = m_who.find(event.tid);
    m_current = who != m_who.end() ? who->second : Who{};
    if (m_current.index < 0 || (role != Role::kAny && role != m_current.role)) {
        return Fault(std::string(event.Name()) + " fired by " + ThreadName(m_current) +
                     ": the trace's threads do not fit the program");
    }
    // Each probe of a translater thread names its own translater first.
    if (role == Role::kTranslater && TranslaterOf(event) != m_current.index) {
        return Fault(std::string(event.Name()) + " of translater " +
                     std::to_string(TranslaterOf(event)) + " fired by " + ThreadName(m_current));
    }
    return (this->*handler)(m_current.index, event);
}

CStatus CTraceReader::Begin(std::optional<Nanoseconds>& open, const Event& event,
                            const char* what) {
    if (open.has_value()) {
        return Fault(ThreadName(m_current) + " begins " + what + " inside another");
    }
    open = event.ns;
    return {};
}

CStatus CTraceReader::End(std::optional<Nanoseconds>& open, const char* what, Span& span) {
    if (!open.has_value()) {
        return Fault(ThreadName(m_current) + " ends " + what + " it never began");
    }
    span = Span{*open, m_trace.events[m_at].ns};
    open.reset();
    return {};
}

CStatus CTraceReader::EndInto(std::optional<Nanoseconds>& open, const char* what,
                              std::vector<Span>& spans) {
    Span span;
    RETURN_IF_ERROR(End(open, what, span));
    spans.push_back(span);
    return {};
}

ThreadTimes& CTraceReader::Thread(const Who& who) {
    switch (who.role) {
        case Role::kTranslater:
            return m_times.translaters.at(who.index).thread;
        case Role::kClient:
            return m_times.clients.at(who.index).thread;
        default:
            return m_times.driver.thread;
    }
}

CStatus CTraceReader::Unfinished() const {
    for (const auto& [tid, open] : m_open) {
        if (open.pause || open.job_wait || open.pop_wait || open.work) {
            return CStatus::Error("the trace ends while " + ThreadName(m_who.at(tid)) +
                                  " still pauses, waits or works: it was cut short");
        }
    }
    for (std::size_t t = 0; t < m_queued.size(); ++t) {
        if (!m_queued[t].empty()) {
            return CStatus::Error("the trace ends with characters in translater " +
                                  std::to_string(t) + "'s queue: it was cut short");
        }
    }
    return {};
}

CStatus CTraceReader::DriverStart(int /*index*/, const Event& event) {
    m_times.driver_start = event.ns;
    m_times.driver.thread.life.begin = event.ns;
    return {};
}

CStatus CTraceReader::LifeEnd(int /*index*/, const Event& event) {
    Thread(m_current).life.end = event.ns;
    return {};
}

CStatus CTraceReader::ClientCreated(int /*index*/, const Event& event) {
    const long long client = event.Get<args::ClientCreated>().client;
    if (!IsClient(client)) {
        return Fault("client_created names no client");
    }
    m_times.driver.created.at(client) = event.ns;
    return {};
}

CStatus CTraceReader::StopFlag(int /*index*/, const Event& event) {
    m_times.driver.stop_flag = event.ns;
    return {};
}

CStatus CTraceReader::StopSignal(int /*index*/, const Event& event) {
    const long long t = event.Get<args::StopSignal>().id;
    if (!IsTranslater(t)) {
        return Fault("stop_signal names no translater");
    }
    m_times.translaters.at(t).stop_signal = event.ns;
    return {};
}

CStatus CTraceReader::TranslaterStart(int t, const Event& event) {
    m_times.translaters.at(t).thread.life.begin = event.ns;
    return {};
}

CStatus CTraceReader::JobWaitBegin(int /*t*/, const Event& event) {
    return Begin(m_open[event.tid].job_wait, event, "a wait in JobFinished");
}

CStatus CTraceReader::JobWaitEnd(int t, const Event& event) {
    JobWait wait;
    wait.timed_out = event.Get<args::JobWake>().result == runtrace::WAIT_TIMED_OUT;
    RETURN_IF_ERROR(End(m_open[event.tid].job_wait, "a wait in JobFinished", wait.span));
    m_times.translaters.at(t).job_waits.push_back(wait);
    return {};
}

// JobFinished returns: 1 to serve a job, 0 to leave.
CStatus CTraceReader::JobReturn(int t, const Event& event) {
    if (event.Get<args::JobReturn>().claimed != 0) {
        return Begin(m_open[event.tid].work, event, "a job");
    }
    m_times.translaters.at(t).leave = event.ns;
    return {};
}

CStatus CTraceReader::Release(int t, const Event& event) {
    return EndInto(m_open[event.tid].work, "a job", m_times.translaters.at(t).work);
}

CStatus CTraceReader::PopWaitBegin(int /*t*/, const Event& event) {
    return Begin(m_open[event.tid].pop_wait, event, "a wait in Pop");
}

CStatus CTraceReader::PopWaitEnd(int t, const Event& event) {
    return EndInto(m_open[event.tid].pop_wait, "a wait in Pop",
                   m_times.translaters.at(t).pop_waits);
}

CStatus CTraceReader::Pop(int t, const Event& event) {
    std::deque<std::size_t>& queued = m_queued.at(t);
    const long long ch = event.Get<args::Pop>().ch;
    if (queued.empty() || m_times.handoffs.at(queued.front()).ch != ch) {
        return Fault("translater " + std::to_string(t) + " pops character " + std::to_string(ch) +
                     (queued.empty() ? " from an empty queue" : ", not the one pushed first"));
    }
    m_times.handoffs.at(queued.front()).pop = event.ns;
    queued.pop_front();
    m_times.translaters.at(t).queue.push_back(
        QueueDepth{event.ns, static_cast<int>(queued.size())});
    return {};
}

CStatus CTraceReader::ClientStart(int c, const Event& event) {
    ClientTimes& client = m_times.clients.at(c);
    client.thread.life.begin = event.ns;
    client.letters_drawn = static_cast<int>(event.Get<args::ClientStart>().letters);
    return {};
}

CStatus CTraceReader::Claim(int c, const Event& event) {
    const args::Claim& claim = event.Get<args::Claim>();
    if (!IsTranslater(claim.id)) {
        return Fault("client " + std::to_string(c) + " claims no translater");
    }
    m_times.clients.at(c).claims.push_back(
        ClaimAttempt{event.ns, static_cast<int>(claim.id), claim.won != 0});
    return {};
}

CStatus CTraceReader::Push(int c, const Event& event) {
    const args::Push& push = event.Get<args::Push>();
    if (!IsTranslater(push.id)) {
        return Fault("client " + std::to_string(c) + " pushes to no translater");
    }
    const int t = static_cast<int>(push.id);
    m_queued.at(t).push_back(m_times.handoffs.size());
    // Its pop, 0 here, is set when Pop takes it.
    m_times.handoffs.push_back(
        Handoff{c, t, static_cast<char>(push.ch), m_pushed.at(c)++, event.ns, 0});
    m_times.translaters.at(t).queue.push_back(
        QueueDepth{event.ns, static_cast<int>(m_queued.at(t).size())});
    return {};
}

CStatus CTraceReader::PauseBegin(int /*index*/, const Event& event) {
    return Begin(m_open[event.tid].pause, event, "a pause");
}

CStatus CTraceReader::PauseEnd(int /*index*/, const Event& event) {
    return EndInto(m_open[event.tid].pause, "a pause", Thread(m_current).pauses);
}

CStatus AtLine(int line, const std::string& what) {
    return CStatus::Error("line " + std::to_string(line) + ": " + what +
                          ": the trace was not recorded with this log");
}

// What the join of jobs reads of each client, gathered in one pass each.
struct ClientSteps {
    std::vector<std::vector<int>> lines;             // by client: its log lines, in order
    std::vector<std::vector<std::size_t>> handoffs;  // by client: into RunTimes::handoffs
};

ClientSteps StepsOfClients(const runtrace::Trace& trace, const RunTimes& run) {
    const std::size_t clients = run.clients.size();
    ClientSteps steps{std::vector<std::vector<int>>(clients),
                      std::vector<std::vector<std::size_t>>(clients)};
    std::unordered_map<int, std::size_t> client_of;  // by tid
    for (std::size_t c = 0; c < clients; ++c) {
        client_of.emplace(run.clients[c].thread.tid, c);
    }
    for (std::size_t n = 0; n < trace.line_events.size(); ++n) {
        const auto client = client_of.find(trace.events.at(trace.line_events[n]).tid);
        if (client != client_of.end()) {
            steps.lines[client->second].push_back(static_cast<int>(n) + 1);
        }
    }
    for (std::size_t i = 0; i < run.handoffs.size(); ++i) {
        steps.handoffs.at(static_cast<std::size_t>(run.handoffs[i].client)).push_back(i);
    }
    return steps;
}

// The client's claim that won, which must be of the translater the log has it
// send to.
CStatus FindClaim(const logcheck::Job& job, const ClientTimes& client, JobTimes& times) {
    int won = 0;
    bool found = false;
    for (const ClaimAttempt& claim : client.claims) {
        if (claim.won && claim.translater == job.translater) {
            times.claim = claim.at;
            found = true;
        }
        won += claim.won ? 1 : 0;
    }
    if (won != 1 || !found) {
        return AtLine(job.first_letter_line,
                      "the log has client " + std::to_string(job.client) + " send to translater " +
                          std::to_string(job.translater) + ", but in the trace it won " +
                          std::to_string(won) + " claims, not that one");
    }
    return {};
}

// The client's pushes: its letters as the log has them, then the terminator.
CStatus FindHandoffs(const ClientSteps& steps, const logcheck::Job& job, const RunTimes& run,
                     JobTimes& times) {
    std::vector<int> lines = steps.lines.at(static_cast<std::size_t>(job.client));
    lines.erase(lines.begin(), std::lower_bound(lines.begin(), lines.end(), job.first_letter_line));
    // lines: the letter lines, then the summary line
    const std::string sent = job.letters + '\0';
    times.handoffs = steps.handoffs.at(static_cast<std::size_t>(job.client));
    for (std::size_t k = 0; k < sent.size(); ++k) {
        const Handoff* handoff =
            k < times.handoffs.size() ? &run.handoffs[times.handoffs[k]] : nullptr;
        if (handoff == nullptr || handoff->ch != sent[k] || handoff->translater != job.translater) {
            const int line = k < lines.size() ? lines[k] : job.first_letter_line;
            return AtLine(line, "the trace has client " + std::to_string(job.client) +
                                    " push other characters than the log has it send");
        }
    }
    if (times.handoffs.size() != sent.size()) {
        return AtLine(job.summary_line, "the trace has client " + std::to_string(job.client) +
                                            " push more characters than the log has it send");
    }
    times.first_push = run.handoffs.at(times.handoffs.front()).push;
    times.last_push = run.handoffs.at(times.handoffs.at(sent.size() - 2)).push;
    return {};
}

// Each job's claim, letters and end, and the translater's service of it.
CStatus JoinJobs(const runtrace::Trace& trace, const logcheck::Summary& summary, RunTimes& run) {
    const ClientSteps steps = StepsOfClients(trace, run);
    std::vector<std::size_t> served(run.translaters.size());
    for (const logcheck::Job& job : summary.jobs) {
        JobTimes times;
        RETURN_IF_ERROR(FindClaim(job, run.clients.at(job.client), times));
        RETURN_IF_ERROR(FindHandoffs(steps, job, run, times));
        const std::vector<Span>& work = run.translaters.at(job.translater).work;
        const std::size_t k = served.at(job.translater)++;
        if (k >= work.size()) {
            return AtLine(job.end_line, "the trace has translater " +
                                            std::to_string(job.translater) + " serve " +
                                            std::to_string(work.size()) + " jobs, the log more");
        }
        times.work = work[k];
        times.end = run.lines.at(job.end_line - 1);
        run.jobs.push_back(times);
    }
    for (std::size_t t = 0; t < run.translaters.size(); ++t) {
        if (run.translaters[t].work.size() != served[t]) {
            return AtLine(summary.translaters.at(t).leave_line,
                          "the trace has translater " + std::to_string(t) + " serve more jobs");
        }
    }
    return {};
}

// Where a translater that did not catch the stop signal in its last wait was.
StopState StateAtSignal(const TranslaterTimes& translater) {
    const Nanoseconds signal = translater.stop_signal;
    if (signal > translater.leave) {
        return StopState::kLeft;
    }
    if (std::any_of(translater.job_waits.begin(), translater.job_waits.end(),
                    [signal](const JobWait& wait) { return wait.span.Contains(signal); })) {
        return StopState::kClaimPending;
    }
    if (std::any_of(translater.work.begin(), translater.work.end(),
                    [signal](const Span& work) { return work.Contains(signal); })) {
        return StopState::kWorking;
    }
    const bool started =
        !translater.job_waits.empty() && translater.job_waits.front().span.begin <= signal;
    return started ? StopState::kBetween : StopState::kStarting;
}

// How each translater took the stop: its signal caught in its last wait, or
// missed and that wait run out.
CStatus ClassifyStops(const logcheck::Summary& summary, RunTimes& run) {
    for (std::size_t t = 0; t < run.translaters.size(); ++t) {
        TranslaterTimes& translater = run.translaters[t];
        const int leave_line = summary.translaters.at(t).leave_line;
        if (translater.leave == 0 || translater.job_waits.empty() ||
            translater.job_waits.back().span.end > translater.leave) {
            return AtLine(leave_line, "translater " + std::to_string(t) +
                                          " does not leave JobFinished after a wait in the trace");
        }
        if (translater.stop_signal == 0) {
            return AtLine(leave_line,
                          "the trace has no stop signal to translater " + std::to_string(t));
        }
        const JobWait& last = translater.job_waits.back();
        const bool caught = last.span.Contains(translater.stop_signal);
        translater.at_stop = caught ? StopState::kWaiting : StateAtSignal(translater);
        if (last.timed_out && !caught) {
            translater.tail = static_cast<int>(translater.job_waits.size()) - 1;
        }
    }
    return {};
}

// Clients turned away: when they gave up, and that no claim of theirs won.
CStatus JoinTurnedAway(const logcheck::Summary& summary, RunTimes& run) {
    for (const logcheck::TurnedAway& away : summary.turned_away) {
        ClientTimes& client = run.clients.at(away.client);
        if (std::any_of(client.claims.begin(), client.claims.end(),
                        [](const ClaimAttempt& claim) { return claim.won; })) {
            return AtLine(away.line, "the log has client " + std::to_string(away.client) +
                                         " turned away, but in the trace a claim of it won");
        }
        client.give_up = run.lines.at(away.line - 1);
    }
    return {};
}

}  // namespace

RunModel ModelFromLog(const logcheck::Summary& summary) {
    RunModel model;
    model.summary = summary;
    return model;
}

CStatus AddTrace(const std::string& text, const std::string& log, RunModel& model) {
    runtrace::Trace trace;
    RETURN_IF_ERROR(runtrace::ReadTrace(text, log, trace, model.summary.sizes));
    RunTimes run;
    const logcheck::Sizes& sizes = model.summary.sizes;
    if (trace.events.empty() ||
        trace.line_events.size() != static_cast<std::size_t>(model.summary.line_count) ||
        trace.sizes.translaters != sizes.translaters || trace.sizes.clients != sizes.clients) {
        return CStatus::Error("the trace is not joined with this log");
    }
    for (const std::size_t event : trace.line_events) {
        run.lines.push_back(trace.events.at(event).ns);
    }
    CTraceReader reader(trace, run);
    RETURN_IF_ERROR(reader.Read());
    RETURN_IF_ERROR(JoinJobs(trace, model.summary, run));
    RETURN_IF_ERROR(JoinTurnedAway(model.summary, run));
    RETURN_IF_ERROR(ClassifyStops(model.summary, run));
    model.times = std::move(run);
    model.has_times = true;
    return {};
}

const char* StopStateName(StopState state) {
    // In the order of StopState.
    static const char* const NAMES[] = {"waiting",  "claim-pending", "working",
                                        "starting", "gone",          "between-steps"};
    static_assert(std::size(NAMES) == static_cast<std::size_t>(StopState::kBetween) + 1);
    return NAMES[static_cast<int>(state)];
}

bool MeasureOfferedLoad(const RunTimes& times, OfferedLoad& load) {
    std::vector<Nanoseconds> arrivals;
    for (const ClientTimes& client : times.clients) {
        if (!client.claims.empty()) {
            arrivals.push_back(client.claims.front().at);
        }
    }
    const auto [first, last] = std::minmax_element(arrivals.begin(), arrivals.end());
    if (arrivals.size() < 2 || *last == *first || times.jobs.empty()) {
        return false;
    }
    // In ms, as each claim's hold in ns may be near the largest of its type.
    const double held_ms = std::accumulate(
        times.jobs.begin(), times.jobs.end(), 0.0, [](double total, const JobTimes& job) {
            return total + static_cast<double>(job.work.end - job.claim) / 1e6;
        });
    load.arrivals_per_ms =
        static_cast<double>(arrivals.size() - 1) * 1e6 / static_cast<double>(*last - *first);
    load.hold_ms = held_ms / static_cast<double>(times.jobs.size());
    return true;
}

Nanoseconds TotalLength(const std::vector<Span>& spans) {
    return std::accumulate(
        spans.begin(), spans.end(), Nanoseconds{0},
        [](Nanoseconds total, const Span& span) { return total + span.Length(); });
}

Nanoseconds MeanQueueWait(const RunTimes& times, const JobTimes& job) {
    const std::size_t letters = job.handoffs.size() - 1;
    if (letters == 0) {
        return 0;
    }
    // The sum of the waits, whole letters' worth and the rest apart: each wait
    // may be near the largest Nanoseconds, their sum beyond it.
    const auto count = static_cast<Nanoseconds>(letters);
    Nanoseconds whole = 0;
    Nanoseconds rest = 0;
    for (std::size_t k = 0; k < letters; ++k) {
        const Handoff& handoff = times.handoffs.at(job.handoffs[k]);
        const Nanoseconds wait = handoff.pop - handoff.push;
        whole += wait / count;
        rest += wait % count;
        whole += rest / count;
        rest %= count;
    }
    return whole;
}

Nanoseconds MaxQueueWait(const RunTimes& times, const JobTimes& job) {
    Nanoseconds longest = 0;
    for (std::size_t k = 0; k + 1 < job.handoffs.size(); ++k) {
        const Handoff& handoff = times.handoffs.at(job.handoffs[k]);
        longest = std::max(longest, handoff.pop - handoff.push);
    }
    return longest;
}

}  // namespace report
