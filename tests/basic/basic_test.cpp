#include <vor/basic/basic.h>

#include "basic/internal/memhooks.h"
#include "platform/clock.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace Vor;

TEST(Sequence, UniqueAcrossEightThreads)
{
    constexpr int kThreads = 8;
    constexpr int kEach = 10000;
    std::vector<std::vector<unsigned int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&seen, t] {
            seen[t].reserve(kEach);
            for (int i = 0; i < kEach; ++i)
                seen[t].push_back(Basic::GetSequence());
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::vector<unsigned int> all;
    for (auto& list : seen) {
        // Each thread sees its numbers rising.
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(all.end(), list.begin(), list.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    // No gaps either: the numbers handed out form one run.
    EXPECT_EQ(all.back() - all.front(), static_cast<unsigned int>(all.size() - 1));
    EXPECT_GT(Basic::GetSequence(), all.back());
}

TEST(SignalSleep, SleepsTheWholeTimeWhenNotWokenAndNoneWhenAlreadySet)
{
    Core::Signal signal;
    unsigned int ms = 30;
    std::uint64_t start = Platform::MonotonicMs();
    EXPECT_TRUE(Basic::Sleep(ms, signal));
    EXPECT_EQ(ms, 0u);
    EXPECT_GE(Platform::MonotonicMs() - start, 30u);
    signal.Set(1);
    ms = 10000;
    EXPECT_FALSE(Basic::Sleep(ms, signal));
    EXPECT_GT(ms, 9000u);
}

TEST(SignalSleep, WokenEarlyReturnsTheTimeLeft)
{
    Core::Signal signal;
    std::atomic<bool> sleeping{false};
    std::thread waker([&] {
        VorTest::WaitUntil([&] { return sleeping.load(); });
        Platform::SleepMs(50); // wake it part-way through
        signal.Set(1);
    });
    unsigned int ms = 10000;
    sleeping = true;
    std::uint64_t start = Platform::MonotonicMs();
    bool whole = Basic::Sleep(ms, signal);
    std::uint64_t elapsed = Platform::MonotonicMs() - start;
    waker.join();
    EXPECT_FALSE(whole);
    EXPECT_GE(elapsed, 40u);
    EXPECT_LT(elapsed, 10000u);
    // The time left plus the time slept is the time asked for.
    EXPECT_LE(ms, 10000u - 40u);
    EXPECT_NEAR(static_cast<double>(ms + elapsed), 10000.0, 5.0);
}

TEST(SignalSleep, TimeLeftNeverWrapsPastTheDeadline)
{
    // A wake-up taken at or after the deadline leaves 0, not ~49 days. With
    // 0 ms asked and the signal set, any clock tick between the two time
    // readings used to wrap the result.
    Core::Signal signal;
    std::uint64_t until = Platform::MonotonicMs() + 200;
    unsigned int worst = 0;
    unsigned int rounds = 0;
    while (Platform::MonotonicMs() < until) {
        signal.Set(1);
        unsigned int ms = 0;
        Basic::Sleep(ms, signal);
        worst = std::max(worst, ms);
        ++rounds;
    }
    EXPECT_GT(rounds, 0u);
    EXPECT_EQ(worst, 0u);
}

TEST(SignalSleep, FailedWaitDoesNotClaimAWholeSleep)
{
    // A named signal whose name the system refuses has nothing to wait on:
    // its waits fail at once.
    Core::Signal broken("no/such/semaphore/name");
    ASSERT_FALSE(broken.Set(1));
    unsigned int ms = 5000;
    std::uint64_t start = Platform::MonotonicMs();
    EXPECT_FALSE(Basic::Sleep(ms, broken));
    EXPECT_LT(Platform::MonotonicMs() - start, 1000u);
    EXPECT_GT(ms, 4000u);
}

TEST(Memory, ReAllocKeepsWhatFitsAndAFailedOneLeavesTheOldBlock)
{
    char* p = static_cast<char*>(Basic::AllocMem(8));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefgh", 8);
    char* q = static_cast<char*>(Basic::ReAllocMem(p, 8, 64));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "abcdefgh", 8), 0);
    char* r = static_cast<char*>(Basic::ReAllocMem(q, 64, 4));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::memcmp(r, "abcd", 4), 0);
    Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_EQ(Basic::ReAllocMem(r, 4, 1024), nullptr);
    EXPECT_EQ(Basic::Internal::g_FailMemAllocations.load(), 0);
    EXPECT_EQ(std::memcmp(r, "abcd", 4), 0);
    EXPECT_TRUE(Basic::FreeMem(r));
    EXPECT_TRUE(Basic::FreeMem(nullptr));
}
