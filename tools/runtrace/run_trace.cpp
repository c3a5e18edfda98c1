#include "run_trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace runtrace {
namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        parts.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

bool ParseNumber(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool ParseEvent(const std::string& line, Event& event) {
    const std::vector<std::string> fields = Split(line, '\t');
    long long ns = 0;
    long long tid = 0;
    if (fields.size() < 3 || !ParseNumber(fields[0], ns) || !ParseNumber(fields[1], tid) ||
        ns < 0 || tid <= 0 || fields[2].empty()) {
        return false;
    }
    event.ns = ns;
    event.tid = static_cast<int>(tid);
    event.probe = fields[2];
    for (std::size_t i = 3; i < fields.size(); ++i) {
        long long arg = 0;
        if (!ParseNumber(fields[i], arg)) {
            return false;
        }
        event.args.push_back(arg);
    }
    return true;
}

// Records the thread an event starts, if it starts one.
void NameThread(const Event& event, Threads& threads) {
    const long long index = event.Arg(0);
    if (event.probe == "driver_start") {
        threads.driver = event.tid;
    } else if (event.probe == "translater_start" && index >= 0 &&
               index < logcheck::NUM_TRANSLATERS) {
        threads.translaters[index] = event.tid;
    } else if (event.probe == "client_start" && index >= 0 && index < logcheck::NUM_CLIENTS) {
        threads.clients[index] = event.tid;
    }
}

// The thread that writes a line of the log, and its name; tid 0 if the line
// has none of the program's forms.
struct Author {
    int tid = 0;
    std::string name;
};

// The index that follows prefix at the start of line, or -1.
long long IndexAfter(const std::string& line, const std::string& prefix) {
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::size_t begin = prefix.size();
    std::size_t end = begin;
    while (end < line.size() && end - begin < 9 && line[end] >= '0' && line[end] <= '9') {
        ++end;
    }
    long long index = -1;
    return ParseNumber(line.substr(begin, end - begin), index) ? index : -1;
}

Author AuthorOf(const std::string& line, const Threads& threads) {
    if (line.rfind("All ", 0) == 0) {
        return {threads.driver, "the driver"};
    }
    const long long translater = IndexAfter(line, "Translater ");
    if (translater >= 0 && translater < logcheck::NUM_TRANSLATERS) {
        return {threads.translaters[translater], "translater " + std::to_string(translater)};
    }
    const long long client = IndexAfter(line, "Client ");
    if (client >= 0 && client < logcheck::NUM_CLIENTS) {
        return {threads.clients[client], "client " + std::to_string(client)};
    }
    return {};
}

// The name of the thread tid in the trace.
std::string NameOf(int tid, const Threads& threads) {
    if (tid == threads.driver) {
        return "the driver";
    }
    for (int t = 0; t < logcheck::NUM_TRANSLATERS; ++t) {
        if (tid == threads.translaters[t]) {
            return "translater " + std::to_string(t);
        }
    }
    for (int c = 0; c < logcheck::NUM_CLIENTS; ++c) {
        if (tid == threads.clients[c]) {
            return "client " + std::to_string(c);
        }
    }
    return "thread " + std::to_string(tid);
}

}  // namespace

std::string ParseTrace(const std::string& text, Trace& trace) {
    trace = Trace{};
    std::vector<std::string> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Event event;
        if (!ParseEvent(lines[i], event)) {
            return "trace line " + std::to_string(i + 1) +
                   ": not an event (nanoseconds, thread id, probe, integer arguments, "
                   "separated by tabs)";
        }
        if (!trace.events.empty() && event.ns < trace.events.back().ns) {
            return "trace line " + std::to_string(i + 1) + ": the events are not sorted by time";
        }
        NameThread(event, trace.threads);
        trace.events.push_back(event);
    }
    return "";
}

std::string JoinLog(const std::string& log, Trace& trace) {
    trace.line_events.clear();
    for (std::size_t i = 0; i < trace.events.size(); ++i) {
        if (trace.events[i].probe == "line") {
            trace.line_events.push_back(i);
        }
    }
    std::vector<std::string> lines = Split(log, '\n');
    if (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    const std::size_t common = std::min(lines.size(), trace.line_events.size());
    for (std::size_t n = 0; n < common; ++n) {
        const Author author = AuthorOf(lines[n], trace.threads);
        const int tid = trace.events[trace.line_events[n]].tid;
        if (author.tid == 0 || author.tid != tid) {
            std::ostringstream problem;
            problem << "line " << n + 1 << ": the trace has it written by "
                    << NameOf(tid, trace.threads) << ", but the log has "
                    << (author.name.empty() ? "a line no thread writes" : author.name)
                    << " write it: the trace was not recorded with this log";
            return problem.str();
        }
    }
    if (lines.size() != trace.line_events.size()) {
        std::ostringstream problem;
        problem << "line " << common + 1 << ": the log has " << lines.size()
                << " lines but the trace " << trace.line_events.size()
                << " line events: the trace was not recorded with this log";
        return problem.str();
    }
    return "";
}

}  // namespace runtrace
