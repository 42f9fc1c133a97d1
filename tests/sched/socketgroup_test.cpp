// The close path every socket group shares, and the UDP group.
#include "support/errors.h"
#include "support/groups.h"
#include "support/sockets.h"

#include <thread>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::Peer;
using VorTest::WaitUntil;
using std::chrono::milliseconds;

namespace {

// A TCP group whose reports a test drives by hand.
class HandTcpGroup : public TcpGroup {
public:
    HandTcpGroup() : TcpGroup(SYNC) {}
    bool Parse(Io::IoBase& handle, bool keep) { return ParseNotify(handle, keep); }
    std::atomic<int> creates{0};

protected:
    bool CreateGroup() override { return ++creates > 0; }
};

using HandGroup = VorTest::RunningGroup<HandTcpGroup>;
using Endpoint = VorTest::RunningGroup<UdpGroup>;

class SocketGroupTest : public VorTest::GroupTest {};

// Two threads deciding at once to close one socket (an idle report and a
// task) run its close path once: one OnClose, one reopen.
TEST_P(SocketGroupTest, ClosePathRunsOnceWhenTwoReportsCloseOneSocket)
{
    HandGroup running(GetParam(), new HandTcpGroup);
    running.event->reopen = true;
    std::atomic<int> inIdle{0};
    running.event->idleHook = [&](Io::IoBase&) {
        ++inIdle; // both reports are past their checks and on their way to close
        WaitUntil([&] { return inIdle.load() >= 2; }, milliseconds(1000));
    };
    running.event->closeHook = [&](Io::IoBase&) { // long enough for a second close to come
        WaitUntil([&] { return running.event->Count("close") != 0; }, milliseconds(200));
    };
    VorTest::TcpConnection connection;
    Io::ReadHandle(connection.server).SetAttrib(Io::IoParam::IDLE, true);
    VorTest::StderrCapture capture; // never attached: the detach complains
    auto close = [&] { Io::ReadHandle handle(connection.server); running.group->Parse(handle, false); };
    std::thread idle(close), task(close);
    idle.join();
    task.join();
    EXPECT_EQ(running.event->Count("close"), 1u);
    EXPECT_EQ(running.group->creates.load(), 1);
    EXPECT_EQ(Io::Socket::Param::GetHandle(connection.server), 0xFFFFFFFFu);
}

// A report of a socket whose close path is running on another thread is
// dropped: the application hears nothing more of it.
TEST_P(SocketGroupTest, ReportOfASocketBeingClosedIsNotHandedOn)
{
    HandGroup running(GetParam(), new HandTcpGroup);
    std::atomic<bool> inClose{false}, release{false};
    std::atomic<int> idles{0};
    running.event->idleHook = [&](Io::IoBase&) { ++idles; };
    running.event->closeHook = [&](Io::IoBase&) {
        inClose = true;
        WaitUntil([&] { return release.load(); }, milliseconds(5000));
    };
    VorTest::TcpConnection connection;
    VorTest::StderrCapture capture; // never attached: the detach complains
    std::thread closer([&] {
        Io::ReadHandle handle(connection.server);
        running.group->Parse(handle, false);
    });
    ASSERT_TRUE(WaitUntil([&] { return inClose.load(); }));
    Io::ReadHandle handle(connection.server);
    handle.SetAttrib(Io::IoParam::IDLE, true);
    EXPECT_FALSE(running.group->Parse(handle, true));
    release = true;
    closer.join();
    EXPECT_EQ(idles.load(), 0);
    EXPECT_EQ(running.event->Count("close"), 1u);
}

// UnInit while a task is inside the application's OnRead: the task ends
// against a group without event, notify or scheduler (its answer finds no
// device, so the read fails) and closes quietly.
TEST_P(SocketGroupTest, ReportInFlightDuringUnInitFinishesQuietly)
{
    VorTest::RunningGroup<AcceptGroup> running({VorTest::SchedKind::Tp, GetParam().engine}, new AcceptGroup);
    std::atomic<bool> inRead{false}, release{false};
    running.event->readHook = [&](Io::IoBase&) {
        inRead = true;
        WaitUntil([&] { return release.load(); }, milliseconds(5000));
    };
    ASSERT_TRUE(running.Start());
    Peer client;
    ASSERT_TRUE(client.Connect(running.port) && client.Send("x"));
    ASSERT_TRUE(WaitUntil([&] { return inRead.load(); }));
    running.group->UnInit(1000);
    release = true;
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(running.event->Count("close"), 0u); // nobody is told any more
}

// A notify without engines whose UnInit, once done, waits until the test
// lets it return: a close path runs in between.
class HeldNotify : public Notify {
public:
    bool UnInit(unsigned int timeout) override
    {
        bool done = Notify::UnInit(timeout);
        detached = true;
        WaitUntil([&] { return release.load(); }, milliseconds(5000));
        return done;
    }
    std::atomic<bool> detached{false}, release{false};

protected:
    Core::Guard<NotifyBase> GetNotify(Core::CallBack const&) const override { return Core::Guard<NotifyBase>(); }
    using Notify::GetNotify;
};

// A socket closing while its group is uninitialised: the notify has let it
// go already, which is no failure to report, and nothing is reopened.
TEST_P(SocketGroupTest, CloseDuringUnInitReportsNoDetachFailureAndOpensNothing)
{
    auto notify = Core::New<HeldNotify>();
    notify->Init(Notify::Param());
    HandGroup running(GetParam(), new HandTcpGroup, 0, 0, Core::Guard<Notify>(notify.Raw()));
    running.event->reopen = true;
    std::atomic<bool> inClose{false};
    running.event->closeHook = [&](Io::IoBase&) {
        inClose = true;
        WaitUntil([&] { return notify->detached.load(); });
    };
    VorTest::TcpConnection connection;
    VorTest::StderrCapture capture;
    std::thread report([&] {
        Io::ReadHandle handle(connection.server);
        running.group->Parse(handle, false);
        notify->release = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return inClose.load(); }));
    running.group->UnInit(1000);
    report.join();
    capture.Stop();
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(running.event->Count("close"), 1u);
    EXPECT_EQ(running.group->creates.load(), 0);
}

