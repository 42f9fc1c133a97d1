#include <vor/io/socket.h>
#include <vor/sched/acceptgroup.h>
#include <vor/sched/socketgroup.h>

#include "support/capture.h"
#include "support/client.h"
#include "support/groups.h"
#include "support/net.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::Adopt;
using VorTest::SchedKind;
using VorTest::WaitUntil;
using std::chrono::milliseconds;

namespace {

// A TCP group whose report handling a test can drive by hand.
class HandTcpGroup : public TcpGroup {
public:
    HandTcpGroup() : TcpGroup(SYNC) {}
    bool Parse(Io::IoBase& handle, bool keep) { return ParseNotify(handle, keep); }
    using SocketGroup::GetDevice;
    std::atomic<int> creates{0};

protected:
    bool CreateGroup() override
    {
        ++creates;
        return true;
    }
};

// The plain base behaviour, for what it does when no group overrides it.
class PlainGroup : public SocketGroup {
public:
    PlainGroup() : SocketGroup(SYNC) {}

protected:
    bool CreateGroup() override { return false; }
};

TEST(TcpGroup, InitWithoutSchedulerFailsWithALine)
{
    auto group = Adopt(new HandTcpGroup);
    auto notify = VorTest::RunningGroup<HandTcpGroup>::MakeSelectNotify();
    auto event = Adopt(new VorTest::ScriptedEvent);
    IoTrigger::Param param(Core::Guard<Scheduler>(), notify, Core::Guard<IoEvent>(event.Raw()));
    VorTest::StderrCapture capture;
    EXPECT_FALSE(group->Init(param));
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Tcp group create param error or regieter handler error"});
}

TEST(TcpGroup, GetDeviceAnswersOnTheSameConnection)
{
    auto group = Adopt(new HandTcpGroup);
    VorTest::TcpConnection connection;
    ASSERT_TRUE(connection.IsValid());
    Io::WriteHandle device = group->GetDevice(connection.server);
    EXPECT_TRUE(device == connection.server);
}

TEST(TcpGroup, UninitialisedGroupTakesItsPoolOutOfTheScheduler)
{
    VorTest::RunningGroup<HandTcpGroup> running(SchedKind::Local, new HandTcpGroup);
    ASSERT_TRUE(running.initialised);
    std::uint64_t id = running.group->GetSequenceId();
    EXPECT_GE(id, std::uint64_t(1) << 32);
    running.group->UnInit(1000);
    VorTest::StderrCapture capture;
    EXPECT_FALSE(running.scheduler->Run(id, Core::Guard<Handler::Param>()));
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Can not find handler " + std::to_string(id) + ", this should not happen"});
}

TEST(SocketGroup, BaseGetDeviceWritesALineAndAnswersNowhere)
{
    auto group = Adopt(new PlainGroup);
    VorTest::TcpConnection connection;
    VorTest::StderrCapture capture;
    Io::WriteHandle device = group->GetDevice(connection.server);
    capture.Stop();
    EXPECT_FALSE(device.IsValid());
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Can not get device in socket group, this should not happen."});
    EXPECT_FALSE(group->GetSocket().IsValid());
}

// Two threads deciding at once to close one socket (an idle report and a
// task, say) run its close path once: one OnClose, one reopen.
TEST(SocketGroup, ClosePathRunsOnceWhenTwoReportsCloseOneSocket)
{
    VorTest::RunningGroup<HandTcpGroup> running(SchedKind::Local, new HandTcpGroup);
    ASSERT_TRUE(running.initialised);
    running.event->reopen = true;
    std::atomic<int> inClose{0};
    running.event->closeHook = [&](Io::IoBase&) {
        ++inClose;
        // Long enough for the other thread to reach its own close path.
        WaitUntil([&] { return inClose.load() >= 2; }, milliseconds(200));
    };
    VorTest::TcpConnection connection;
    ASSERT_TRUE(connection.IsValid());
    VorTest::StderrCapture capture; // the socket was never attached: detach complains
    auto close = [&] {
        Io::ReadHandle handle(connection.server);
        running.group->Parse(handle, false);
    };
    std::thread idle(close), task(close);
    idle.join();
    task.join();
    capture.Stop();
    EXPECT_EQ(running.event->Count("close"), 1u);
    EXPECT_EQ(running.group->creates.load(), 1);
    EXPECT_EQ(Io::Socket::Param::GetHandle(connection.server), 0xFFFFFFFFu);
}

// UnInit while a task is inside the application's OnRead: the task finishes
// against a group that has no event, notify or scheduler any more.
TEST(SocketGroup, ReportInFlightDuringUnInitFinishesQuietly)
{
    VorTest::RunningGroup<AcceptGroup> running(SchedKind::Tp, new AcceptGroup(SocketGroup::SYNC));
    std::atomic<bool> inRead{false}, release{false};
    running.event->readHook = [&](Io::IoBase&) {
        inRead = true;
        WaitUntil([&] { return release.load(); }, milliseconds(5000));
    };
    running.event->closeOnRead = true;
    std::uint16_t port = VorTest::FreeLoopbackPort();
    ASSERT_TRUE(running.group->Create(Io::Socket::Address("127.0.0.1", port)));
    VorTest::TcpClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send("x"));
    ASSERT_TRUE(WaitUntil([&] { return inRead.load(); }));
    Core::Guard<AcceptGroup> group = running.group;
    group->UnInit(1000);
    release = true;
    // The task closes the connection on its own; nobody is told any more.
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(running.event->Count("close"), 0u);
    running.scheduler->UnInit(5000);
}

