// The translater channel, driven directly from test threads.
//
// Threads are ordered by conditions, never by sleeps: a thread is known to be
// waiting inside the channel once the kernel shows it asleep in a futex wait,
// and a translater is known to be back in JobFinished once a claim succeeds
// (it holds the lock from the release until its wait). Every wait is bounded.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ctranslater.h"

// The stop flag that the channel reads; the program's driver owns it.
std::atomic<bool> g_done{false};

// Constructed during static initialisation, like the program's pool.
CTranslater g_static_pool[3];

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for any healthy wake-up, short enough that a hang fails fast.
constexpr auto BOUND = 5s;
// One timed wait of JobFinished plus a generous margin.
constexpr auto ONE_WAIT_BOUND = 2500ms;
// What one timed wait of one second may last, measured around the call: it
// cannot end before its deadline, and wakes at most this late on a busy machine.
constexpr auto ONE_WAIT_AT_LEAST = 900ms;
constexpr auto ONE_WAIT_AT_MOST = 1750ms;

bool WaitUntil(const std::function<bool()>& condition, Clock::duration bound = BOUND) {
    const auto deadline = Clock::now() + bound;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// True while thread tid sleeps in a futex wait: inside the channel that is a
// condition-variable wait, since its mutex is never contended in these tests.
bool IsAsleepInFutex(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    file >> number;
    return number == SYS_futex;
}

// Thread tid's count of voluntary context switches: one more each time it
// blocks; -1 if it cannot be read.
long TimesBlocked(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string FIELD = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, FIELD.size(), FIELD) == 0) {
            return std::stol(line.substr(FIELD.size()));
        }
    }
    return -1;
}

template <typename T>
bool IsReady(const std::future<T>& future, Clock::duration bound = BOUND) {
    return future.wait_for(bound) == std::future_status::ready;
}

// Plays the owning translater thread: runs body on a thread of its own. On the
// way out it sets the stop flag and feeds terminators, so a body stuck in the
// channel after a failed assertion ends instead of hanging the test.
class OwnerThread {
public:
    OwnerThread(CTranslater& translater, std::function<void()> body) : m_translater(translater) {
        m_thread = std::thread([this, body = std::move(body)] {
            m_tid = static_cast<pid_t>(syscall(SYS_gettid));
            body();
        });
    }
    ~OwnerThread() {
        g_done = true;
        m_translater.Push('\0');
        m_translater.Push('\0');
        m_translater.CondSignal();
        m_thread.join();
    }
    OwnerThread(const OwnerThread&) = delete;
    OwnerThread& operator=(const OwnerThread&) = delete;

    // True once the thread sleeps in one of the channel's waits.
    bool WaitUntilAsleep() {
        return WaitUntil([this] { return m_tid != 0 && IsAsleepInFutex(m_tid); });
    }

    // How often the thread has blocked so far; call it while the thread sleeps.
    long TimesBlocked() const { return ::TimesBlocked(m_tid); }

    // Whether the thread, woken after it had blocked `times` times, sleeps
    // again. Ask only after the waking call has returned: the channel's lock
    // is free by then, so a thread asleep in a futex wait is back in its
    // condition-variable wait, not in the lock.
    bool AsleepAgain(long times) const {
        return ::TimesBlocked(m_tid) > times && IsAsleepInFutex(m_tid);
    }

private:
    CTranslater& m_translater;
    std::atomic<pid_t> m_tid{0};
    std::thread m_thread;
};

// Serves jobs as the program's translater thread does, recording each one.
std::vector<std::string> ServeUntilStopped(CTranslater& translater) {
    std::vector<std::string> jobs;
    while (translater.JobFinished()) {
        std::string job;
        for (char ch = translater.Pop(); ch != '\0'; ch = translater.Pop()) {
            job += ch;
        }
        jobs.push_back(job);
    }
    return jobs;
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { g_done = false; }
};

using ChannelQueueTest = ChannelTest;
using ChannelClaimTest = ChannelTest;
using ChannelWaitTest = ChannelTest;
using ChannelStopTest = ChannelTest;

TEST(ChannelIdTest, StaticPoolGetsConsecutiveIdsFromZero) {
    EXPECT_EQ(g_static_pool[0].GetID(), 0);
    EXPECT_EQ(g_static_pool[1].GetID(), 1);
    EXPECT_EQ(g_static_pool[2].GetID(), 2);
    CTranslater later;
    EXPECT_GE(later.GetID(), 3);
}

TEST_F(ChannelQueueTest, PopBlocksOnEmptyQueueUntilPush) {
    CTranslater translater;
    std::promise<char> popped;
    OwnerThread owner(translater, [&] { popped.set_value(translater.Pop()); });
    auto result = popped.get_future();
    ASSERT_TRUE(owner.WaitUntilAsleep()) << "Pop did not wait on an empty queue";
    EXPECT_FALSE(IsReady(result, 0s)) << "Pop returned with nothing queued";
    translater.Push('q');
    ASSERT_TRUE(IsReady(result)) << "Push did not wake the waiting Pop";
    EXPECT_EQ(result.get(), 'q');
}

