#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/sched/acceptgroup.h>
#include <vor/sched/connectgroup.h>

#include "support/capture.h"
#include "support/groups.h"
#include "support/net.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::RunningGroup;
using VorTest::SchedKind;
using VorTest::WaitUntil;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

// An echo server: an accept group on a free loopback port.
struct Server : RunningGroup<AcceptGroup> {
    explicit Server(SchedKind kind) : RunningGroup(kind, new AcceptGroup(SocketGroup::SYNC))
    {
        port = VorTest::FreeLoopbackPort();
        started = initialised && group->Create(Io::Socket::Address("127.0.0.1", port));
    }
    std::uint16_t port = 0;
    bool started = false;
};

struct ClientGroup {
    ClientGroup(SchedKind kind, unsigned int connections, unsigned int interval)
        : param(Core::Guard<Scheduler>(), Core::Guard<Notify>(), Core::Guard<IoEvent>(), connections, interval),
          running(kind, new ConnectGroup(SocketGroup::SYNC), &param)
    {
        running.event->echo = false; // the server echoes; the client only reads
    }
    bool Create(std::uint16_t port) { return running.group->Create(Io::Socket::Address("127.0.0.1", port)); }
    SocketGroup::Param param;
    RunningGroup<ConnectGroup> running;
};

bool Matches(std::string const& line, std::string const& pattern) { return std::regex_match(line, std::regex(pattern)); }

class ConnectGroupTest : public ::testing::TestWithParam<SchedKind> {};

TEST_P(ConnectGroupTest, ThreeConnectionsOpenThenTheThreadEndsAndGetSocketTakesTurns)
{
    Server server(GetParam());
    ASSERT_TRUE(server.started);
    ClientGroup client(GetParam(), 3, 100);
    ASSERT_TRUE(client.running.initialised);
    ASSERT_TRUE(client.Create(server.port));
    ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetCount() == 3; }));
    ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetThread() == Core::Thread::INVALID_ID; }));
    EXPECT_EQ(client.running.event->Count("open"), 3u);

    std::vector<Io::IoHandle> turns;
    for (int i = 0; i < 6; ++i)
        turns.push_back(client.running.group->GetSocket());
    std::set<Io::IoHandle> distinct(turns.begin(), turns.begin() + 3);
    EXPECT_EQ(distinct.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(turns[i] == turns[i + 3]) << i;
    // Each connection answers on itself.
    for (int i = 0; i < 3; ++i) {
        std::string text = "turn " + std::to_string(i);
        ASSERT_TRUE(turns[i].Write(text.data(), static_cast<unsigned int>(text.size())));
    }
    EXPECT_TRUE(WaitUntil([&] { return server.event->Count("read") >= 3 && client.running.event->Count("read") >= 3; }));
}

TEST_P(ConnectGroupTest, ClosedConnectionIsReplaced)
{
    Server server(GetParam());
    ASSERT_TRUE(server.started);
    server.event->closeOnRead = true; // the server drops each connection after one answer
    ClientGroup client(GetParam(), 2, 100);
    client.running.event->reopen = true;
    ASSERT_TRUE(client.Create(server.port));
    ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetCount() == 2; }));
    Io::IoHandle first = client.running.group->GetSocket();
    ASSERT_TRUE(first.Write("x", 1));
    ASSERT_TRUE(WaitUntil([&] { return client.running.event->Count("close") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return client.running.event->Count("open") == 3 && client.running.group->GetCount() == 2; }));
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(client.running.group->GetSocket() == first);
}

// A connection whose peer closes it at once leaves the list again: it is
// listed before the notify can report it.
TEST_P(ConnectGroupTest, ConnectionClosedAtOnceDoesNotStayListed)
{
    Server server(GetParam());
    ASSERT_TRUE(server.started);
    server.event->refuseOpens = 1000; // every connection is closed on arrival
    ClientGroup client(GetParam(), 1, 10000);
    client.running.event->openHook = [&](Io::IoBase&) {
        // Time for the peer's close to be reported while OnOpen runs, if
        // it could be.
        WaitUntil([&] { return client.running.event->Count("close") != 0; }, milliseconds(150));
    };
    VorTest::StderrCapture capture;
    ASSERT_TRUE(client.Create(server.port));
    // The connect thread may refill the gap before it ends; each
    // connection it made is closed and leaves the list.
    auto& event = *client.running.event;
    ASSERT_TRUE(WaitUntil([&] {
        return client.running.group->GetThread() == Core::Thread::INVALID_ID && event.Count("close") >= 1 &&
               event.Count("close") == event.Count("open");
    }));
    EXPECT_TRUE(WaitUntil([&] { return client.running.group->GetCount() == 0; }, milliseconds(1000)));
    client.running.Stop();
    server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Schedulers, ConnectGroupTest,
                         ::testing::Values(SchedKind::Tp, SchedKind::Local, SchedKind::St),
                         [](::testing::TestParamInfo<SchedKind> const& info) { return VorTest::SchedName(info.param); });