// A notify that closes a socket through its group once its own UnInit has
// detached everything, as a report in flight during a shut-down does.
class ShutDownNotify : public SelectNotify {
public:
    bool UnInit(unsigned int timeout) override
    {
        bool done = SelectNotify::UnInit(timeout);
        if (afterUnInit)
            afterUnInit();
        return done;
    }
    std::function<void()> afterUnInit;
};

TEST(SocketGroup, SocketClosedWhileTheGroupShutsDownIsNoDetachError)
{
    auto notify = Adopt(new ShutDownNotify);
    notify->Init(Notify::Param());
    auto event = Adopt(new VorTest::ScriptedEvent);
    auto group = Adopt(new HandTcpGroup);
    IoTrigger::Param param(VorTest::MakeScheduler(SchedKind::Local), Core::Guard<Notify>(notify.Raw()),
                           Core::Guard<IoEvent>(event.Raw()));
    ASSERT_TRUE(group->Init(param));
    VorTest::TcpConnection connection;
    Io::ReadHandle handle(connection.server);
    ASSERT_TRUE(notify->Attach(handle, Core::CallBack()));
    notify->afterUnInit = [&] { group->Parse(handle, false); };
    VorTest::StderrCapture capture;
    group->UnInit(1000);
    capture.Stop();
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(Io::Socket::Param::GetHandle(connection.server), 0xFFFFFFFFu);
}

TEST(SocketGroup, OnlyIdleReportClosesWhenOnIdleRefuses)
{
    VorTest::RunningGroup<HandTcpGroup> running(SchedKind::Local, new HandTcpGroup);
    VorTest::TcpConnection connection;
    Io::ReadHandle handle(connection.server);
    handle.SetAttrib(Io::IoParam::IDLE, true);
    EXPECT_TRUE(running.group->Parse(handle, true));
    EXPECT_EQ(running.event->Log(), std::vector<std::string>{"idle 1"});
    running.event->keepIdle = false;
    handle.SetAttrib(Io::IoParam::IDLE, true);
    VorTest::StderrCapture capture; // never attached: detach complains
    EXPECT_FALSE(running.group->Parse(handle, true));
    capture.Stop();
    EXPECT_EQ(running.event->Log(), (std::vector<std::string>{"idle 1", "idle 1", "close 1"}));
    EXPECT_EQ(running.group->creates.load(), 0);
}

} // namespace
