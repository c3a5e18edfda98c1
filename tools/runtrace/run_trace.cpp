#include "run_trace.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <utility>

namespace runtrace {

using logcheck::CStatus;

#define PROBE0(Function, name) {#name, Probe::k##Function, 0, {}},
#define PROBE1(Function, name, T1, a1) {#name, Probe::k##Function, 1, {#a1}},
#define PROBE2(Function, name, T1, a1, T2, a2) {#name, Probe::k##Function, 2, {#a1, #a2}},
const ProbeInfo KNOWN_PROBES[static_cast<int>(Probe::kOther)] = {
#include "probes.def"
};
#undef PROBE0
#undef PROBE1
#undef PROBE2

const char* ProbeName(Probe probe) {
    const int index = static_cast<int>(probe);
    return index >= 0 && index < static_cast<int>(Probe::kOther) ? KNOWN_PROBES[index].name
                                                                 : "other";
}

namespace {

// A declared probe's arguments from the numbers of its line, as many as it has.
using Decoder = Arguments (*)(const std::vector<long long>&);
#define PROBE0(Function, name) \
    [](const std::vector<long long>& /*values*/) -> Arguments { return args::Function{}; },
#define PROBE1(Function, name, T1, a1) \
    [](const std::vector<long long>& values) -> Arguments { return args::Function{values.at(0)}; },
#define PROBE2(Function, name, T1, a1, T2, a2)              \
    [](const std::vector<long long>& values) -> Arguments { \
        return args::Function{values.at(0), values.at(1)};  \
    },
const Decoder DECODERS[] = {
#include "probes.def"
};
#undef PROBE0
#undef PROBE1
#undef PROBE2

// The numbers of an event's line.
#define PROBE0(Function, name)                                           \
    std::vector<long long> Values(const args::Function& /*arguments*/) { \
        return {};                                                       \
    }
#define PROBE1(Function, name, T1, a1)                               \
    std::vector<long long> Values(const args::Function& arguments) { \
        return {arguments.a1};                                       \
    }
#define PROBE2(Function, name, T1, a1, T2, a2)                       \
    std::vector<long long> Values(const args::Function& arguments) { \
        return {arguments.a1, arguments.a2};                         \
    }
#include "probes.def"
#undef PROBE0
#undef PROBE1
#undef PROBE2
std::vector<long long> Values(const args::Other& arguments) {
    return arguments.values;
}

// The latest time a trace may hold: 2^62 ns, 146 years of CLOCK_MONOTONIC.
// Its readers add and subtract two times, which then cannot overflow.
const std::int64_t LATEST_NS = std::int64_t{1} << 62;

// The longest field a trace line holds: a probe's name, or a number of up to
// 19 digits and a sign.
const std::size_t MAX_FIELD = 64;

// The fields of a line, split at each separator: one more than the separators.
std::vector<std::string_view> Fields(std::string_view line, char separator = TRACE_SEPARATOR) {
    std::vector<std::string_view> fields;
    for (std::size_t begin = 0;;) {
        const std::size_t end = std::min(line.find(separator, begin), line.size());
        fields.push_back(line.substr(begin, end - begin));
        if (end == line.size()) {
            return fields;
        }
        begin = end + 1;
    }
}

bool ParseNumber(std::string_view text, long long& value) {
    if (text.empty() || text.size() > MAX_FIELD) {
        return false;
    }
    const std::string digits(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(digits.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
}

// A probe's name, as the tracer prints it: letters, digits and underscores.
bool IsProbeName(std::string_view name) {
    return !name.empty() && name.size() <= MAX_FIELD &&
           std::all_of(name.begin(), name.end(), [](char ch) {
               return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                      (ch >= '0' && ch <= '9') || ch == '_';
           });
}

Probe ProbeNamed(std::string_view name) {
    const auto* const known =
        std::find_if(std::begin(KNOWN_PROBES), std::end(KNOWN_PROBES),
                     [name](const ProbeInfo& info) { return name == info.name; });
    return known != std::end(KNOWN_PROBES) ? known->probe : Probe::kOther;
}

// The fields of a line's head: ParseEvent and FormatTrace take them in the
// order of TRACE_HEAD_FORMS.
const std::size_t HEAD_FIELDS = std::size(TRACE_HEAD_FORMS);
static_assert(HEAD_FIELDS == 3, "a head of the time, the thread id and the probe's name");

// Reads one line of the file.
CStatus ParseEvent(std::string_view line, Event& event) {
    const std::vector<std::string_view> fields = Fields(line);
    long long ns = 0;
    long long tid = 0;
    if (fields.size() < HEAD_FIELDS || !ParseNumber(fields[0], ns) ||
        !ParseNumber(fields[1], tid) || ns < 0 || tid <= 0 || tid > INT32_MAX) {
        return CStatus::Error(
            "not an event (nanoseconds, thread id, probe, integer arguments, separated by tabs)");
    }
    if (ns > LATEST_NS) {
        return CStatus::Error("the time " + std::to_string(ns) +
                              " ns is more than 146 years after the boot");
    }
    if (!IsProbeName(fields[2])) {
        return CStatus::Error("the third field is no probe name (letters, digits and underscores)");
    }
    event.ns = ns;
    event.tid = static_cast<int>(tid);
    event.probe = ProbeNamed(fields[2]);
    std::vector<long long> values;
    for (std::size_t i = HEAD_FIELDS; i < fields.size(); ++i) {
        long long value = 0;
        if (!ParseNumber(fields[i], value)) {
            return CStatus::Error("an argument of " + std::string(fields[2]) +
                                  " is not an integer");
        }
        values.push_back(value);
    }
    if (event.probe == Probe::kOther) {
        event.args = args::Other{std::string(fields[2]), std::move(values)};
        return {};
    }
    const int wanted = KNOWN_PROBES[static_cast<int>(event.probe)].args;
    if (values.size() != static_cast<std::size_t>(wanted)) {
        return CStatus::Error(std::string(fields[2]) + " has " + std::to_string(values.size()) +
                              " arguments, not " + std::to_string(wanted));
    }
    event.args = DECODERS[static_cast<int>(event.probe)](values);
    return {};
}

// Records the thread an event starts, if it starts one.
CStatus NameThread(const Event& event, const logcheck::Sizes& sizes, Threads& threads) {
    const bool translater = event.probe == Probe::kTranslaterStart;
    if (event.probe == Probe::kDriverStart) {
        threads.driver = event.tid;
    } else if (translater || event.probe == Probe::kClientStart) {
        const long long index = translater ? event.Get<args::TranslaterStart>().id
                                           : event.Get<args::ClientStart>().client;
        const int count = translater ? sizes.translaters : sizes.clients;
        if (index < 0 || index >= count) {
            return CStatus::Error(std::string(event.Name()) + " names " +
                                  (translater ? "translater " : "client ") + std::to_string(index) +
                                  ", not one of 0 to " + std::to_string(count - 1));
        }
        (translater ? threads.translaters : threads.clients)[static_cast<int>(index)] = event.tid;
    }
    return {};
}

// The thread that writes a line of the log, and its name; tid 0 if the line
// has none of the program's forms.
struct Author {
    int tid = 0;
    std::string name;
};

Author AuthorOf(std::string_view text, const Threads& threads) {
    logcheck::Line line;
    if (!logcheck::ParseLine(text, line)) {
        return {};
    }
    if (line.client >= 0) {
        return {threads.Client(line.client), "client " + std::to_string(line.client)};
    }
    if (line.translater >= 0) {
        return {threads.Translater(line.translater),
                "translater " + std::to_string(line.translater)};
    }
    return {threads.driver, "the driver"};
}

// The name of the thread tid in the trace.
std::string NameOf(int tid, const Threads& threads) {
    if (tid == threads.driver) {
        return "the driver";
    }
    for (const auto& [t, translater] : threads.translaters) {
        if (tid == translater) {
            return "translater " + std::to_string(t);
        }
    }
    for (const auto& [c, client] : threads.clients) {
        if (tid == client) {
            return "client " + std::to_string(c);
        }
    }
    return "thread " + std::to_string(tid);
}

// The lines of text, each ended by end_of_line (the last may lack it).
std::vector<std::string_view> SplitLines(std::string_view text, char end_of_line = '\n') {
    std::vector<std::string_view> lines = Fields(text, end_of_line);
    if (lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

}  // namespace

CStatus ParseTrace(const std::string& text, Trace& trace, const logcheck::Sizes& sizes) {
    trace = Trace{};
    trace.sizes = sizes;
    const std::vector<std::string_view> lines = SplitLines(text, TRACE_END);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Event event;
        CStatus read = ParseEvent(lines[i], event);
        if (read.Ok() && !trace.events.empty() && event.ns < trace.events.back().ns) {
            read = CStatus::Error("the events are not sorted by time");
        }
        if (read.Ok()) {
            read = NameThread(event, sizes, trace.threads);
        }
        if (!read.Ok()) {
            trace = Trace{};
            return CStatus::Error("trace line " + std::to_string(i + 1) + ": " + read.Message());
        }
        trace.events.push_back(std::move(event));
    }
    return {};
}

std::string FormatTrace(const std::vector<Event>& events) {
    std::string text;
    for (const Event& event : events) {
        text += std::to_string(event.ns) + TRACE_SEPARATOR + std::to_string(event.tid) +
                TRACE_SEPARATOR + event.Name();
        for (const long long value :
             std::visit([](const auto& arguments) { return Values(arguments); }, event.args)) {
            text += TRACE_SEPARATOR + std::to_string(value);
        }
        text += TRACE_END;
    }
    return text;
}

CStatus JoinLog(const std::string& log, Trace& trace) {
    trace.line_events.clear();  // until the join holds
    std::vector<std::size_t> line_events;
    for (std::size_t i = 0; i < trace.events.size(); ++i) {
        if (trace.events[i].probe == Probe::kLine) {
            line_events.push_back(i);
        }
    }
    const std::vector<std::string_view> lines = SplitLines(log);
    const std::size_t common = std::min(lines.size(), line_events.size());
    for (std::size_t n = 0; n < common; ++n) {
        const Author author = AuthorOf(lines[n], trace.threads);
        const int tid = trace.events[line_events[n]].tid;
        if (author.tid == 0 || author.tid != tid) {
            return CStatus::Error("line " + std::to_string(n + 1) +
                                  ": the trace has it written by " + NameOf(tid, trace.threads) +
                                  ", but the log has " +
                                  (author.name.empty() ? "a line no thread writes" : author.name) +
                                  " write it: the trace was not recorded with this log");
        }
    }
    if (lines.size() != line_events.size()) {
        return CStatus::Error("line " + std::to_string(common + 1) + ": the log has " +
                              std::to_string(lines.size()) + " lines but the trace " +
                              std::to_string(line_events.size()) +
                              " line events: the trace was not recorded with this log");
    }
    trace.line_events = std::move(line_events);
    return {};
}

CStatus ReadTrace(const std::string& text, const std::string& log, Trace& trace,
                  const logcheck::Sizes& sizes) {
    RETURN_IF_ERROR(ParseTrace(text, trace, sizes));
    return JoinLog(log, trace);
}

}  // namespace runtrace
