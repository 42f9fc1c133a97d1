#include <vor/core/thread.h>

#include "platform/clock.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Vor::Core;
using VorTest::WaitUntil;

namespace {

std::atomic<int> g_Runs{0};
void CountRun() { ++g_Runs; }
void Park(Signal* signal) { signal->Wait(Signal::INFINITE_WAIT); }

unsigned int Start(void (*body)(Signal*), Signal& signal)
{
    CallBack task;
    task.Bind(body, &signal);
    return Thread::Create(task);
}

} // namespace

TEST(SignalTest, EachSetIsOneWakeUpUpToTheMaximumAndWaitsTimeOut)
{
    Signal signal;
    std::uint64_t start = Vor::Platform::MonotonicMs();
    EXPECT_FALSE(signal.Wait(100));
    EXPECT_GE(Vor::Platform::MonotonicMs() - start, 95u);
    EXPECT_FALSE(signal.Set(0));
    EXPECT_TRUE(signal.Set(3));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(signal.Wait(0)) << i;
    EXPECT_FALSE(signal.Wait(0));
    EXPECT_TRUE(signal.Set(0x0FFFFFFFu));
    EXPECT_FALSE(signal.Set(1)) << "beyond the maximum count";

    Signal named("vor-test-signal"), same("vor-test-signal");
    while (named.Wait(0)) {
    }
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = same.Wait(10000); });
    EXPECT_TRUE(named.Set(1));
    waiter.join();
    EXPECT_TRUE(woke.load());
}

TEST(ThreadTest, TenThousandShortThreadsAllEnd)
{
    // A short thread must be registered before it can end: waiting for an
    // unregistered one would hang or lose it.
    g_Runs = 0;
    unsigned int before = Thread::GetCount();
    CallBack task;
    task.Bind(&CountRun);
    std::vector<unsigned int> ids;
    for (int i = 0; i < 10000; ++i) {
        unsigned int id = Thread::Create(task);
        ASSERT_NE(id, Thread::INVALID_ID);
        if (i < 10) {
            ASSERT_TRUE(Thread::Wait(id, Signal::INFINITE_WAIT));
            continue;
        }
        ids.push_back(id);
        if (ids.size() == 100)
            ASSERT_TRUE(Thread::Wait(ids, 30000));
    }
    EXPECT_TRUE(Thread::Wait(ids, 30000));
    EXPECT_EQ(g_Runs.load(), 10000);
    EXPECT_EQ(Thread::GetCount(), before);
}

TEST(ThreadTest, WaitListsKeepTheUnfinishedAndForgetUnknownIds)
{
    std::vector<unsigned int> none;
    EXPECT_TRUE(Thread::Wait(none, 0));
    EXPECT_TRUE(Thread::Kill(none));
    EXPECT_TRUE(Thread::Wait(0x7FFFFFF0u, 0)); // never started here
    Signal gate;
    unsigned int id = Start(&Park, gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::vector<unsigned int> ids{id, 0x7FFFFFF0u};
    EXPECT_FALSE(Thread::Wait(ids, 0));
    EXPECT_EQ(ids, std::vector<unsigned int>{id});
    gate.Set(1);
    EXPECT_TRUE(Thread::Wait(ids, 10000));
    EXPECT_TRUE(ids.empty());
}

TEST(ThreadTest, ConcurrentWaitersOnOneThreadAreAllWoken)
{
    Signal gate;
    unsigned int id = Start(&Park, gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] { woken += Thread::Wait(id, 20000) ? 1 : 0; });
    // A waiter that gives up must withdraw only itself.
    EXPECT_FALSE(Thread::Wait(id, 50));
    gate.Set(1);
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST(ThreadTest, KillEndsABlockedThreadAndWakesItsWaiter)
{
    Signal gate;
    unsigned int before = Thread::GetCount();
    unsigned int id = Start(&Park, gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::atomic<int> waited{-1};
    std::thread waiter([&] { waited = Thread::Wait(id, 20000) ? 1 : 0; });
    EXPECT_TRUE(Thread::Kill(id));
    EXPECT_TRUE(WaitUntil([&] { return waited.load() != -1; }));
    EXPECT_EQ(waited.load(), 1);
    waiter.join();
    EXPECT_EQ(Thread::GetCount(), before);
    EXPECT_TRUE(Thread::Kill(id)); // already gone
}

TEST(ThreadTest, KillRacingTheThreadsOwnEndIsSafe)
{
    CallBack task;
    task.Bind(&CountRun);
    for (int i = 0; i < 200; ++i) {
        unsigned int id = Thread::Create(task);
        ASSERT_NE(id, Thread::INVALID_ID);
        Thread::Kill(id);
        EXPECT_TRUE(Thread::Wait(id, 10000));
    }
}
