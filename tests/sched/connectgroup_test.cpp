#include "support/child.h"
#include "support/errors.h"
#include "support/groups.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::WaitUntil;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Server = VorTest::RunningGroup<AcceptGroup>;

namespace {

// Keeps `connections` connections, pausing `interval` ms after a failed
// attempt (the fixture's clients only read what the servers echo).
using Client = VorTest::RunningGroup<ConnectGroup>;

class ConnectGroupTest : public VorTest::GroupTest {};

// Three connections open, then the thread ends; GetSocket hands them out in
// the order they were listed, each answered on itself. One closed by the
// server is replaced.
TEST_P(ConnectGroupTest, ThreeConnectionsTakeTurnsAndAClosedOneIsReplaced)
{
    Server server(GetParam(), new AcceptGroup);
    Client client(GetParam(), new ConnectGroup, 3, 100);
    client.event->reopen = true;
    std::vector<Io::IoHandle> opened;
    client.event->openHook = [&](Io::IoBase& handle) { opened.push_back(Io::IoHandle(handle)); };
    ASSERT_TRUE(server.Start() && client.Start(server.port));
    ASSERT_TRUE(WaitUntil([&] { return client.group->GetCount() == 3 && client.group->GetThread() == Core::Thread::INVALID_ID; }));
    ASSERT_EQ(opened.size(), 3u);
    auto at = [&](Io::IoHandle const& handle) { return std::find(opened.begin(), opened.end(), handle) - opened.begin(); };
    long first = at(client.group->GetSocket());
    for (long turn = 1; turn < 7; ++turn) {
        Io::IoHandle next = client.group->GetSocket();
        EXPECT_EQ(at(next), (first + turn) % 3) << turn;
        EXPECT_TRUE(next.Write("turn", 4));
    }
    ASSERT_TRUE(WaitUntil([&] { return client.event->Count("read") >= 3; }));
    ASSERT_TRUE(opened[0].Write("bye", 3)); // the server closes it
    ASSERT_TRUE(WaitUntil([&] { return client.event->Count("open") == 4 && client.group->GetCount() == 3; }));
    EXPECT_EQ(client.event->Count("close"), 1u);
    for (int i = 0; i < 6; ++i)
        EXPECT_FALSE(client.group->GetSocket() == opened[0]);
}

// A connection its peer closes while its OnOpen still runs leaves the list
// again: it is listed before the notify can report it.
TEST_P(ConnectGroupTest, ConnectionClosedAtOnceDoesNotStayListed)
{
    VorTest::StderrCapture capture; // outlives the groups: their lines are kept
    Server server(GetParam(), new AcceptGroup);
    server.event->refuseOpens = 1000; // every connection is closed on arrival
    Client client(GetParam(), new ConnectGroup, 1, 10000);
    VorTest::ScriptedEvent& events = *client.event;
    events.openHook = [&](Io::IoBase&) { WaitUntil([&] { return events.Count("close") != 0; }, milliseconds(150)); };
    ASSERT_TRUE(server.Start() && client.Start(server.port));
    // The thread may refill the gap before it ends; every connection it
    // made is closed and leaves the list.
    ASSERT_TRUE(WaitUntil([&] {
        return client.group->GetThread() == Core::Thread::INVALID_ID && events.Count("close") >= 1 &&
               events.Count("close") == events.Count("open");
    }));
    EXPECT_TRUE(WaitUntil([&] { return client.group->GetCount() == 0; }, milliseconds(1000)));
}

INSTANTIATE_TEST_SUITE_P(All, ConnectGroupTest, ::testing::ValuesIn(VorTest::AllGroupCases()), VorTest::GroupCaseName);

class ConnectGroupEngineTest : public VorTest::GroupTest {};

// One line per attempt, one attempt per interval; UnInit cuts the pause
// short.
TEST_P(ConnectGroupEngineTest, RefusedPortIsRetriedOncePerIntervalUntilUnInit)
{
    Client client(GetParam(), new ConnectGroup, 1, 1000);
    std::uint16_t refused = VorTest::FreeLoopbackPort();
    VorTest::StderrCapture capture;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Start(refused));
    ASSERT_TRUE(WaitUntil([&] { return capture.Lines().size() >= 2; }));
    EXPECT_GE(Clock::now() - start, milliseconds(950));
    start = Clock::now();
    EXPECT_TRUE(client.group->UnInit(10000));
    EXPECT_LT(Clock::now() - start, milliseconds(800)); // not the rest of the 1 s interval
    capture.Stop();
    ASSERT_EQ(capture.Lines().size(), 2u);
    for (std::string const& line : capture.Lines())
        EXPECT_EQ(line, "Connect to 127.0.0.1:" + std::to_string(refused) + " error, at step 2, error code : " +
                            std::to_string(VorTest::Error::ConnectionRefused));
}

