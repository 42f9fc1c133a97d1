#include <vor/basic/basic.h>

#include "platform/clock.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace Vor;
using Platform::MonotonicMs;

TEST(BasicTest, SequenceIsUniqueRisingAndGaplessAcrossEightThreads)
{
    std::vector<std::vector<unsigned int>> seen(8);
    std::vector<std::thread> threads;
    for (auto& list : seen)
        threads.emplace_back([&list] {
            for (int i = 0; i < 10000; ++i)
                list.push_back(Basic::GetSequence());
        });
    std::vector<unsigned int> all;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads[t].join();
        EXPECT_TRUE(std::is_sorted(seen[t].begin(), seen[t].end()));
        all.insert(all.end(), seen[t].begin(), seen[t].end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back() - all.front(), static_cast<unsigned int>(all.size() - 1));
}

TEST(BasicTest, SleepReturnsTheTimeLeftWhenWokenAndAllOfItOtherwise)
{
    Core::Signal signal;
    unsigned int ms = 30;
    std::uint64_t start = MonotonicMs();
    EXPECT_TRUE(Basic::Sleep(ms, signal));
    EXPECT_EQ(ms, 0u);
    EXPECT_GE(MonotonicMs() - start, 30u);

    // The wake comes 80 ms after the sleep began, not after the thread was
    // asked for: a slow thread start must not eat into the 80 ms.
    std::atomic<std::uint64_t> asleep{0};
    std::thread waker([&asleep, &signal] {
        VorTest::WaitUntil([&] { return asleep.load() != 0 && MonotonicMs() >= asleep.load() + 80; }); // part-way through
        signal.Set(1);
    });
    ms = 10000;
    start = MonotonicMs();
    asleep = start;
    EXPECT_FALSE(Basic::Sleep(ms, signal));
    std::uint64_t elapsed = MonotonicMs() - start;
    waker.join();
    EXPECT_GE(elapsed, 80u);
#if defined(_WIN32)
    unsigned int const tick = 20; // the system's tick is about 16 ms
#else
    unsigned int const tick = 5;
#endif
    // The sleep lies inside [start, now], so what it says is left is at
    // least what this thread saw pass; a busy machine may only widen that
    // window. The wake came 80 ms in, so a sleep that forgot the time it
    // slept (or gave the whole 10 s back) fails the second bound.
    EXPECT_GE(ms + elapsed + tick, 10000u);
    EXPECT_LE(ms, 10000u - 40u);

    // A wake-up at or after the deadline leaves 0, not ~49 days: with 0 ms
    // asked and the signal set, a clock tick between two readings wrapped.
    std::uint64_t until = MonotonicMs() + 200;
    unsigned int worst = 0, rounds = 0;
    for (; MonotonicMs() < until; ++rounds) {
        signal.Set(1);
        ms = 0;
        Basic::Sleep(ms, signal);
        worst = std::max(worst, ms);
    }
    EXPECT_GT(rounds, 0u);
    EXPECT_EQ(worst, 0u);

    // A failed wait does not claim a whole sleep. A named signal whose name
    // the system refuses has nothing to wait on.
    Core::Signal broken("no/such\\semaphore/name"); // a bad name on either system
    ASSERT_FALSE(broken.Set(1));
    ms = 5000;
    start = MonotonicMs();
    EXPECT_FALSE(Basic::Sleep(ms, broken));
    EXPECT_LT(MonotonicMs() - start, 1000u);
    EXPECT_GT(ms, 4000u);
}
