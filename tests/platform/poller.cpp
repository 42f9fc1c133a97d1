#include "support/errors.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "support/net.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace Vor::Platform;

// Readiness itself is covered through the engines (readiness_test.cpp).
TEST(PlatformPoll, TimesOutAndRefusesOversizedSets)
{
    VorTest::LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    PollEntry entry{pair.Server(), kPollRead, 0};
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(Poll(&entry, 1, 50), 0);
    EXPECT_GE(MonotonicMs() - start, 45u);
    PollEntry many[kMaxPollEntries + 1] = {};
    EXPECT_EQ(Poll(many, kMaxPollEntries + 1, 0), -1);
    EXPECT_EQ(LastError(), VorTest::Error::InvalidArgument);
}

TEST(PlatformWakeUp, SignalEndsAWaitUntilDrained)
{
    WakeUp wake;
    ASSERT_TRUE(wake.IsValid());
    PollEntry entry{wake.Handle(), kPollRead, 0};
    EXPECT_EQ(Poll(&entry, 1, 0), 0);
    EXPECT_FALSE(wake.Drain());
    EXPECT_TRUE(wake.Signal() && wake.Signal());
    ASSERT_EQ(Poll(&entry, 1, 5000), 1);
    EXPECT_TRUE(wake.Drain()); // one drain takes every signal so far
    EXPECT_EQ(Poll(&entry, 1, 0), 0);
    wake.Close();
    EXPECT_FALSE(wake.IsValid() || wake.Signal());
}