// Two Creates at once start one connect thread, which always connects (it
// never takes itself for unwanted before its id is stored). UnInit returns
// promptly whether the thread pauses or is opening a connection: it does
// not hold the lock the thread needs to list the connection while it waits.
TEST_P(ConnectGroupEngineTest, FiftyCreateAndUnInitReturnPromptlyAndLeaveNoThread)
{
    Server server(GetParam(), new AcceptGroup);
    ASSERT_TRUE(server.Start());
    std::uint16_t refused = VorTest::FreeLoopbackPort();
    unsigned int threads = Core::Thread::GetCount();
    VorTest::StderrCapture capture;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        Client client(GetParam(), new ConnectGroup, 1, 5000);
        std::atomic<bool> inOpen{false}, uninit{false};
        client.event->openHook = [&](Io::IoBase&) {
            inOpen = true;
            WaitUntil([&] { return uninit.load(); }, milliseconds(5000));
            WaitUntil([] { return false; }, milliseconds(20)); // UnInit is underway
        };
        Io::Socket::Address to("127.0.0.1", i % 2 == 0 ? server.port : refused);
        std::thread other([&] { EXPECT_TRUE(client.group->Create(to)); });
        EXPECT_TRUE(client.group->Create(to)) << i;
        other.join();
        EXPECT_TRUE(i % 2 == 1 || WaitUntil([&] { return inOpen.load(); }, milliseconds(5000))) << i;
        uninit = true;
        EXPECT_TRUE(client.group->UnInit(5000)) << i;
        EXPECT_EQ(client.event->Count("open"), i % 2 == 0 ? 1u : 0u) << i;
        EXPECT_EQ(client.group->GetCount(), 0u) << i;
    }
    EXPECT_LT(Clock::now() - start, milliseconds(10000));
    EXPECT_TRUE(WaitUntil([&] { return Core::Thread::GetCount() <= threads; }));
}

// UnInit ends a connect thread held where it does not look for the stop,
// in a child, since a thread killed in the wrong place ends the process. A
// peer that drops handshakes (its listener's backlog is full and it never
// accepts) holds the connect for the whole of its wait: UnInit with a short
// time-out ends the attempt at once. An OnOpen that never returns holds the
// thread inside the group's catch-all handler: UnInit kills the thread
// there, and the kill's unwind passes the handler.
TEST_P(ConnectGroupEngineTest, UnInitEndsABlockedConnectThreadNotTheProcess)
{
    VorTest::ChildResult child = VorTest::RunInChild([&] {
        {
            VorTest::LoopbackListener deaf;
            if (!deaf.IsValid() || !Platform::ListenSocket(deaf.Socket(), 0))
                return 10;
            // The first fills the queue; the others' handshakes are dropped
            // (each connect gives up at once, its handshake under way).
            for (int i = 0; i < 3; ++i) {
                Platform::SocketHandle filler = Platform::OpenSocket(Platform::kFamilyIpv4, Platform::SocketKind::Stream, 0);
                Platform::ConnectSocket(filler, VorTest::LoopbackAddress(deaf.Port()), 0);
            }
            Client client(GetParam(), new ConnectGroup, 1, 100);
            if (!client.Start(deaf.Port()))
                return 11;
            // Inside its connect once it has had time to send its first SYN.
            WaitUntil([] { return false; }, milliseconds(300));
            Clock::time_point asked = Clock::now();
            bool done = client.group->UnInit(1000);
            auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked).count();
            std::printf("took %lld\n", static_cast<long long>(took));
            // Not the whole time-out and a kill after it.
            if (!done || took >= 500 || client.event->Count("open") != 0)
                return 12;
        }
        VorTest::LoopbackListener listener; // the kernel completes the handshake
        if (!listener.IsValid())
            return 20;
        std::atomic<bool> inOpen{false};
        Core::Signal never;
        unsigned int threads = Core::Thread::GetCount();
        Client client(GetParam(), new ConnectGroup, 1, 100);
        client.event->openHook = [&](Io::IoBase&) {
            inOpen = true;
            never.Wait(60000); // blocked until killed
        };
        if (!client.Start(listener.Port()) || !WaitUntil([&] { return inOpen.load(); }))
            return 21;
        client.group->UnInit(200);
        // The killed connect thread is gone, not merely forgotten.
        return WaitUntil([&] { return Core::Thread::GetCount() <= threads; }) ? 0 : 22;
    }, std::string(), milliseconds(20000));
    EXPECT_TRUE(child.finished);
    EXPECT_EQ(child.exitCode, 0) << child.out << child.err;
}

INSTANTIATE_TEST_SUITE_P(Engines, ConnectGroupEngineTest, ::testing::ValuesIn(VorTest::EngineCases()),
                         VorTest::GroupCaseName);

} // namespace
