// What only the epoll engine does: thousands of sockets on one engine. The
// contract both engines keep is in readiness_test.cpp.
#include <vor/io/socket.h>
#include <vor/sched/epoll.h>

#include "platform/poller.h"
#include "platform/socket.h"
#include "support/net.h"
#include "support/notify.h"
#include "support/sockets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace Vor;

namespace {

// The server side of an echo: answers what it reads and, at the end of the
// stream, detaches and closes the socket.
struct EchoServer {
    Core::Guard<Sched::EpollNotify> notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    std::atomic<unsigned int> closed{0};

    void OnRead(Io::ReadHandle handle)
    {
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(handle.GetObject().Raw());
        char buffer[256];
        unsigned int got = io->ReadOnce(buffer, sizeof(buffer), 0);
        if (got != Io::IoObject::FAILED && got != 0) {
            io->WriteAll(buffer, got, 0);
        } else if (notify->Detach(handle) && io->Close()) {
            ++closed;
        }
    }
};

// Reads exactly n bytes within a bound.
bool ReceiveAll(Platform::SocketHandle socket, char* data, unsigned int n)
{
    for (unsigned int have = 0; have < n;) {
        Platform::PollEntry entry{socket, Platform::kPollRead, 0};
        std::int64_t got =
            Platform::Poll(&entry, 1, 5000) == 1 ? Platform::ReceiveSocket(socket, data + have, n - have, 0) : -1;
        if (got <= 0)
            return false;
        have += static_cast<unsigned int>(got);
    }
    return true;
}

} // namespace

TEST(EpollNotify, FiveThousandConnectionsOnOneEngineLeaveNoDescriptorBehind)
{
    constexpr unsigned int kConnections = 5000, kNeeded = 2 * kConnections + 256;
    unsigned int limit = VorTest::RaiseDescriptorLimit(kNeeded);
    if (limit < kNeeded)
        GTEST_SKIP() << "needs " << kNeeded << " open descriptors; the hard limit allows " << limit;
    unsigned int before = VorTest::OpenDescriptorCount();
    {
        EchoServer server;
        Core::CallBack onRead;
        ASSERT_TRUE(onRead.Bind(&server, &EchoServer::OnRead));
        VorTest::SocketListener listener;
        Platform::Ipv4Address address = VorTest::LoopbackAddress(listener.address.Port());
        std::vector<Platform::SocketHandle> clients;
        for (unsigned int i = 0; i < kConnections; ++i) {
            clients.push_back(Platform::OpenSocket(2, Platform::SocketKind::Stream, 0));
            ASSERT_TRUE(Platform::ConnectSocket(clients.back(), address, 5000)) << "connection " << i;
            Io::IoHandle accepted = Io::Socket::Accept(listener.device.GetReadHandle());
            ASSERT_TRUE(server.notify->Attach(Io::ReadHandle(accepted), onRead)) << "connection " << i;
        }
        EXPECT_EQ(server.notify->GetCount(), kConnections);
        EXPECT_EQ(Sched::EpollNotify::GetEngineCount(), 1u);
        // Every connection sends a 64-byte message, then reads it back.
        char message[64];
        std::memset(message, 'm', sizeof(message));
        for (unsigned int i = 0; i < kConnections; ++i) {
            std::memcpy(message, &i, sizeof(i));
            ASSERT_EQ(Platform::SendSocket(clients[i], message, sizeof(message), 0), 64) << "connection " << i;
        }
        for (unsigned int i = 0, id = 0; i < kConnections; ++i) {
            ASSERT_TRUE(ReceiveAll(clients[i], message, sizeof(message))) << "connection " << i;
            std::memcpy(&id, message, sizeof(id));
            ASSERT_EQ(id, i);
        }
        // Each client closes; the server sees the end, detaches and closes.
        for (auto client : clients)
            ASSERT_TRUE(Platform::CloseSocket(client));
        EXPECT_TRUE(VorTest::WaitUntil([&] { return server.closed.load() == kConnections; }));
        EXPECT_EQ(server.notify->GetCount(), 0u);
        server.notify->UnInit(1000);
    }
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::OpenDescriptorCount() <= before; }))
        << VorTest::OpenDescriptorCount() << " open, " << before << " before";
}
