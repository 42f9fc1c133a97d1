#include <vor/io/memory.h>
#include <vor/io/socket.h>

#include "platform/error.h"
#include "support/sockets.h"
#include "support/stubio.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>

using namespace Vor::Io;

namespace {

constexpr unsigned int FAILED = 0xFFFFFFFFu;

SocketIo* AsSocket(IoBase const& handle) { return handle.As<SocketIo>(); }

} // namespace

TEST(SocketAddress, KeepsTheSystemLayoutAndRefusesTextThatIsNoAddress)
{
    Socket::Address address("10.1.2.3", 80);
    sockaddr_in system{};
    std::memcpy(&system, &address, sizeof system);
    EXPECT_EQ(AF_INET, system.sin_family);
    EXPECT_EQ(80, ntohs(system.sin_port));
    EXPECT_EQ(0x0A010203u, ntohl(system.sin_addr.s_addr));
    for (char const* bad : {"garbage", "1.2.3", static_cast<char const*>(nullptr)})
        EXPECT_FALSE(address.IP(bad)) << (bad ? bad : "null");
    EXPECT_EQ(address.IpString(), "10.1.2.3");
    EXPECT_TRUE(address.IP("255.255.255.255"));
}

TEST(SocketDevice, UnknownKindsFailedSocketsAndOtherObjectsAreRefused)
{
    Socket bad, broken, unopened, garbage;
    EXPECT_FALSE(bad.Open(static_cast<Socket::SocketType>(3), 2, 0));
    // A failed socket() does not fail the open; every operation then fails.
    ASSERT_TRUE(broken.Open(Socket::SOCKET_TCP, 12345, 0));
    EXPECT_EQ(Socket::Param::GetHandle(broken.GetHandle()), FAILED);
    EXPECT_FALSE(broken.Connect(Socket::Param(Socket::Address("127.0.0.1", 1))));
    char c;
    EXPECT_EQ(broken.GetHandle().Read(&c, 1), FAILED);
    EXPECT_FALSE(unopened.Bind(Socket::Address()) || unopened.Listen(1) || unopened.Connect(Socket::Param()));
    ASSERT_TRUE(garbage.Open(Socket::SOCKET_TCP, 2, 0));
    EXPECT_FALSE(garbage.Connect(Socket::Param(Socket::Address("garbage", 80)))) << "an address nothing accepts";
    IoHandle memory = VorTest::OpenMemory(), empty;
    for (IoHandle* other : {&memory, &empty}) {
        EXPECT_EQ(Socket::Param::GetHandle(*other), FAILED);
        EXPECT_FALSE(Socket::ShutDown(*other));
        EXPECT_FALSE(Socket::Accept(ReadHandle(*other)).IsValid());
    }
    Socket tcp;
    ASSERT_TRUE(tcp.Open(Socket::SOCKET_TCP, 2, 0));
    EXPECT_FALSE(Socket::Accept(tcp.GetReadHandle()).IsValid()) << "not listening";
}

TEST(SocketTcp, ConnectsAcceptsAndTransfersWholeValues)
{
    VorTest::TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    IoHandle& client = c.client.GetHandle();
    EXPECT_TRUE(c.server.GetAttrib(IoParam::READABLE) && c.server.GetAttrib(IoParam::WRITABLE));
    EXPECT_EQ(c.peer.address, Socket::GetAddress(client, Socket::Param::LOCAL_ADDR));
    EXPECT_EQ(Socket::GetAddress(c.server, Socket::Param::PEER_ADDR), c.peer.address);
    ASSERT_TRUE(client.WriteUInt64(0x0102030405060708ull));
    EXPECT_EQ(c.server.ReadUInt64(0), 0x0102030405060708ull);
    ASSERT_TRUE(c.server.Printf("%d-%s", 42, "ok"));
    EXPECT_EQ(VorTest::ReadText(client, 5), "42-ok");
    Socket::Param from; // the accepted socket reports its peer through a parameter
    char bytes[8];
    ASSERT_TRUE(client.Write("abc", 3));
    EXPECT_EQ(c.server.Read(bytes, 3, from), 3u);
    EXPECT_EQ(from.address, c.peer.address);
    ASSERT_TRUE(client.Write("abc", 3) && client.Close());
    EXPECT_EQ(c.server.Read(bytes, 8), FAILED) << "the peer closed after three of eight bytes";
}

