#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/sched/acceptgroup.h>

#include "support/capture.h"
#include "support/client.h"
#include "support/groups.h"
#include "support/net.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::RunningGroup;
using VorTest::SchedKind;
using VorTest::TcpClient;
using VorTest::WaitUntil;

namespace {

using std::chrono::milliseconds;

// An accept group listening on a free loopback port.
struct Server : RunningGroup<AcceptGroup> {
    explicit Server(SchedKind kind) : RunningGroup(kind, new AcceptGroup(SocketGroup::SYNC)) {}
    bool Start()
    {
        port = VorTest::FreeLoopbackPort();
        return initialised && port != 0 && group->Create(Io::Socket::Address("127.0.0.1", port));
    }
    std::uint16_t port = 0;
};

bool Matches(std::string const& line, char const* pattern) { return std::regex_match(line, std::regex(pattern)); }

class AcceptGroupTest : public ::testing::TestWithParam<SchedKind> {};

TEST_P(AcceptGroupTest, AnswersThroughGetDeviceOnTheSameConnection)
{
    Server server(GetParam());
    ASSERT_TRUE(server.Start());
    TcpClient a, b;
    ASSERT_TRUE(a.Connect(server.port));
    ASSERT_TRUE(b.Connect(server.port));
    ASSERT_TRUE(a.Send("from a"));
    ASSERT_TRUE(b.Send("from b, longer"));
    EXPECT_EQ(a.Receive(6), "from a");
    EXPECT_EQ(b.Receive(14), "from b, longer");
    ASSERT_TRUE(a.Send(std::string(100000, 'x')));
    EXPECT_EQ(a.Receive(100000), std::string(100000, 'x'));
}

TEST_P(AcceptGroupTest, ReadReturningFalseClosesOnceAndEndsTheClientStream)
{
    Server server(GetParam());
    server.event->closeOnRead = true;
    server.event->echo = false;
    ASSERT_TRUE(server.Start());
    TcpClient client;
    ASSERT_TRUE(client.Connect(server.port));
    ASSERT_TRUE(client.Send("bye"));
    EXPECT_TRUE(client.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("close") >= 1; }));
    EXPECT_EQ(server.event->Log(), (std::vector<std::string>{"open 1", "read 1", "close 1"}));
}

TEST_P(AcceptGroupTest, UrgentByteGivesErrorThenClose)
{
    Server server(GetParam());
    ASSERT_TRUE(server.Start());
    TcpClient client;
    ASSERT_TRUE(client.Connect(server.port));
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("open") == 1; }));
    ASSERT_TRUE(client.SendUrgent('!'));
    EXPECT_TRUE(client.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("close") == 1; }));
    std::vector<std::string> log = server.event->Log();
    auto error = std::find(log.begin(), log.end(), "error 1");
    auto close = std::find(log.begin(), log.end(), "close 1");
    ASSERT_NE(error, log.end());
    EXPECT_LT(error, close);
    EXPECT_EQ(server.event->Count("close"), 1u);
}

TEST_P(AcceptGroupTest, RefusedOpenWritesTwoLinesAndTheNextClientIsServed)
{
    Server server(GetParam());
    server.event->refuseOpens = 1;
    ASSERT_TRUE(server.Start());
    VorTest::StderrCapture capture;
    TcpClient refused;
    ASSERT_TRUE(refused.Connect(server.port));
    EXPECT_TRUE(refused.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return capture.Lines().size() >= 2; }));
    TcpClient next;
    ASSERT_TRUE(next.Connect(server.port));
    ASSERT_TRUE(next.Send("still there"));
    EXPECT_EQ(next.Receive(11), "still there");
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u) << capture.Text();
    EXPECT_TRUE(Matches(lines[0], "Accepted socket error, at step 5, error code : \\d+")) << lines[0];
    EXPECT_TRUE(Matches(lines[1], "Accept socket error, error code : \\d+")) << lines[1];
    // The refused connection never reached the notify: no close for it.
    EXPECT_EQ(server.event->Count("close"), 0u);
}

TEST_P(AcceptGroupTest, EveryOpenHasExactlyOneCloseOver200Cycles)
{
    Server server(GetParam());
    ASSERT_TRUE(server.Start());
    constexpr int kCycles = 200;
    for (int i = 0; i < kCycles; ++i) {
        TcpClient client;
        ASSERT_TRUE(client.Connect(server.port)) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(client.Send("x"));
            ASSERT_EQ(client.Receive(1), "x") << i;
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("close") >= kCycles; }, milliseconds(20000)));
    EXPECT_EQ(server.event->Count("open"), unsigned(kCycles));
    EXPECT_EQ(server.event->Count("close"), unsigned(kCycles));
    EXPECT_TRUE(server.event->Balanced());
}

