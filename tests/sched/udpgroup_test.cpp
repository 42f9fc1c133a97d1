#include <vor/io/socket.h>
#include <vor/sched/udpgroup.h>

#include "support/capture.h"
#include "support/client.h"
#include "support/groups.h"
#include "support/net.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::RunningGroup;
using VorTest::SchedKind;
using VorTest::UdpClient;
using VorTest::WaitUntil;

namespace {

struct Endpoint : RunningGroup<UdpGroup> {
    explicit Endpoint(SchedKind kind, SocketGroup::Type type = SocketGroup::SYNC)
        : RunningGroup(kind, new UdpGroup(type))
    {
    }
    bool Start()
    {
        port = VorTest::FreeLoopbackPort();
        return initialised && port != 0 && group->Create(Io::Socket::Address("127.0.0.1", port));
    }
    std::uint16_t port = 0;
};

class UdpGroupTest : public ::testing::TestWithParam<SchedKind> {};

TEST_P(UdpGroupTest, RepliesFromTheBoundPort)
{
    Endpoint endpoint(GetParam());
    ASSERT_TRUE(endpoint.Start());
    UdpClient client;
    for (int i = 0; i < 3; ++i) {
        std::string text = "ping " + std::to_string(i);
        ASSERT_TRUE(client.SendTo(endpoint.port, text));
        std::uint16_t from = 0;
        EXPECT_EQ(client.Receive(from), text);
        EXPECT_EQ(from, endpoint.port);
    }
    EXPECT_EQ(endpoint.event->Count("open"), 1u);
}

// OnRead refusing closes the group's only socket; OnClose asking for it
// opens a new one on the same address, which serves the next datagram.
TEST_P(UdpGroupTest, ReopensOnTheSameAddressAfterClose)
{
    Endpoint endpoint(GetParam());
    endpoint.event->closeOnRead = true;
    endpoint.event->reopen = true;
    ASSERT_TRUE(endpoint.Start());
    Io::IoHandle first = endpoint.group->GetSocket();
    VorTest::StderrCapture capture;
    UdpClient client;
    ASSERT_TRUE(client.SendTo(endpoint.port, "one"));
    std::uint16_t from = 0;
    EXPECT_EQ(client.Receive(from), "one");
    ASSERT_TRUE(WaitUntil([&] { return endpoint.event->Count("open") == 2; }));
    Io::IoHandle second = endpoint.group->GetSocket();
    EXPECT_FALSE(second == first);
    EXPECT_EQ(Io::Socket::Param::GetHandle(first), 0xFFFFFFFFu);
    endpoint.event->closeOnRead = false;
    ASSERT_TRUE(client.SendTo(endpoint.port, "two"));
    EXPECT_EQ(client.Receive(from), "two");
    EXPECT_EQ(from, endpoint.port);
    capture.Stop();
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(endpoint.event->Log(), (std::vector<std::string>{"open 1", "read 1", "close 1", "open 2", "read 2"}));
}

INSTANTIATE_TEST_SUITE_P(Schedulers, UdpGroupTest, ::testing::Values(SchedKind::Tp, SchedKind::Local, SchedKind::St),
                         [](::testing::TestParamInfo<SchedKind> const& info) { return VorTest::SchedName(info.param); });

TEST(UdpGroup, PortInUseFailsAtStepTwoAndLeavesNoSocket)
{
    VorTest::BoundUdp taken;
    Endpoint endpoint(SchedKind::Local);
    VorTest::StderrCapture capture;
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    EXPECT_FALSE(endpoint.group->Create(taken.address));
    EXPECT_EQ(VorTest::OpenDescriptorCount(), descriptors);
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Udp sync open error, error code : 2"});
    EXPECT_FALSE(endpoint.group->GetSocket().IsValid());
}

TEST(UdpGroup, RefusedOpenFailsAtStepSix)
{
    Endpoint endpoint(SchedKind::Local);
    endpoint.event->refuseOpens = 1;
    VorTest::StderrCapture capture;
    EXPECT_FALSE(endpoint.Start());
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Udp sync open error, error code : 6"});
    // The port is free again.
    EXPECT_TRUE(endpoint.group->Create(Io::Socket::Address("127.0.0.1", endpoint.port)));
}

TEST(UdpGroup, OtherTypeOpensNothing)
{
    Endpoint endpoint(SchedKind::Local, static_cast<SocketGroup::Type>(3));
    EXPECT_FALSE(endpoint.Start());
    EXPECT_FALSE(endpoint.group->GetSocket().IsValid());
}

TEST(UdpGroup, GetDeviceIsTheGroupSocketWhateverTheHandle)
{
    Endpoint endpoint(SchedKind::Local);
    ASSERT_TRUE(endpoint.Start());
    VorTest::BoundUdp other;
    Io::WriteHandle device = endpoint.event->Device(other.device.GetHandle());
    EXPECT_TRUE(device == endpoint.group->GetSocket());
}

TEST(UdpGroup, CreateAgainKeepsTheOpenSocket)
{
    Endpoint endpoint(SchedKind::Local);
    ASSERT_TRUE(endpoint.Start());
    Io::IoHandle first = endpoint.group->GetSocket();
    EXPECT_TRUE(endpoint.group->Create(Io::Socket::Address("127.0.0.1", endpoint.port)));
    EXPECT_TRUE(endpoint.group->GetSocket() == first);
    EXPECT_EQ(endpoint.event->Count("open"), 1u);
}

} // namespace