// A TCP group without scheduler, and groups whose port is in use, fail
// with their lines and leave no socket open.
TEST_P(SocketGroupTest, FailedSetUpsWriteTheirLinesAndLeaveNoSocket)
{
    VorTest::LoopbackListener tcp;
    VorTest::BoundUdp udp;
    VorTest::RunningGroup<AcceptGroup> server(GetParam(), new AcceptGroup);
    Endpoint endpoint(GetParam(), new UdpGroup);
    IoTrigger::Param noScheduler(Core::Guard<Scheduler>(), server.notify, Core::Guard<IoEvent>(server.event.Raw()));
    VorTest::StderrCapture capture;
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    EXPECT_FALSE(Core::New<HandTcpGroup>()->Init(noScheduler));
    EXPECT_FALSE(server.Start(tcp.Port()));
    EXPECT_FALSE(endpoint.Start(udp.address.Port()));
    EXPECT_EQ(VorTest::OpenDescriptorCount(), descriptors);
    capture.Stop();
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Tcp group create param error or regieter handler error",
                                                         "Open accepted socket error, at step 2, error code : " +
                                                             std::to_string(VorTest::Error::AddressInUse),
                                                         "Udp sync open error, error code : 2"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, SocketGroupTest, ::testing::ValuesIn(VorTest::EngineCases()), VorTest::GroupCaseName);

class UdpGroupTest : public VorTest::GroupTest {};

// Answers leave from the bound port, through the group's one socket
// whatever the handle. OnRead refusing closes that socket; OnClose asking
// for it opens a new one on the same address, which serves the next
// datagram; creating again keeps it. OnOpen runs outside the group's locks:
// a Create made on another thread while it runs (an OnOpen that waits for
// one would otherwise never return) comes back at once and opens nothing.
TEST_P(UdpGroupTest, RepliesFromTheBoundPortAndReopensAfterClose)
{
    Endpoint endpoint(GetParam(), new UdpGroup);
    endpoint.event->reopen = true;
    std::atomic<int> answered{0}; // 1: true, 2: false
    int answeredInOpen = 0;
    std::thread other;
    endpoint.event->openHook = [&](Io::IoBase&) {
        if (answered.load() != 0 || other.joinable())
            return;
        other = std::thread([&] { answered = endpoint.group->Create(Io::Socket::Address("127.0.0.1", endpoint.port)) ? 1 : 2; });
        WaitUntil([&] { return answered.load() != 0; }, milliseconds(2000));
        answeredInOpen = answered.load();
    };
    ASSERT_TRUE(endpoint.Start());
    other.join();
    EXPECT_EQ(answeredInOpen, 1);
    Io::IoHandle first = endpoint.group->GetSocket();
    VorTest::BoundUdp elsewhere;
    EXPECT_TRUE(endpoint.event->Device(elsewhere.device.GetHandle()) == first);
    VorTest::StderrCapture capture;
    Peer client(false);
    for (std::string text : {"one", "bye", "two"}) {
        std::uint16_t from = 0;
        ASSERT_TRUE(client.Send(text, 0, endpoint.port));
        if (text == "bye")
            ASSERT_TRUE(WaitUntil([&] { return endpoint.event->Count("open") == 2; }));
        else
            EXPECT_TRUE(client.Receive(65536, &from) == text && from == endpoint.port) << text;
    }
    EXPECT_EQ(Io::Socket::Param::GetHandle(first), 0xFFFFFFFFu);
    Io::IoHandle second = endpoint.group->GetSocket();
    EXPECT_TRUE(endpoint.Start(endpoint.port) && endpoint.group->GetSocket() == second);
    capture.Stop();
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(endpoint.event->Log(),
              (std::vector<std::string>{"open 1", "read 1", "read 1", "close 1", "open 2", "read 2"}));
}

INSTANTIATE_TEST_SUITE_P(All, UdpGroupTest, ::testing::ValuesIn(VorTest::AllGroupCases()), VorTest::GroupCaseName);

} // namespace