// Only a character ends Pop's wait: the driver's stop signal, or a wake-up that
// brings none, leaves it waiting for the next character pushed.
TEST_F(ChannelQueueTest, WakeUpWithoutACharacterLeavesPopWaiting) {
    CTranslater translater;
    std::promise<char> first;
    std::promise<char> second;
    OwnerThread owner(translater, [&] {
        first.set_value(translater.Pop());
        second.set_value(translater.Pop());
    });
    auto popped = first.get_future();
    ASSERT_TRUE(owner.WaitUntilAsleep());
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "the stop signal" : "a wake-up with nothing queued");
        const long blocked = owner.TimesBlocked();
        ASSERT_GE(blocked, 0);
        g_done = stop;
        translater.CondSignal();
        ASSERT_TRUE(WaitUntil([&] { return IsReady(popped, 0s) || owner.AsleepAgain(blocked); }))
            << "the wake-up never came";
        ASSERT_FALSE(IsReady(popped, 0s)) << "Pop returned without a character";
    }
    translater.Push('x');
    translater.Push('y');
    ASSERT_TRUE(IsReady(popped));
    EXPECT_EQ(popped.get(), 'x');
    auto next = second.get_future();
    ASSERT_TRUE(IsReady(next));
    EXPECT_EQ(next.get(), 'y');
}

TEST_F(ChannelQueueTest, CharactersLeaveInPushOrderWithEveryValueIncludingNul) {
    CTranslater translater;
    constexpr int COUNT = 50000;
    std::string pushed(COUNT, ' ');
    for (int i = 0; i < COUNT; ++i) {
        pushed[i] = static_cast<char>(i * 7 % 256);  // all 256 values, NUL and >0x7F too
    }
    std::promise<std::string> popped;
    OwnerThread owner(translater, [&] {
        std::string got;
        for (int i = 0; i < COUNT; ++i) {
            got += translater.Pop();
        }
        popped.set_value(got);
    });
    for (const char ch : pushed) {
        translater.Push(ch);
    }
    auto result = popped.get_future();
    ASSERT_TRUE(IsReady(result)) << "characters were lost";
    EXPECT_EQ(result.get(), pushed);
}

TEST_F(ChannelClaimTest, ExactlyOneOfManyConcurrentClaimsWins) {
    constexpr int ROUNDS = 200;
    constexpr int CLIENTS = 6;
    for (int round = 0; round < ROUNDS; ++round) {
        CTranslater translater;
        std::atomic<bool> go{false};
        std::atomic<int> wins{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < CLIENTS; ++c) {
            clients.emplace_back([&] {
                while (!go) {
                    std::this_thread::yield();
                }
                wins += translater.TryToOccupy() ? 1 : 0;
            });
        }
        go = true;
        for (std::thread& client : clients) {
            client.join();
        }
        ASSERT_EQ(wins, 1) << "round " << round;
    }
}

TEST_F(ChannelClaimTest, ClaimHeldThroughTheTerminatorUntilTheNextJobFinished) {
    CTranslater translater;
    std::promise<void> took_terminator;
    std::promise<void> may_release;
    auto released = may_release.get_future();
    std::promise<bool> claimed_again;
    OwnerThread owner(translater, [&] {
        EXPECT_TRUE(translater.JobFinished());
        EXPECT_EQ(translater.Pop(), '\0');
        took_terminator.set_value();
        EXPECT_TRUE(IsReady(released));
        claimed_again.set_value(translater.JobFinished());
    });
    ASSERT_TRUE(translater.TryToOccupy());
    EXPECT_FALSE(translater.TryToOccupy()) << "a second client claimed a claimed translater";
    translater.Push('\0');
    ASSERT_TRUE(IsReady(took_terminator.get_future()));
    // The terminator is taken but the job is not summarised yet: still claimed,
    // and a failed claim must not disturb that.
    EXPECT_FALSE(translater.TryToOccupy());
    EXPECT_FALSE(translater.TryToOccupy());
    may_release.set_value();
    EXPECT_TRUE(WaitUntil([&] { return translater.TryToOccupy(); }))
        << "JobFinished did not release the claim";
    auto result = claimed_again.get_future();
    ASSERT_TRUE(IsReady(result));
    EXPECT_TRUE(result.get());
}

TEST_F(ChannelClaimTest, ClaimTakenWhileStartingSurvivesTheFirstJobFinished) {
    CTranslater translater;
    ASSERT_TRUE(translater.TryToOccupy());
    translater.Push('a');
    translater.Push('\0');
    std::promise<bool> first_call;
    OwnerThread owner(translater, [&] { first_call.set_value(translater.JobFinished()); });
    auto result = first_call.get_future();
    ASSERT_TRUE(IsReady(result)) << "the start-up claim was dropped";
    EXPECT_TRUE(result.get());
    EXPECT_FALSE(translater.TryToOccupy()) << "the start-up claim was released";
    EXPECT_EQ(translater.Pop(), 'a');
    EXPECT_EQ(translater.Pop(), '\0');
}

