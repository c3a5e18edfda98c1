// Micro-benchmarks of the translater channel and of the pacing spin.
//
// HandOff/*: one producer thread streams jobs of N letters and a NUL into a
// channel; the benchmark thread, as the owning translater would, pops until the
// NUL. One iteration is one job; items are characters handed off (N + 1).
// "Channel" is the real CTranslater, "Baseline" a bare std::mutex,
// std::condition_variable and std::deque with the same shape: lock, append,
// signal while locked, unlock; wait while empty. Both run in the same process
// with the same producer, and the program prints channel/baseline ratios of
// items/s at the end. "BaselineOutOfLine" is the baseline called through
// functions that are not inlined, like the channel's. HandOffPaired times the
// channel and the baseline in alternate jobs within each iteration, so its
// "ratio" counter holds up on a machine busy with other work, where separate
// benchmarks of a few microseconds each drift with the load.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ctranslater.h"
#include "run_sizes.h"

// The stop flag that CTranslater reads; the program defines it beside main.
std::atomic<bool> g_done{false};

namespace {

// The hand-off without anything of the program's: the reference to beat.
class CBaselineChannel {
public:
    void Push(char ch) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(ch);
        m_cond.notify_one();
    }

    char Pop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return !m_queue.empty(); });
        const char ch = m_queue.front();
        m_queue.pop_front();
        return ch;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<char> m_queue;
};

// The same baseline behind calls the compiler must not inline, as calls into
// the program's channel are (it is in a unit of its own): tells the cost of
// the call apart from that of the hand-off.
class COutOfLineBaselineChannel {
public:
    [[gnu::noinline]] void Push(char ch) { m_channel.Push(ch); }
    [[gnu::noinline]] char Pop() { return m_channel.Pop(); }

private:
    CBaselineChannel m_channel;
};

// A client-like thread that pushes one job of `length` letters and a NUL each
// time StartJob is called, into the first channel or into the second. It waits
// for the next job by spinning with yields on an atomic counter, so the job
// start costs the same for every channel and adds no wake-up of its own.
template <typename First, typename Second = First>
class CJobProducer {
public:
    CJobProducer(First& first, Second& second, int length)
        : m_first(first), m_second(second), m_length(length), m_thread([this] { Run(); }) {}

    ~CJobProducer() {
        m_stop.store(true, std::memory_order_release);
        m_thread.join();
    }

    CJobProducer(const CJobProducer&) = delete;
    CJobProducer& operator=(const CJobProducer&) = delete;

    void StartJob(bool second) {
        m_second_job.store(second, std::memory_order_relaxed);
        m_requested.fetch_add(1, std::memory_order_release);
    }

private:
    void Run() {
        long started = 0;
        for (;;) {
            while (m_requested.load(std::memory_order_acquire) == started) {
                if (m_stop.load(std::memory_order_acquire)) {
                    return;
                }
                std::this_thread::yield();
            }
            ++started;
            if (m_second_job.load(std::memory_order_relaxed)) {
                PushJob(m_second);
            } else {
                PushJob(m_first);
            }
        }
    }

    template <typename Channel>
    void PushJob(Channel& channel) {
        for (int i = 0; i < m_length; ++i) {
            channel.Push(static_cast<char>('a' + i % 25));
        }
        channel.Push('\0');
    }

