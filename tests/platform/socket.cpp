#include "platform/error.h"
#include "platform/socket.h"
#include "support/net.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace Vor::Platform;
using VorTest::LoopbackAddress;
using VorTest::LoopbackTcpPair;

namespace {

std::uint32_t Ip(char const* text)
{
    std::uint32_t ip = 0;
    EXPECT_TRUE(ParseIpv4(text, &ip)) << text;
    return ip;
}

SocketHandle BoundUdp(std::uint16_t* port)
{
    SocketHandle s = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
    Ipv4Address address = LoopbackAddress(0);
    EXPECT_TRUE(BindSocket(s, address));
    EXPECT_TRUE(GetSocketName(s, &address));
    *port = NetToHost16(address.port);
    return s;
}

} // namespace

TEST(PlatformAddress, ParsesAndFormatsDottedQuads)
{
    EXPECT_EQ(Ip("10.1.2.3"), HostToNet32(0x0A010203u));
    EXPECT_EQ(Ip("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(Ip("0.0.0.0"), 0u);
    EXPECT_EQ(FormatIpv4(HostToNet32(0x0A010203u)), "10.1.2.3");
    EXPECT_EQ(FormatIpv4(0xFFFFFFFFu), "255.255.255.255");
}

TEST(PlatformAddress, RefusesMalformedText)
{
    std::uint32_t ip = 0x12345678u;
    for (char const* text : {"garbage", "", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.-4", " 1.2.3.4", "1.2.3.4x"}) {
        EXPECT_FALSE(ParseIpv4(text, &ip)) << text;
        EXPECT_EQ(LastError(), EINVAL) << text;
    }
    EXPECT_FALSE(ParseIpv4(nullptr, &ip));
    EXPECT_EQ(ip, 0x12345678u);
}

TEST(PlatformAddress, ByteOrderHelpersSwap)
{
    EXPECT_EQ(HostToNet16(80), 0x5000);
    EXPECT_EQ(NetToHost16(0x5000), 80);
    EXPECT_EQ(HostToNet32(0x7F000001u), 0x0100007Fu);
}

TEST(PlatformSocket, TransfersOverLoopbackTcpAndReportsEnds)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    EXPECT_EQ(SendSocket(pair.Client(), "hello", 5, 0), 5);
    char buffer[16] = {};
    EXPECT_EQ(ReceiveSocket(pair.Server(), buffer, sizeof(buffer), 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    Ipv4Address local{}, peer{};
    ASSERT_TRUE(GetSocketName(pair.Client(), &local));
    ASSERT_TRUE(GetPeerName(pair.Server(), &peer));
    EXPECT_EQ(local.port, peer.port);
    EXPECT_EQ(peer.ip, VorTest::LoopbackIp());
    EXPECT_EQ(peer.family, kFamilyIpv4);

    pair.CloseClient();
    EXPECT_EQ(ReceiveSocket(pair.Server(), buffer, sizeof(buffer), 0), 0);
}

TEST(PlatformSocket, AcceptReportsThePeerAddress)
{
    VorTest::LoopbackListener listener;
    ASSERT_TRUE(listener.IsValid());
    SocketHandle client = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    ASSERT_TRUE(ConnectSocket(client, listener.Address(), 2000));
    Ipv4Address peer{};
    unsigned int length = 0;
    SocketHandle server = AcceptSocket(listener.Socket(), &peer, &length);
    ASSERT_NE(server, kInvalidSocket);
    EXPECT_EQ(length, kIpv4AddressSize);
    EXPECT_EQ(peer.ip, VorTest::LoopbackIp());
    Ipv4Address local{};
    ASSERT_TRUE(GetSocketName(client, &local));
    EXPECT_EQ(peer.port, local.port);
    EXPECT_TRUE(CloseSocket(server));
    EXPECT_TRUE(CloseSocket(client));
}

TEST(PlatformSocket, WriteToResetPeerFailsWithoutKillingTheProcess)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    pair.CloseServer();
    // The first send may still be accepted; the reset it provokes makes a
    // later one fail. Without MSG_NOSIGNAL the process would die of SIGPIPE.
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i)
        failed = SendSocket(pair.Client(), "x", 1, 0) < 0;
    ASSERT_TRUE(failed);
    EXPECT_TRUE(LastError() == EPIPE || LastError() == ECONNRESET) << LastError();
}

TEST(PlatformSocket, ConnectToClosedPortIsRefused)
{
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    SocketHandle s = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    EXPECT_FALSE(ConnectSocket(s, LoopbackAddress(port), 2000));
    EXPECT_EQ(LastError(), ECONNREFUSED);
    CloseSocket(s);
}

TEST(PlatformSocket, ConnectWaitIsBounded)
{
    // A listener whose accept queue is full drops further handshakes: the
    // connect would hang for minutes without its bound.
    SocketHandle listener = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    Ipv4Address address = LoopbackAddress(0);
    ASSERT_TRUE(BindSocket(listener, address));
    ASSERT_TRUE(ListenSocket(listener, 0));
    ASSERT_TRUE(GetSocketName(listener, &address));
    SocketHandle queued[4];
    bool timedOut = false;
    int opened = 0;
    for (; opened < 4 && !timedOut; ++opened) {
        queued[opened] = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
        timedOut = !ConnectSocket(queued[opened], address, 300);
    }
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(LastError(), ETIMEDOUT);
    for (int i = 0; i < opened; ++i)
        CloseSocket(queued[i]);
    CloseSocket(listener);
}

TEST(PlatformSocket, ShutdownRefusesUnknownDirection)
{
    LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    for (int how : {-1, 3, 100}) {
        EXPECT_FALSE(ShutdownSocket(pair.Client(), how));
        EXPECT_EQ(LastError(), EINVAL);
    }
    // The socket is untouched: it still sends.
    EXPECT_EQ(SendSocket(pair.Client(), "a", 1, 0), 1);
    EXPECT_TRUE(ShutdownSocket(pair.Client(), kShutSend));
    char c = 0;
    EXPECT_EQ(ReceiveSocket(pair.Server(), &c, 1, 0), 1);
    EXPECT_EQ(ReceiveSocket(pair.Server(), &c, 1, 0), 0);
}

TEST(PlatformSocket, OversizedDatagramIsRefusedAndConsumed)
{
    std::uint16_t port = 0;
    SocketHandle reader = BoundUdp(&port);
    SocketHandle writer = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
    char big[100];
    std::memset(big, 'b', sizeof(big));
    ASSERT_EQ(SendToSocket(writer, big, sizeof(big), 0, LoopbackAddress(port)), 100);
    ASSERT_EQ(SendToSocket(writer, "ok", 2, 0, LoopbackAddress(port)), 2);
    ASSERT_EQ(SendToSocket(writer, "", 0, 0, LoopbackAddress(port)), 0);
    char buffer[10];
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, nullptr, nullptr), -1);
    EXPECT_EQ(LastError(), EMSGSIZE);
    Ipv4Address from{};
    unsigned int length = 0;
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, &from, &length), 2);
    EXPECT_EQ(std::string(buffer, 2), "ok");
    EXPECT_EQ(length, kIpv4AddressSize);
    EXPECT_EQ(from.ip, VorTest::LoopbackIp());
    // A datagram of exactly the buffer's size fits; an empty one gives 0.
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, nullptr, nullptr), 0);
    ASSERT_EQ(SendToSocket(writer, big, sizeof(buffer), 0, LoopbackAddress(port)), 10);
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, nullptr, nullptr), 10);
    CloseSocket(reader);
    CloseSocket(writer);
}