TEST(ConnectGroup, RefusedPortIsRetriedOncePerInterval)
{
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ClientGroup client(SchedKind::Local, 1, 300);
    VorTest::StderrCapture capture;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Create(port));
    ASSERT_TRUE(WaitUntil([&] { return capture.Lines().size() >= 3; }));
    Clock::duration took = Clock::now() - start;
    client.running.Stop();
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_GE(lines.size(), 3u);
    for (std::string const& line : lines)
        EXPECT_EQ(line, "Connect to 127.0.0.1:" + std::to_string(port) + " error, at step 2, error code : 111");
    // Three attempts: two pauses between them.
    EXPECT_GE(took, milliseconds(550));
    EXPECT_LE(lines.size(), 4u);
}

TEST(ConnectGroup, UnInitCutsTheRetryPauseShort)
{
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ClientGroup client(SchedKind::Local, 1, 20000);
    VorTest::StderrCapture capture;
    ASSERT_TRUE(client.Create(port));
    ASSERT_TRUE(WaitUntil([&] { return capture.Lines().size() == 1; }));
    unsigned int thread = client.running.group->GetThread();
    ASSERT_NE(thread, Core::Thread::INVALID_ID);
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(client.running.group->UnInit(10000));
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    EXPECT_TRUE(Core::Thread::Wait(thread, 0));
}

// The connect thread needs the group's lock to list a connection; UnInit
// must not hold it while waiting for the thread.
TEST(ConnectGroup, UnInitDuringAnOpenDoesNotWaitForItsTimeOut)
{
    Server server(SchedKind::Tp);
    ASSERT_TRUE(server.started);
    ClientGroup client(SchedKind::Tp, 1, 100);
    std::atomic<bool> inOpen{false}, uninit{false};
    client.running.event->openHook = [&](Io::IoBase&) {
        inOpen = true;
        WaitUntil([&] { return uninit.load(); }, milliseconds(5000));
        WaitUntil([] { return false; }, milliseconds(50)); // UnInit is underway
    };
    ASSERT_TRUE(client.Create(server.port));
    ASSERT_TRUE(WaitUntil([&] { return inOpen.load(); }));
    unsigned int thread = client.running.group->GetThread();
    uninit = true;
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(client.running.group->UnInit(5000));
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    EXPECT_TRUE(Core::Thread::Wait(thread, 1000));
    EXPECT_EQ(client.running.group->GetCount(), 0u);
}

TEST(ConnectGroup, FiftyCreateAndUnInitReturnPromptlyAndLeaveNoThread)
{
    Server server(SchedKind::Local);
    ASSERT_TRUE(server.started);
    std::uint16_t refused = VorTest::FreeLoopbackPort();
    unsigned int threads = Core::Thread::GetCount();
    VorTest::StderrCapture capture;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        ClientGroup client(SchedKind::Local, 2, 5000);
        ASSERT_TRUE(client.Create(i % 2 == 0 ? server.port : refused)) << i;
        // A second Create while the thread runs starts no second thread.
        EXPECT_TRUE(client.Create(i % 2 == 0 ? server.port : refused)) << i;
        EXPECT_LE(Core::Thread::GetCount(), threads + 1) << i;
        EXPECT_TRUE(client.running.group->UnInit(5000)) << i;
        client.running.Stop();
    }
    EXPECT_LT(Clock::now() - start, milliseconds(10000));
    EXPECT_TRUE(WaitUntil([&] { return Core::Thread::GetCount() <= threads; }));
}

// Every Create of a reachable peer connects: the connect thread never
// mistakes itself for unwanted before its id is stored.
TEST(ConnectGroup, EveryCreateConnects)
{
    Server server(SchedKind::Local);
    ASSERT_TRUE(server.started);
    for (int i = 0; i < 50; ++i) {
        ClientGroup client(SchedKind::Local, 1, 5000);
        ASSERT_TRUE(client.Create(server.port));
        ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetCount() == 1; }, milliseconds(5000))) << i;
    }
}

TEST(ConnectGroup, NoConnectionsWanted)
{
    Server server(SchedKind::Local);
    ClientGroup client(SchedKind::Local, 0, 100);
    ASSERT_TRUE(client.Create(server.port));
    ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetThread() == Core::Thread::INVALID_ID; }));
    VorTest::StderrCapture capture;
    EXPECT_FALSE(client.running.group->GetSocket().IsValid());
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"There are no valid socket in connect group"});
}

TEST(ConnectGroup, RefusedOpenIsStepSixAndRetried)
{
    Server server(SchedKind::Local);
    ClientGroup client(SchedKind::Local, 1, 100);
    client.running.event->refuseOpens = 1;
    VorTest::StderrCapture capture;
    ASSERT_TRUE(client.Create(server.port));
    ASSERT_TRUE(WaitUntil([&] { return client.running.group->GetCount() == 1; }));
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(Matches(lines[0], "Connect to 127\\.0\\.0\\.1:" + std::to_string(server.port) +
                                      " error, at step 6, error code : \\d+"))
        << lines[0];
    EXPECT_EQ(client.running.event->Count("open"), 2u);
}

TEST(ConnectGroup, InitWithAPlainParameterFails)
{
    VorTest::StderrCapture capture;
    // Without a SocketGroup::Param (a plain IoTrigger::Param).
    RunningGroup<ConnectGroup> plain(SchedKind::Local, new ConnectGroup(SocketGroup::SYNC));
    capture.Stop();
    EXPECT_FALSE(plain.initialised);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Init connect group param error"});
}

} // namespace