TEST_F(ChannelWaitTest, ClaimWithoutPushIsNoticedWhenTheWaitRunsOut) {
    CTranslater translater;
    std::promise<bool> second_call;
    OwnerThread owner(translater, [&] {
        translater.JobFinished();
        translater.Pop();
        second_call.set_value(translater.JobFinished());
    });
    ASSERT_TRUE(translater.TryToOccupy());
    translater.Push('\0');
    // Succeeds only once the owner has released the claim and sleeps in its wait.
    ASSERT_TRUE(WaitUntil([&] { return translater.TryToOccupy(); }));
    auto result = second_call.get_future();
    ASSERT_TRUE(IsReady(result, ONE_WAIT_BOUND)) << "a silent claim was never noticed";
    EXPECT_TRUE(result.get());
}

// Times the owner's call of JobFinished on its own thread, from just before
// the call to its return.
Clock::duration TimeJobFinished(CTranslater& translater, bool& claimed) {
    const auto start = Clock::now();
    claimed = translater.JobFinished();
    return Clock::now() - start;
}

// A call that makes exactly one timed wait lasts about its one second: the
// first call with the stop flag already set, and a call whose claim comes
// while it waits, with no push to wake it.
TEST_F(ChannelWaitTest, EachTimedWaitLastsAboutOneSecond) {
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "the stop flag alone" : "a claim without a push");
        CTranslater translater;
        g_done = stop;
        std::promise<Clock::duration> lasted;
        bool claimed = false;
        OwnerThread owner(translater, [&] {
            if (!stop) {
                translater.JobFinished();  // the first job: a terminator alone
                translater.Pop();
            }
            lasted.set_value(TimeJobFinished(translater, claimed));
        });
        if (!stop) {
            ASSERT_TRUE(translater.TryToOccupy());
            translater.Push('\0');
            // Succeeds only once the owner has released the claim inside the
            // timed call, which then waits.
            ASSERT_TRUE(WaitUntil([&] { return translater.TryToOccupy(); }));
        }
        auto result = lasted.get_future();
        ASSERT_TRUE(IsReady(result));
        const Clock::duration wait = result.get();
        EXPECT_GE(wait, ONE_WAIT_AT_LEAST) << "the wait ended early";
        EXPECT_LE(wait, ONE_WAIT_AT_MOST) << "the wait lasted too long";
        EXPECT_EQ(claimed, !stop);
    }
}

TEST_F(ChannelWaitTest, StopFlagAloneEndsTheWaitWithinAboutASecond) {
    CTranslater translater;
    std::promise<bool> first_call;
    OwnerThread owner(translater, [&] { first_call.set_value(translater.JobFinished()); });
    ASSERT_TRUE(owner.WaitUntilAsleep());
    auto result = first_call.get_future();
    g_done = true;
    ASSERT_TRUE(IsReady(result, ONE_WAIT_BOUND))
        << "the wait was not re-armed or the flag not read";
    EXPECT_FALSE(result.get());
}

TEST_F(ChannelWaitTest, CondSignalAfterTheStopFlagEndsTheWaitAtOnce) {
    CTranslater translater;
    std::promise<bool> first_call;
    OwnerThread owner(translater, [&] { first_call.set_value(translater.JobFinished()); });
    ASSERT_TRUE(owner.WaitUntilAsleep());
    auto result = first_call.get_future();
    g_done = true;
    translater.CondSignal();
    // Well inside the one-second wait that a lost signal would cost.
    ASSERT_TRUE(IsReady(result, 500ms)) << "CondSignal did not wake the waiting translater";
    EXPECT_FALSE(result.get());
}

TEST_F(ChannelStopTest, JobClaimedWhileStartingIsServedBeforeLeaving) {
    CTranslater translater;
    ASSERT_TRUE(translater.TryToOccupy());
    for (const char ch : std::string("ab")) {
        translater.Push(ch);
    }
    translater.Push('\0');
    g_done = true;  // the whole job is queued before the thread ever runs
    std::promise<std::vector<std::string>> served;
    OwnerThread owner(translater, [&] { served.set_value(ServeUntilStopped(translater)); });
    auto result = served.get_future();
    ASSERT_TRUE(IsReady(result));
    EXPECT_EQ(result.get(), std::vector<std::string>{"ab"});
}

TEST_F(ChannelStopTest, JobClaimedBeforeTheStopIsServedBeforeLeaving) {
    CTranslater translater;
    std::promise<std::vector<std::string>> served;
    OwnerThread owner(translater, [&] { served.set_value(ServeUntilStopped(translater)); });
    ASSERT_TRUE(translater.TryToOccupy());
    translater.Push('\0');
    ASSERT_TRUE(WaitUntil([&] { return translater.TryToOccupy(); }));
    // The owner sleeps in JobFinished with a claim it has not seen; the stop
    // comes before the client's letters wake it.
    g_done = true;
    for (const char ch : std::string("xy")) {
        translater.Push(ch);
    }
    translater.Push('\0');
    translater.CondSignal();
    auto result = served.get_future();
    ASSERT_TRUE(IsReady(result));
    EXPECT_EQ(result.get(), (std::vector<std::string>{"", "xy"}));
}

}  // namespace
