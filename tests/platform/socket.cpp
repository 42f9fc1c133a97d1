// What the socket layer guarantees below the Socket device. The device's
// tests (tests/io/socket.cpp) cover transfers, resets, reopening over
// TIME_WAIT and oversized datagrams through it.
#include "support/errors.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "support/net.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

using namespace Vor::Platform;
using VorTest::LoopbackAddress;

TEST(PlatformAddress, ParsesDottedQuadsAndRefusesMalformedText)
{
    std::uint32_t ip = 0;
    ASSERT_TRUE(ParseIpv4("10.1.2.3", &ip));
    EXPECT_EQ(FormatIpv4(ip), "10.1.2.3");
    EXPECT_EQ(ip, HostToNet32(0x0A010203u));
    for (char const* text : {"garbage", "", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.-4", " 1.2.3.4", "1.2.3.4x"}) {
        EXPECT_FALSE(ParseIpv4(text, &ip)) << text;
        EXPECT_EQ(LastError(), VorTest::Error::InvalidArgument) << text;
    }
    EXPECT_FALSE(ParseIpv4(nullptr, &ip));
    EXPECT_EQ(ip, HostToNet32(0x0A010203u)); // untouched by the refusals
}

TEST(PlatformSocket, ConnectGivesUpInBoundedTime)
{
    // A listener whose accept queue is full drops further handshakes: the
    // connect would hang for minutes without its bound.
    SocketHandle listener = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    Ipv4Address address = LoopbackAddress(0);
    ASSERT_TRUE(BindSocket(listener, address) && ListenSocket(listener, 0) && GetSocketName(listener, &address));
    SocketHandle queued[4];
    bool timedOut = false;
    int opened = 0;
    for (; opened < 4 && !timedOut; ++opened) {
        queued[opened] = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
        timedOut = !ConnectSocket(queued[opened], address, 300);
    }
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(LastError(), VorTest::Error::TimedOut);
    for (int i = 0; i < opened; ++i)
        CloseSocket(queued[i]);
    CloseSocket(listener);
}

TEST(PlatformSocket, BadHandlesFailWithoutReachingTheSystem)
{
    char c = 0;
    for (SocketHandle bad : {kInvalidSocket, 0x80000000u}) {
        EXPECT_FALSE(CloseSocket(bad));
        EXPECT_EQ(LastError(), VorTest::Error::NotASocket);
        EXPECT_EQ(SendSocket(bad, &c, 1, 0), -1);
        EXPECT_EQ(ReceiveSocket(bad, &c, 1, 0), -1);
        EXPECT_FALSE(BindSocket(bad, LoopbackAddress(0)));
        EXPECT_EQ(AcceptSocket(bad, nullptr, nullptr), kInvalidSocket);
        EXPECT_FALSE(ShutdownSocket(bad, kShutBoth));
        EXPECT_FALSE(SetSocketOption(bad, SocketOption::ReuseAddress, 1));
    }
}

TEST(PlatformSocket, DatagramsAtTheBufferLimitsArriveWhole)
{
    SocketHandle reader = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
    SocketHandle writer = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
    Ipv4Address to = LoopbackAddress(0);
    ASSERT_TRUE(BindSocket(reader, to) && GetSocketName(reader, &to));
    char data[11];
    std::memset(data, 'd', sizeof(data));
    // Empty, exactly the buffer, one byte more (refused and consumed).
    for (std::size_t size : {0, 10, 11})
        ASSERT_EQ(SendToSocket(writer, data, size, 0, to), static_cast<std::int64_t>(size));
    char buffer[10];
    Ipv4Address from{};
    unsigned int length = 0;
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, &from, &length), 0);
    EXPECT_EQ(length, kIpv4AddressSize);
    EXPECT_EQ(from.ip, VorTest::LoopbackIp());
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, nullptr, nullptr), 10);
    EXPECT_EQ(ReceiveFromSocket(reader, buffer, sizeof(buffer), 0, nullptr, nullptr), -1);
    EXPECT_EQ(LastError(), VorTest::Error::MessageTooLong);
    CloseSocket(reader);
    CloseSocket(writer);
}

// A stream send larger than the system's room goes whole, in order, and a
// receive with nothing waiting waits for the bytes.
TEST(PlatformSocket, StreamTransfersBeyondTheSystemsRoomGoWholeAndReceivesWaitForData)
{
    VorTest::LoopbackTcpPair pair;
    ASSERT_TRUE(pair.IsValid());
    constexpr std::size_t SIZE = 16u << 20;
    std::vector<unsigned char> sent(SIZE);
    for (std::size_t i = 0; i < SIZE; ++i)
        sent[i] = static_cast<unsigned char>(i * 7 % 251);
    std::vector<unsigned char> got;
    got.reserve(SIZE);
    std::thread reader([&] {
        std::vector<unsigned char> buffer(1 << 16);
        while (got.size() < SIZE) {
            std::int64_t n = ReceiveSocket(pair.Server(), buffer.data(), buffer.size(), 0);
            if (n <= 0)
                return;
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
    });
    EXPECT_EQ(SendSocket(pair.Client(), sent.data(), SIZE, 0), static_cast<std::int64_t>(SIZE));
    ShutdownSocket(pair.Client(), kShutSend); // ends a reader that lost count
    reader.join();
    ASSERT_EQ(got.size(), SIZE);
    EXPECT_TRUE(got == sent);
}
