#include <vor/core/thread.h>

#include "core/internal/testhooks.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "support/net.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#if defined(_WIN32)
#include "support/windows.h"
#else
#include <unistd.h>
#endif
#include <vector>

using namespace Vor::Core;

#if defined(__SANITIZE_ADDRESS__)
#define VOR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOR_TEST_ASAN 1
#endif
#endif

#ifdef VOR_TEST_ASAN
// The frames of a thread are kept apart and poisoned once it has gone, so
// that a write into a killed thread's stack is reported where it happens.
extern "C" char const* __asan_default_options() { return "detect_stack_use_after_return=1"; }
#endif

namespace {

std::atomic<int> g_Runs{0};
void Park(Signal* signal) { signal->Wait(Signal::INFINITE_WAIT); }
void CountRun(Signal*) { ++g_Runs; }

// Starts a thread that waits for `signal`, or only counts its run.
unsigned int Start(Signal* signal = nullptr)
{
    CallBack task;
    task.Bind(signal != nullptr ? &Park : &CountRun, signal);
    return Thread::Create(task);
}

void WaitForever(unsigned int* id) { Thread::Wait(*id, Signal::INFINITE_WAIT); }
void StartOne(Signal* go) { go->Wait(Signal::INFINITE_WAIT), Start(); }

// Whether the system thread of that id has ended (the ids are the kernel's).
bool Ended(unsigned int id)
{
#if defined(_WIN32)
    // A thread that has ended can no longer be opened, or is signalled.
    return VorTest::WaitUntil([id] {
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
        if (thread == nullptr)
            return true;
        bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return ended;
    });
#else
    return VorTest::WaitUntil([id] { return access(("/proc/self/task/" + std::to_string(id)).c_str(), F_OK) != 0; });
#endif
}

// Holds the next new thread, once armed, inside its start until released.
std::atomic<bool> g_bHoldNext{false}, g_bHeld{false};
void HoldStart()
{
    if (g_bHoldNext.exchange(false))
        g_bHeld = true, VorTest::WaitUntil([] { return !g_bHeld.load(); });
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
}

// The waiter that a Set wakes may destroy the signal at once, while the
// Set has still to return: the Set must not touch it after the wake-up.
TEST(SignalTest, AWokenWaiterMayDestroyTheSignalAtOnce)
{
    for (int i = 0; i < 2000; ++i) {
        Signal* signal = new Signal;
        std::thread waiter([signal] {
            if (signal->Wait(10000))
                delete signal;
        });
        ASSERT_TRUE(signal->Set(1)) << i;
        waiter.join();
    }
}

// Rounds in which each waiter takes one wake-up, waiting without a limit,
// while the round's wake-ups are posted: one post of one per waiter, or
// one post for them all, meeting waiters on their way into the block. A wake-up lost, or a post that wakes fewer waiters than it gives
// wake-ups, leaves a waiter asleep past the round's 5 s bound (long before
// its own wait would run out); one given twice is left over at the end.
TEST(SignalTest, PostsRacingWaitersOnTheirWayToBlockLoseAndDoubleNoWakeUp)
{
    constexpr int WAITERS = 3, ROUNDS = 2000;
    Signal signal;
    std::atomic<int> round{0}, entering{0}, taken{0}, missed{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> waiters;
    for (int w = 0; w < WAITERS; ++w)
        waiters.emplace_back([&] {
            for (int mine = 1;; ++mine) {
                while (round < mine && !done)
                    std::this_thread::yield();
                if (done)
                    return;
                ++entering;
                if (signal.Wait(20000))
                    ++taken;
                else
                    ++missed;
            }
        });
    bool asleep = false;
    for (int r = 1; r <= ROUNDS && !asleep; ++r) {
        round = r;
        // The posts come as the waiters enter their wait, some of them
        // already asleep, at a point that moves from round to round.
        std::uint64_t deadline = Vor::Platform::MonotonicMs() + 5000;
        while (entering < r * WAITERS && !asleep) {
            asleep = Vor::Platform::MonotonicMs() > deadline;
            std::this_thread::yield();
        }
        for (int y = 0; y < r % 8; ++y)
            std::this_thread::yield();
        if (r % 2 == 0) {
            EXPECT_TRUE(signal.Set(WAITERS));
        } else {
            for (int w = 0; w < WAITERS; ++w)
                EXPECT_TRUE(signal.Set(1));
        }
        deadline = Vor::Platform::MonotonicMs() + 5000;
        while (taken < r * WAITERS && !asleep) {
            asleep = Vor::Platform::MonotonicMs() > deadline;
            std::this_thread::yield();
        }
        EXPECT_FALSE(asleep) << "round " << r << ": " << taken << " taken";
    }
    done = true;
    if (asleep)
        signal.Set(WAITERS); // for the waiter left asleep
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(missed.load(), 0);
    EXPECT_FALSE(!asleep && signal.Wait(0)) << "a wake-up was given twice";
}

TEST(ThreadTest, TenThousandShortThreadsAllEnd)
{
    // A short thread must be registered before it can end: waiting for an
    // unregistered one would hang or lose it.
    g_Runs = 0;
    unsigned int before = Thread::GetCount();
    std::vector<unsigned int> ids;
    for (int i = 0; i < 10000; ++i) {
        unsigned int id = Start();
        ASSERT_NE(id, Thread::INVALID_ID);
        if (i < 10)
            ASSERT_TRUE(Thread::Wait(id, Signal::INFINITE_WAIT));
        else
            ids.push_back(id);
        if (ids.size() == 100)
            ASSERT_TRUE(Thread::Wait(ids, 30000));
    }
    EXPECT_TRUE(Thread::Wait(ids, 30000));
    EXPECT_EQ(g_Runs.load(), 10000);
    EXPECT_EQ(Thread::GetCount(), before);
}

TEST(ThreadTest, WaitListsKeepTheUnfinishedAndConcurrentWaitersAreAllWoken)
{
    Signal gate;
    unsigned int id = Start(&gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::vector<unsigned int> ids{id, 0x7FFFFFF0u}; // the second was never started here
    EXPECT_FALSE(Thread::Wait(ids, 0));
    EXPECT_EQ(ids, std::vector<unsigned int>{id});
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] { woken += Thread::Wait(id, 20000) ? 1 : 0; });
    EXPECT_FALSE(Thread::Wait(id, 50)); // a waiter that gives up withdraws only itself
    gate.Set(1);
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(woken.load(), 4);
    EXPECT_TRUE(Thread::Wait(ids, 0));
    EXPECT_TRUE(ids.empty());
}

TEST(ThreadTest, KillEndsABlockedThreadWakesItsWaiterAndRacesTheThreadsOwnEndSafely)
{
    Signal gate;
    unsigned int before = Thread::GetCount(), id = Start(&gate);
    ASSERT_NE(id, Thread::INVALID_ID);
    std::atomic<int> waited{-1};
    std::thread waiter([&] { waited = 0, waited = Thread::Wait(id, 20000) ? 1 : 0; });
    // By the end of a wait of its own, the waiter is waiting too.
    ASSERT_TRUE(VorTest::WaitUntil([&] { return waited == 0; }) && !Thread::Wait(id, 30));
    EXPECT_TRUE(Thread::Kill(id));
    waiter.join();
    EXPECT_EQ(waited.load(), 1);
    // The killed thread took no wake-up with it and left the gate usable.
    EXPECT_TRUE(gate.Set(1) && gate.Wait(0));
    EXPECT_FALSE(gate.Wait(0));
    EXPECT_EQ(Thread::GetCount(), before);
    EXPECT_TRUE(Thread::Kill(id)); // already gone
    for (int i = 0; i < 200; ++i) {
        unsigned int shortLived = Start();
        ASSERT_NE(shortLived, Thread::INVALID_ID);
        Thread::Kill(shortLived);
        EXPECT_TRUE(Thread::Wait(shortLived, 10000));
    }
}

namespace {
void ReceiveOne(Vor::Platform::SocketHandle* socket)
{
    char c;
    Vor::Platform::ReceiveSocket(*socket, &c, 1, 0);
}
} // namespace

// A receive that waits for data is a point where a kill takes effect.
TEST(ThreadTest, KillEndsAThreadWaitingInAReceive)
{
    VorTest::LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    Vor::Platform::SocketHandle server = pair.Server();
    CallBack task;
    task.Bind(&ReceiveOne, &server);
    unsigned int id = Thread::Create(task);
    ASSERT_NE(id, Thread::INVALID_ID);
    EXPECT_FALSE(Thread::Wait(id, 30));
    EXPECT_TRUE(Thread::Kill(id));
    // A receive that the kill did not end still ends when its socket shuts.
    Vor::Platform::ShutdownSocket(server, Vor::Platform::kShutBoth);
    EXPECT_TRUE(Thread::Wait(id, 10000));
}

// A thread killed inside Wait or inside Create leaves nothing behind that
// the awaited or the new thread would later write into its dead stack
// (reported where it happens under the address sanitizer).
TEST(ThreadTest, KilledWaitersAndCreatorsLeaveNothingBehind)
{
    g_Runs = 0;
    Signal gate;
    unsigned int before = Thread::GetCount(), parked = Start(&gate);
    CallBack wait;
    wait.Bind(&WaitForever, &parked);
    unsigned int waiter = Thread::Create(wait);
    ASSERT_NE(waiter, Thread::INVALID_ID);
    EXPECT_TRUE(Thread::Kill(waiter) && Ended(waiter)); // its stack is gone
    gate.Set(1); // the parked thread's end wakes the waiters it has listed
    EXPECT_TRUE(Thread::Wait(parked, 10000));

    Internal::g_ThreadStarting = &HoldStart;
    Signal go;
    CallBack create;
    create.Bind(&StartOne, &go);
    unsigned int creator = Thread::Create(create);
    ASSERT_NE(creator, Thread::INVALID_ID);
    g_bHoldNext = true;
    go.Set(1);
    EXPECT_TRUE(VorTest::WaitUntil([] { return g_bHeld.load(); })); // the creator waits for its start report
    EXPECT_TRUE(Thread::Kill(creator) && Ended(creator));
    g_bHeld = false;
    EXPECT_TRUE(VorTest::WaitUntil([&] { return g_Runs == 1 && Thread::GetCount() == before; }));
    Internal::g_ThreadStarting = nullptr;
}
