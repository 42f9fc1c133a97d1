#include "platform/clock.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "support/net.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace Vor::Platform;
using VorTest::LoopbackTcpPair;

TEST(PlatformPoll, ReportsReadWriteAndUrgentData)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    PollEntry entries[2] = {{pair.Server(), kPollRead | kPollExcept, 0xFF}, {pair.Client(), kPollWrite, 0xFF}};
    ASSERT_EQ(Poll(entries, 2, 5000), 1);
    EXPECT_EQ(entries[0].got, 0);
    EXPECT_EQ(entries[1].got, kPollWrite);

    ASSERT_EQ(SendSocket(pair.Client(), "d", 1, 0), 1);
    ASSERT_EQ(Poll(entries, 1, 5000), 1);
    EXPECT_EQ(entries[0].got, kPollRead);
    char c = 0;
    ASSERT_EQ(ReceiveSocket(pair.Server(), &c, 1, 0), 1);

    ASSERT_EQ(SendSocket(pair.Client(), "u", 1, OutOfBandFlag()), 1);
    ASSERT_EQ(Poll(entries, 1, 5000), 1);
    EXPECT_TRUE(entries[0].got & kPollExcept);
}

TEST(PlatformPoll, ReportsHangUpAndClosedDescriptors)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    pair.CloseClient();
    PollEntry entry{pair.Server(), kPollRead, 0};
    ASSERT_EQ(Poll(&entry, 1, 5000), 1);
    EXPECT_TRUE(entry.got & kPollRead);

    SocketHandle gone = pair.ReleaseServer();
    CloseSocket(gone);
    PollEntry stale{gone, kPollRead, 0};
    ASSERT_EQ(Poll(&stale, 1, 5000), 1);
    EXPECT_EQ(stale.got, kPollInvalid);
}

TEST(PlatformPoll, TimesOutAndRefusesOversizedSets)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    PollEntry entry{pair.Server(), kPollRead, 0};
    std::uint64_t start = MonotonicMs();
    EXPECT_EQ(Poll(&entry, 1, 50), 0);
    EXPECT_GE(MonotonicMs() - start, 45u);

    PollEntry many[kMaxPollEntries + 1] = {};
    EXPECT_EQ(Poll(many, kMaxPollEntries + 1, 0), -1);
    EXPECT_EQ(LastError(), EINVAL);
}

TEST(PlatformWakeUp, SignalEndsAWaitUntilDrained)
{
    WakeUp wake;
    ASSERT_TRUE(wake.IsValid());
    PollEntry entry{wake.Handle(), kPollRead, 0};
    EXPECT_EQ(Poll(&entry, 1, 0), 0);
    EXPECT_FALSE(wake.Drain());

    EXPECT_TRUE(wake.Signal());
    EXPECT_TRUE(wake.Signal());
    ASSERT_EQ(Poll(&entry, 1, 5000), 1);
    EXPECT_EQ(entry.got, kPollRead);
    // One drain consumes every signal so far.
    EXPECT_TRUE(wake.Drain());
    EXPECT_EQ(Poll(&entry, 1, 0), 0);

    wake.Close();
    EXPECT_FALSE(wake.IsValid());
    EXPECT_FALSE(wake.Signal());
}
