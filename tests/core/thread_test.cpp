#include <vor/core/thread.h>

#include "platform/clock.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace Vor::Core;
using VorTest::WaitUntil;
using namespace std::chrono_literals;

namespace {

std::atomic<int> g_Runs{0};
void CountRun() { ++g_Runs; }
unsigned int RunWithCode()
{
    ++g_Runs;
    return 7;
}
void Park(Signal* signal) { signal->Wait(Signal::INFINITE_WAIT); }

unsigned int StartParked(Signal& signal)
{
    CallBack task;
    task.Bind(&Park, &signal);
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
    EXPECT_TRUE(signal.Wait(0));
    EXPECT_TRUE(signal.Set(1));
}

TEST(SignalTest, WakesAWaiterInAnotherThread)
{
    Signal signal;
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = signal.Wait(10000); });
    EXPECT_TRUE(signal.Set(1));
    waiter.join();
    EXPECT_TRUE(woke.load());
}

TEST(SignalTest, NamedSignalIsSharedByName)
{
    Signal first("vor-test-signal");
    Signal second("vor-test-signal");
    while (first.Wait(0)) {
    }
    EXPECT_TRUE(first.Set(1));
    EXPECT_TRUE(second.Wait(1000));
}

TEST(ThreadTest, TasksWithAndWithoutAnExitCodeRunAndAreWaitedFor)
{
    CallBack tasks[2];
    tasks[0].Bind(&CountRun);
    tasks[1].Bind(&RunWithCode);
    for (CallBack& task : tasks) {
        g_Runs = 0;
        unsigned int id = Thread::Create(task);
        ASSERT_NE(id, Thread::INVALID_ID);
        EXPECT_TRUE(Thread::Wait(id, Signal::INFINITE_WAIT));
        EXPECT_EQ(g_Runs.load(), 1);
    }
}

TEST(ThreadTest, TenThousandShortThreadsAllEnd)
{
    g_Runs = 0;
    unsigned int before = Thread::GetCount();
    CallBack task;
    task.Bind(&CountRun);
    std::vector<unsigned int> ids;
    for (int i = 0; i < 10000; ++i) {
        unsigned int id = Thread::Create(task);
        ASSERT_NE(id, Thread::INVALID_ID);
        ids.push_back(id);
        if (ids.size() == 100) {
            ASSERT_TRUE(Thread::Wait(ids, 30000));
        }
    }
    EXPECT_TRUE(Thread::Wait(ids, 30000));
    EXPECT_EQ(g_Runs.load(), 10000);
    EXPECT_EQ(Thread::GetCount(), before);
}

TEST(ThreadTest, WaitListsAndUnknownIds)
{
    std::vector<unsigned int> none;
    EXPECT_TRUE(Thread::Wait(none, 0));
    EXPECT_TRUE(Thread::Wait(0x7FFFFFF0u, 0)); // never started here
    Signal gate;
    unsigned int id = StartParked(gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::vector<unsigned int> ids{id, 0x7FFFFFF0u};
    EXPECT_FALSE(Thread::Wait(ids, 0));
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], id);
    gate.Set(1);
    EXPECT_TRUE(Thread::Wait(ids, 10000));
    EXPECT_TRUE(ids.empty());
}

TEST(ThreadTest, ConcurrentWaitersOnOneThreadAreAllWoken)
{
    Signal gate;
    unsigned int id = StartParked(gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (Thread::Wait(id, 20000))
                ++woken;
        });
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
    unsigned int id = StartParked(gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::atomic<bool> waiterDone{false};
    std::atomic<bool> waitResult{false};
    std::thread waiter([&] {
        waitResult = Thread::Wait(id, 20000);
        waiterDone = true;
    });
    EXPECT_TRUE(Thread::Kill(id));
    EXPECT_TRUE(WaitUntil([&] { return waiterDone.load(); }));
    EXPECT_TRUE(waitResult.load());
    waiter.join();
    EXPECT_EQ(Thread::GetCount(), before);
    EXPECT_TRUE(Thread::Kill(id)); // already gone
    std::vector<unsigned int> none;
    EXPECT_TRUE(Thread::Kill(none));
}

TEST(ThreadTest, KillRacingTheThreadsOwnEndIsSafe)
{
    for (int i = 0; i < 200; ++i) {
        CallBack task;
        task.Bind(&CountRun);
        unsigned int id = Thread::Create(task);
        ASSERT_NE(id, Thread::INVALID_ID);
        Thread::Kill(id);
        EXPECT_TRUE(Thread::Wait(id, 10000));
    }
}

TEST(ThreadTest, GetIDIsTheCallersKernelId)
{
    std::atomic<unsigned int> seen{0};
    std::thread t([&] { seen = Thread::GetID(); });
    t.join();
    EXPECT_NE(seen.load(), Thread::GetID());
    EXPECT_NE(Thread::GetID(), Thread::INVALID_ID);
}