    First& m_first;
    Second& m_second;
    const int m_length;
    std::atomic<long> m_requested{0};
    std::atomic<bool> m_second_job{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: starts once the fields above exist
};

// Claims the channel if it has a claim protocol; the baselines have none.
void Claim(CTranslater& translater) {
    translater.TryToOccupy();
}
void Claim(CBaselineChannel&) {}
void Claim(COutOfLineBaselineChannel&) {}

// Pops one job to its NUL; false if it did not have `length` letters.
template <typename Channel>
bool PopJob(Channel& channel, int length) {
    int count = 0;
    while (channel.Pop() != '\0') {
        ++count;
    }
    return count == length;
}

template <typename Channel>
void HandOff(benchmark::State& state) {
    const auto length = static_cast<int>(state.range(0));
    Channel channel;
    Claim(channel);
    CJobProducer<Channel> producer(channel, channel, length);
    for (auto _ : state) {
        producer.StartJob(false);
        if (!PopJob(channel, length)) {
            state.SkipWithError("a job lost or gained characters");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * (length + 1));
}

// Seconds for one job on one of the producer's two channels.
template <typename Producer, typename Channel>
double TimeJob(Producer& producer, Channel& channel, bool second, int length, bool& ok) {
    const auto start = std::chrono::steady_clock::now();
    producer.StartJob(second);
    ok = PopJob(channel, length) && ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The channel and the baseline in alternate jobs on the same two threads, each
// job timed on its own, so both meet the same load from the rest of the
// machine. One iteration is one job on each. Counters: "ratio" is channel
// items/s over baseline items/s (baseline time over channel time), and the
// time of one character handed off through each.
void HandOffPaired(benchmark::State& state) {
    const auto length = static_cast<int>(state.range(0));
    CTranslater channel;
    Claim(channel);
    CBaselineChannel baseline;
    CJobProducer<CTranslater, CBaselineChannel> producer(channel, baseline, length);
    double channel_seconds = 0;
    double baseline_seconds = 0;
    bool ok = true;
    bool channel_first = true;  // alternates, so neither always runs first
    for (auto _ : state) {
        if (channel_first) {
            channel_seconds += TimeJob(producer, channel, false, length, ok);
        }
        baseline_seconds += TimeJob(producer, baseline, true, length, ok);
        if (!channel_first) {
            channel_seconds += TimeJob(producer, channel, false, length, ok);
        }
        channel_first = !channel_first;
    }
    if (!ok) {
        state.SkipWithError("a job lost or gained characters");
        return;
    }
    const double items = static_cast<double>(state.iterations()) * (length + 1);
    state.counters["ratio"] = baseline_seconds / channel_seconds;
    state.counters["channel_ns"] = channel_seconds * 1e9 / items;
    state.counters["baseline_ns"] = baseline_seconds * 1e9 / items;
}

// Push then Pop on one thread: the queue is never empty at the Pop, so this is
// the cost of the two lock round trips, the signal with no waiter and the
// queue operations.
template <typename Channel>
void PushPop(benchmark::State& state) {
    Channel channel;
    Claim(channel);
    for (auto _ : state) {
        channel.Push('a');
        benchmark::DoNotOptimize(channel.Pop());
    }
    state.SetItemsProcessed(state.iterations());
}

// A successful claim. A translater is released only by its own thread's
// JobFinished, which always waits (for a signal or one second) after the
// release, so each claim here goes to a freshly built, never-claimed
// translater. They are built in batches with the clock stopped, which keeps
// the clock-stopping overhead small per claim.
void TryToOccupyFresh(benchmark::State& state) {
    constexpr int BATCH = 1024;
    auto pool = std::make_unique<CTranslater[]>(BATCH);
    int next = 0;
    for (auto _ : state) {
        if (next == BATCH) {
            state.PauseTiming();
            pool = std::make_unique<CTranslater[]>(BATCH);
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(pool[next++].TryToOccupy());
    }
    state.SetItemsProcessed(state.iterations());
}

// A refused claim: what a client pays for each busy translater it skips.
void TryToOccupyClaimed(benchmark::State& state) {
    CTranslater translater;
    translater.TryToOccupy();
    for (auto _ : state) {
        benchmark::DoNotOptimize(translater.TryToOccupy());
    }
    state.SetItemsProcessed(state.iterations());
}

// The same loop as the program's pacing spin (its Delay is private to the
// program's own unit): an empty asm statement with i as input, which the
// optimiser must keep once per iteration.
void SpinLoop(int bound) {
    for (int i = 0; i < bound; ++i) {
        __asm__ __volatile__("" : : "r"(i));
    }
}

// The spin with a fixed bound; items are loop iterations, and spin_time is
// the time of one of them.
void DelayLoopFixed(benchmark::State& state) {
    const auto bound = static_cast<int>(state.range(0));
    for (auto _ : state) {
        SpinLoop(bound);
    }
    state.SetItemsProcessed(state.iterations() * bound);
    state.counters["spin_time"] = benchmark::Counter(
        bound, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One whole pacing call as the program makes it: a draw from rand, modulo the
// build's MAX_DELAY, then the spin. The mean over many calls.
void DelayLoopRandom(benchmark::State& state) {
    for (auto _ : state) {
        SpinLoop(std::rand() % run_sizes::MAX_DELAY);
    }
}

void RegisterAll() {
    for (const int length : {1, 100, 10000}) {
        benchmark::RegisterBenchmark("HandOff/Baseline", HandOff<CBaselineChannel>)
            ->Arg(length)
            ->UseRealTime();
        benchmark::RegisterBenchmark("HandOff/BaselineOutOfLine",
                                     HandOff<COutOfLineBaselineChannel>)
            ->Arg(length)
            ->UseRealTime();
        benchmark::RegisterBenchmark("HandOff/Channel", HandOff<CTranslater>)
            ->Arg(length)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("HandOffPaired", HandOffPaired)
        ->Arg(1)
        ->Arg(100)
        ->Arg(10000)
        ->UseRealTime();
    benchmark::RegisterBenchmark("PushPop/Baseline", PushPop<CBaselineChannel>);
    benchmark::RegisterBenchmark("PushPop/BaselineOutOfLine", PushPop<COutOfLineBaselineChannel>);
    benchmark::RegisterBenchmark("PushPop/Channel", PushPop<CTranslater>);
    benchmark::RegisterBenchmark("TryToOccupy/FreshTranslater", TryToOccupyFresh);
    benchmark::RegisterBenchmark("TryToOccupy/AlreadyClaimed", TryToOccupyClaimed);
    benchmark::RegisterBenchmark("DelayLoop/Bound", DelayLoopFixed)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(run_sizes::MAX_DELAY - 1);
    benchmark::RegisterBenchmark("DelayLoop/RandomBound", DelayLoopRandom);
}

// The console table, followed by the ratios of items/s of each "Channel"
// benchmark to its "Baseline" and "BaselineOutOfLine" forms: of the medians
// when repetitions are asked for, else of the single runs.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    CRatioReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        benchmark::ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            Record(run);
        }
    }

    void Finalize() override {
        benchmark::ConsoleReporter::Finalize();
        for (const auto& [key, channel] : m_items_per_second) {
            const std::string::size_type at = key.find("/Channel");
            if (at == std::string::npos) {
                continue;
            }
            for (const char* reference : {"/Baseline", "/BaselineOutOfLine"}) {
                std::string reference_key = key;
                reference_key.replace(at, 8, reference);
                const auto found = m_items_per_second.find(reference_key);
                if (found != m_items_per_second.end() && found->second > 0) {
                    std::printf("ratio %-24s / %-34s %.3f\n", key.c_str(), reference_key.c_str(),
                                channel / found->second);
                }
            }
        }
    }

private:
    void Record(const Run& run) {
        const auto items = run.counters.find("items_per_second");
        if (run.error_occurred || items == run.counters.end()) {
            return;
        }
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.run_type == Run::RT_Aggregate && !median) {
            return;
        }
        std::string key = run.run_name.function_name;
        if (!run.run_name.args.empty()) {
            key += "/" + run.run_name.args;
        }
        if (median || m_medians.count(key) == 0) {
            m_items_per_second[key] = items->second.value;
        }
        if (median) {
            m_medians.insert(key);
        }
    }

    std::map<std::string, double> m_items_per_second;
    std::set<std::string> m_medians;  // keys whose figure is a median
};

}  // namespace

int main(int argc, char** argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