TEST_P(AcceptGroupTest, KeepsTheLiveListenerWhenAConnectionAsksForAReopen)
{
    Server server(GetParam());
    server.event->closeOnRead = true;
    server.event->reopen = true; // OnClose of a connection asks for a reopen
    ASSERT_TRUE(server.Start());
    VorTest::StderrCapture capture;
    TcpClient first;
    ASSERT_TRUE(first.Connect(server.port));
    ASSERT_TRUE(first.Send("1"));
    EXPECT_EQ(first.Receive(1), "1");
    EXPECT_TRUE(first.WaitClosed());
    // The reopen runs 100 ms after the close; the next client comes after.
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("close") == 1; }));
    for (int i = 0; i < 3; ++i) {
        TcpClient next;
        ASSERT_TRUE(next.Connect(server.port));
        ASSERT_TRUE(next.Send("2"));
        EXPECT_EQ(next.Receive(1), "2") << i;
        EXPECT_TRUE(next.WaitClosed());
    }
    capture.Stop();
    EXPECT_EQ(capture.Text(), "");
}

TEST_P(AcceptGroupTest, NoReportOfAConnectionBeforeItsOpenReturned)
{
    Server server(GetParam());
    std::atomic<bool> opening{false};
    std::atomic<int> readsWhileOpening{0};
    server.event->openHook = [&](Io::IoBase&) {
        opening = true;
        // Gives an early report time to arrive, if one could.
        WaitUntil([&] { return readsWhileOpening.load() != 0; }, milliseconds(150));
        opening = false;
    };
    server.event->readHook = [&](Io::IoBase&) {
        if (opening.load())
            ++readsWhileOpening;
    };
    ASSERT_TRUE(server.Start());
    TcpClient client;
    ASSERT_TRUE(client.Connect(server.port));
    ASSERT_TRUE(client.Send("early"));
    EXPECT_EQ(client.Receive(5), "early");
    EXPECT_EQ(readsWhileOpening.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Schedulers, AcceptGroupTest,
                         ::testing::Values(SchedKind::Tp, SchedKind::Local, SchedKind::St),
                         [](::testing::TestParamInfo<SchedKind> const& info) { return VorTest::SchedName(info.param); });

TEST(AcceptGroup, PortInUseFailsAtStepTwoAndLeavesNoSocket)
{
    VorTest::LoopbackListener taken;
    ASSERT_TRUE(taken.IsValid());
    Server server(SchedKind::Local);
    VorTest::StderrCapture capture;
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    EXPECT_FALSE(server.group->Create(Io::Socket::Address("127.0.0.1", taken.Port())));
    EXPECT_EQ(VorTest::OpenDescriptorCount(), descriptors);
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Open accepted socket error, at step 2, error code : 98"});
    EXPECT_EQ(server.event->Count("open"), 0u);
}

TEST(AcceptGroup, OtherTypeOpensNothing)
{
    RunningGroup<AcceptGroup> server(SchedKind::Local, new AcceptGroup(static_cast<SocketGroup::Type>(1)));
    std::uint16_t port = VorTest::FreeLoopbackPort();
    EXPECT_FALSE(server.group->Create(Io::Socket::Address("127.0.0.1", port)));
    TcpClient client;
    EXPECT_FALSE(client.Connect(port));
    EXPECT_FALSE(server.group->GetSocket().IsValid());
}

// A notify that shows what the group attaches, and whether a socket is
// still open when the group detaches it.
class WatchingNotify : public SelectNotify {
public:
    bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback) override
    {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Attached.push_back({Io::IoHandle(handle), callback});
        }
        return SelectNotify::Attach(handle, callback);
    }
    using Notify::Attach;
    bool Detach(Io::IoBase const& handle) override
    {
        openAtDetach.push_back(Io::Socket::Param::GetHandle(handle) != 0xFFFFFFFFu);
        return SelectNotify::Detach(handle);
    }
    std::pair<Io::IoHandle, Core::CallBack> First()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Attached.front();
    }
    std::vector<bool> openAtDetach;

private:
    std::mutex m_Lock;
    std::vector<std::pair<Io::IoHandle, Core::CallBack>> m_Attached;
};

TEST(AcceptGroup, ClosedListenerIsDetachedBeforeItIsClosedAndReopened)
{
    auto scheduler = VorTest::MakeScheduler(SchedKind::Local);
    auto notify = VorTest::Adopt(new WatchingNotify);
    notify->Init(Notify::Param());
    auto event = VorTest::Adopt(new VorTest::ScriptedEvent);
    event->reopen = true;
    auto group = VorTest::Adopt(new AcceptGroup(SocketGroup::SYNC));
    IoTrigger::Param param(scheduler, Core::Guard<Notify>(notify.Raw()), Core::Guard<IoEvent>(event.Raw()));
    ASSERT_TRUE(group->Init(param));
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ASSERT_TRUE(group->Create(Io::Socket::Address("127.0.0.1", port)));

    // An exception condition reported on the listener sends it down the
    // close path; its OnClose asks for a new listener.
    auto listener = notify->First();
    Io::ReadHandle handle(listener.first);
    handle.SetAttrib(Io::IoParam::EXCEPT, true);
    listener.second.CallBackA(handle);

    EXPECT_EQ(notify->openAtDetach, std::vector<bool>{true});
    EXPECT_EQ(Io::Socket::Param::GetHandle(listener.first), 0xFFFFFFFFu);
    EXPECT_EQ(event->Log(), (std::vector<std::string>{"error 1", "close 1"}));
    TcpClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send("new listener"));
    EXPECT_EQ(client.Receive(12), "new listener");
    group->UnInit(1000);
}

} // namespace