TEST(SocketTcp, ShutDownFollowsTheHandleKindAndRefusesAnUnknownDirection)
{
    VorTest::TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    SocketIo* server = AsSocket(c.server);
    EXPECT_FALSE(server->ShutDown(5) || server->ShutDown(-1));
    EXPECT_EQ(Vor::Platform::LastError(), EINVAL);
    ASSERT_TRUE(c.client.GetHandle().WriteUInt32(7));
    EXPECT_EQ(c.server.ReadUInt32(0), 7u); // receiving still works
    WriteHandle writer(c.server);
    EXPECT_TRUE(Socket::ShutDown(writer));
    EXPECT_FALSE(c.server.GetAttrib(IoParam::WRITABLE));
    EXPECT_EQ(VorTest::ReadText(c.client.GetHandle(), 1), "<failed>"); // end of stream at the client
    ReadHandle reader(c.server);
    EXPECT_TRUE(Socket::ShutDown(reader));
    EXPECT_FALSE(c.server.GetAttrib(IoParam::READABLE));
    ASSERT_TRUE(server->Close());
    EXPECT_EQ(server->GetHandle(), FAILED);
    EXPECT_EQ(server->WriteOnce("x", 1, 0), FAILED);
}

TEST(SocketTcp, WriteToResetPeerFailsWithoutKillingTheProcess)
{
    VorTest::TcpConnection c;
    ASSERT_TRUE(c.IsValid() && c.server.Close());
    bool failed = false;
    char block[1024] = {};
    for (int i = 0; i < 100 && !failed; ++i)
        failed = !c.client.GetHandle().Write(block, sizeof(block));
    EXPECT_TRUE(failed);
}

TEST(SocketUdp, DatagramsGoToTheDefaultOrGivenDestinationAndOversizedOnesAreRefused)
{
    VorTest::BoundUdp reader;
    Socket writer;
    ASSERT_TRUE(writer.Open(Socket::SOCKET_UDP, 2, 0) && writer.Connect(Socket::Param(reader.address)));
    IoHandle in = reader.device.GetHandle(), out = writer.GetHandle();
    char big[64] = {}, buffer[16];
    ASSERT_TRUE(out.Write(big, sizeof(big)) && out.Write("datagram", 8) && out.WriteUInt32(99));
    EXPECT_EQ(in.Read(buffer, sizeof(buffer)), FAILED);
    EXPECT_EQ(Vor::Platform::LastError(), EMSGSIZE);
    Socket::Param from;
    EXPECT_EQ(in.Read(buffer, sizeof(buffer), from), 8u);
    EXPECT_EQ(from.address.Port(), Socket::GetAddress(out, Socket::Param::LOCAL_ADDR).Port());
    EXPECT_EQ(in.ReadUInt32(0), 99u); // one datagram each
    ASSERT_TRUE(in.Write("re", 2, from)); // a reply to the sender
    EXPECT_EQ(VorTest::ReadText(out, 16), "re");
    RandomParam other;
    EXPECT_FALSE(out.Write("x", 1, other));
}

TEST(SocketListen, ReopensOverTimeWaitButNotOverALiveListener)
{
    Socket::Address address;
    {
        VorTest::TcpConnection c;
        ASSERT_TRUE(c.IsValid());
        address = c.listener.address;
        Socket second;
        ASSERT_TRUE(second.Open(Socket::SOCKET_LISTEN, 2, 0));
        EXPECT_FALSE(second.Bind(address) && second.Listen(4));
        ASSERT_TRUE(c.server.Close()); // the server side closes first: TIME_WAIT
    }
    Socket again;
    ASSERT_TRUE(again.Open(Socket::SOCKET_LISTEN, 2, 0));
    EXPECT_TRUE(again.Bind(address) && again.Listen(4));
}

TEST(SocketListen, RefusedPeerOfAnotherFamilyIsNotLeaked)
{
    // An IPv6 listener (bound by listen itself) takes an IPv4 client as a
    // mapped address longer than 16 bytes: the accept is refused, and the
    // accepted connection must be closed, not dropped on the floor.
    Socket listener, client;
    ASSERT_TRUE(listener.Open(Socket::SOCKET_LISTEN, AF_INET6, 0));
    unsigned int fd = Socket::Param::GetHandle(listener.GetHandle());
    if (fd == FAILED)
        GTEST_SKIP() << "no IPv6 on this machine";
    ASSERT_TRUE(listener.Listen(4));
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(0, getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &length));
    ASSERT_TRUE(client.Open(Socket::SOCKET_TCP, 2, 0));
    if (!client.Connect(Socket::Param(Socket::Address("127.0.0.1", ntohs(local.sin6_port)))))
        GTEST_SKIP() << "IPv6 listener without IPv4 mapping";
    unsigned int before = VorTest::OpenDescriptorCount();
    EXPECT_FALSE(Socket::Accept(listener.GetReadHandle()).IsValid());
    EXPECT_EQ(VorTest::OpenDescriptorCount(), before);
}