TEST(PlatformSocket, InvalidHandlesFailWithoutReachingTheSystem)
{
    char c = 0;
    for (SocketHandle bad : {kInvalidSocket, 0x80000000u}) {
        EXPECT_FALSE(CloseSocket(bad));
        EXPECT_EQ(LastError(), EBADF);
        EXPECT_EQ(SendSocket(bad, &c, 1, 0), -1);
        EXPECT_EQ(ReceiveSocket(bad, &c, 1, 0), -1);
        EXPECT_FALSE(BindSocket(bad, LoopbackAddress(0)));
        EXPECT_EQ(AcceptSocket(bad, nullptr, nullptr), kInvalidSocket);
        EXPECT_FALSE(ShutdownSocket(bad, kShutBoth));
        EXPECT_FALSE(SetSocketOption(bad, SocketOption::ReuseAddress, 1));
    }
}

TEST(PlatformSocket, ReuseAddressLetsAListenerReopenOverTimeWait)
{
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    auto listen = [&] {
        SocketHandle s = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
        EXPECT_TRUE(SetSocketOption(s, SocketOption::ReuseAddress, 1));
        if (!BindSocket(s, LoopbackAddress(port)) || !ListenSocket(s, 8)) {
            CloseSocket(s);
            return kInvalidSocket;
        }
        return s;
    };
    SocketHandle first = listen();
    ASSERT_NE(first, kInvalidSocket);
    // An active listener on the port still makes a second bind fail.
    EXPECT_EQ(listen(), kInvalidSocket);
    SocketHandle client = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    ASSERT_TRUE(ConnectSocket(client, LoopbackAddress(port), 2000));
    SocketHandle server = AcceptSocket(first, nullptr, nullptr);
    // The server side closes first and keeps the port in TIME_WAIT.
    CloseSocket(server);
    CloseSocket(first);
    CloseSocket(client);
    SocketHandle second = listen();
    EXPECT_NE(second, kInvalidSocket);
    if (second != kInvalidSocket)
        CloseSocket(second);
}
