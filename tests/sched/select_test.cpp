#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/sched/select.h>

#include "platform/clock.h"
#include "platform/socket.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

using namespace Vor;
using Io::IoHandle;
using Io::IoParam;
using Io::ReadHandle;
using Io::Socket;
using Io::WriteHandle;
using Sched::PosixSelect;
using VorTest::MakeNotify;
using VorTest::Recorder;
using VorTest::TcpConnection;

namespace {

using Engine = Sched::CommonSelect<unsigned int, -1>;
using TimeOut = Engine::TimeOut;

// An engine used directly, without a notify.
Core::Guard<PosixSelect> MakeEngine()
{
    PosixSelect* engine = new PosixSelect;
    Core::Guard<PosixSelect> counted(engine);
    engine->DecRef();
    EXPECT_TRUE(counted->Init());
    return counted;
}

unsigned int SocketOf(Io::IoBase const& handle) { return Socket::Param::GetHandle(handle); }

bool Quiet(Recorder const& recorder, unsigned int count, unsigned int ms = 300)
{
    return !VorTest::WaitUntil([&] { return recorder.Count() > count; }, std::chrono::milliseconds(ms));
}

// Restores a hook when the test ends.
struct HookValue {
    HookValue(std::atomic<unsigned int>& hook, unsigned int value) : hook(hook), saved(hook.load()) { hook = value; }
    ~HookValue() { hook = saved; }
    std::atomic<unsigned int>& hook;
    unsigned int saved;
};

// Counts idle reports.
struct Counting {
    int* count;
    template <class Info>
    void operator()(Info&) const
    {
        ++*count;
    }
};

} // namespace

TEST(SelectEngine, ReportsReadableSocketWithReadHandle)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto notify = MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    EXPECT_EQ(notify->GetCount(), 1u);
    ASSERT_TRUE(c.client.GetHandle().Write("ping", 4));
    ASSERT_TRUE(recorder.WaitFor(1));
    Recorder::Entry first = recorder.Entries()[0];
    EXPECT_TRUE(first.read);
    EXPECT_TRUE(first.readable);
    EXPECT_FALSE(first.except);
    EXPECT_FALSE(first.idle);
    EXPECT_NE(first.thread, Core::Thread::GetID());
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetCount(), 0u);
}

TEST(SelectEngine, UrgentDataGivesExceptWithoutReadable)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto notify = MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    unsigned int client = SocketOf(c.client.GetHandle());
    ASSERT_EQ(Platform::SendSocket(client, "!", 1, Platform::OutOfBandFlag()), 1);
    ASSERT_TRUE(recorder.WaitFor(1));
    Recorder::Entry first = recorder.Entries()[0];
    EXPECT_TRUE(first.except);
    EXPECT_FALSE(first.readable);
    notify->UnInit(1000);
}

TEST(SelectEngine, WidenedAttachReportsBothHandleKinds)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    Core::CallBack both;
    auto engine = MakeEngine();
    Sched::Notify::Param param;
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), param));
    // The second attach widens the mask and keeps the first callback.
    ASSERT_TRUE(engine->Attach(WriteHandle(c.server), recorder.Writes(), param));
    EXPECT_EQ(engine->GetSocketCount(), 1u);
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(recorder.WaitFor(1));
    for (auto const& entry : recorder.Entries())
        EXPECT_TRUE(entry.read); // the first callback takes ReadHandles only
    EXPECT_TRUE(engine->Detach(c.server));
    engine->UnInit(1000);
}

TEST(SelectEngine, PauseStopsReportsAndResumeWakesTheThread)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto notify = MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(notify->Pause(c.server));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    EXPECT_TRUE(Quiet(recorder, 0));
    // The thread sits in a 10-second wait; only the wake-up brings the
    // socket back in time.
    std::uint64_t start = Platform::MonotonicMs();
    ASSERT_TRUE(notify->Resume(c.server));
    ASSERT_TRUE(recorder.WaitFor(1, 3000));
    EXPECT_LT(Platform::MonotonicMs() - start, 3000u);
    notify->UnInit(1000);
}

TEST(SelectEngine, MisusedPauseResumeAndDetachAreReported)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto engine = MakeEngine();
    unsigned int s = SocketOf(c.server);
    std::string n = std::to_string(s);
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Pause(c.server));
    EXPECT_FALSE(engine->Resume(c.server));
    EXPECT_FALSE(engine->Detach(c.server));
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), Sched::Notify::Param()));
    EXPECT_TRUE(engine->Pause(c.server));
    EXPECT_FALSE(engine->Pause(c.server));
    EXPECT_TRUE(engine->Resume(c.server));
    EXPECT_FALSE(engine->Resume(c.server));
    EXPECT_TRUE(engine->Detach(c.server));
    IoHandle empty;
    EXPECT_FALSE(engine->Pause(empty));
    EXPECT_FALSE(engine->Resume(empty));
    EXPECT_FALSE(engine->Detach(empty));
    EXPECT_FALSE(engine->Attach(ReadHandle(empty), recorder.Reads(), Sched::Notify::Param()));
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Pause handle " + n + " is not in selecting list");
    EXPECT_EQ(lines[1], "Resume handle " + n + " is not in pausing list");
    EXPECT_EQ(lines[2], "Detach handle " + n + " neither in selecting list nor in pausing list");
    EXPECT_EQ(lines[3], "Pause handle " + n + " is not in selecting list");
    EXPECT_EQ(lines[4], "Resume handle " + n + " is not in pausing list");
    EXPECT_EQ(lines[5], "Pause an invalid handle");
    EXPECT_EQ(lines[6], "Resume an invalid handle");
    EXPECT_EQ(lines[7], "Detach an invalid handle");
    EXPECT_TRUE(std::regex_match(lines[8], std::regex("Attach handle 4294967295 error at step 1, error code \\d+")))
        << lines[8];
    engine->UnInit(1000);
}

TEST(SelectEngine, FullEngineRefusesAtStepTwo)
{
    std::vector<VorTest::BoundUdp> sockets(64);
    Recorder recorder;
    auto engine = MakeEngine();
    for (unsigned int i = 0; i < 63; ++i)
        ASSERT_TRUE(engine->Attach(ReadHandle(sockets[i].device.GetHandle()), recorder.Reads(), Sched::Notify::Param()));
    EXPECT_TRUE(engine->IsFull());
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Attach(ReadHandle(sockets[63].device.GetHandle()), recorder.Reads(), Sched::Notify::Param()));
    capture.Stop();
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(capture.Lines()[0],
                                 std::regex("Attach handle " + std::to_string(SocketOf(sockets[63].device.GetHandle())) +
                                            " error at step 2, error code \\d+")));
    EXPECT_EQ(engine->GetSocketCount(), 63u);
    engine->UnInit(1000);
    EXPECT_EQ(engine->GetSocketCount(), 0u);
}

TEST(SelectEngine, UnInitWakesTheThreadInsteadOfWaitingOutItsWait)
{
    unsigned int before = VorTest::SettledThreadCount();
    auto engine = MakeEngine();
    ASSERT_TRUE(VorTest::WaitUntil([&] { return engine->GetState() == Engine::SELECTING; }));
    std::uint64_t start = Platform::MonotonicMs();
    EXPECT_TRUE(engine->UnInit(8000));
    EXPECT_LT(Platform::MonotonicMs() - start, 2000u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= before; }));
}

TEST(SelectEngine, UnInitFromItsOwnCallbackDoesNotWaitForItself)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeNotify();
    Recorder recorder;
    std::atomic<std::uint64_t> took{~0ull};
    recorder.then = [&](Io::IoBase&) {
        std::uint64_t start = Platform::MonotonicMs();
        notify->UnInit(5000);
        took = Platform::MonotonicMs() - start;
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return took.load() != ~0ull; }));
    EXPECT_LT(took.load(), 1000u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= before; }));
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST(SelectEngine, FailingWaitsBackOffInsteadOfFlooding)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto engine = MakeEngine();
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return engine->GetState() == Engine::SELECTING; }));
    VorTest::StderrCapture capture;
    Sched::Internal::g_FailSelects = 1000000;
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1)); // ends the current wait
    ASSERT_TRUE(VorTest::WaitUntil([&] { return capture.Lines().size() >= 3; }));
    VorTest::WaitUntil([] { return false; }, std::chrono::milliseconds(400));
    Sched::Internal::g_FailSelects = 0;
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    EXPECT_LE(lines.size(), 12u);
    for (auto const& line : lines)
        EXPECT_TRUE(std::regex_match(line, std::regex("Select error \\d+"))) << line;
    // The engine recovers and reports the waiting data.
    EXPECT_TRUE(recorder.WaitFor(1, 5000));
    engine->UnInit(1000);
}

TEST(SelectEngine, FailedWakeUpDoesNotCancelResume)
{
    HookValue wait(Sched::Internal::g_SelectTimeout, 200);
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto engine = MakeEngine();
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(engine->Pause(c.server));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return engine->GetState() == Engine::SELECTING; }));
    Sched::Internal::g_FailWakeUps = 1;
    EXPECT_TRUE(engine->Resume(c.server));
    Sched::Internal::g_FailWakeUps = 0;
    // Taken up when the current wait ends.
    EXPECT_TRUE(recorder.WaitFor(1, 3000));
    EXPECT_TRUE(engine->Detach(c.server));
    engine->UnInit(1000);
}

TEST(SelectEngine, SocketClosedWithoutDetachIsReportedOnceAndItsNumberNeverReachesIt)
{
    Recorder old;
    old.drain = false;
    auto notify = MakeNotify();
    TcpConnection first;
    ASSERT_TRUE(first.IsValid());
    ASSERT_TRUE(notify->Attach(ReadHandle(first.server), old.Reads()));
    unsigned int number = SocketOf(first.server);
    // A connection waiting to be accepted once the number is free.
    VorTest::SocketListener listener;
    Socket client;
    ASSERT_TRUE(client.Open(Socket::SOCKET_TCP, 2, 0));
    ASSERT_TRUE(client.Connect(Socket::Param(listener.address)));
    Core::Guard<Io::IoObject> object = first.server.GetObject();
    ASSERT_TRUE(object->Close()); // closed behind the engine's back
    // The close may show as end of stream first; then comes one exception
    // report, and nothing after it.
    auto excepts = [&] {
        unsigned int n = 0;
        for (auto const& entry : old.Entries())
            n += entry.except ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(VorTest::WaitUntil([&] { return excepts() == 1; }));
    unsigned int reports = old.Count();
    EXPECT_TRUE(Quiet(old, reports));
    EXPECT_TRUE(old.Entries().back().except);

    // The system hands the number out again; the old record must not see
    // the new socket's traffic.
    IoHandle reused = Socket::Accept(listener.device.GetReadHandle());
    ASSERT_TRUE(reused.IsValid());
    EXPECT_EQ(SocketOf(reused), number);
    Recorder fresh;
    ASSERT_TRUE(notify->Attach(ReadHandle(reused), fresh.Reads()));
    ASSERT_TRUE(client.GetHandle().Write("y", 1));
    ASSERT_TRUE(fresh.WaitFor(1));
    EXPECT_EQ(old.Count(), reports);
    // A closed socket still detaches.
    EXPECT_TRUE(notify->Detach(first.server));
    notify->UnInit(1000);
}

TEST(SelectEngine, ReportsPromptlyAcrossManyPauseResumeCycles)
{
    // Each round pauses on the selecting thread and resumes from here at an
    // arbitrary moment of the thread's cycle; a lost wake-up would leave a
    // round waiting for the 10-second wait.
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = MakeNotify();
    Recorder recorder;
    std::atomic<unsigned int> paused{0};
    recorder.then = [&](Io::IoBase& handle) {
        if (notify->Pause(handle))
            ++paused;
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    for (unsigned int round = 1; round <= 200; ++round) {
        ASSERT_TRUE(c.client.GetHandle().Write("r", 1));
        ASSERT_TRUE(VorTest::WaitUntil([&] { return paused.load() == round; }, std::chrono::milliseconds(3000)))
            << "round " << round;
        ASSERT_TRUE(notify->Resume(c.server));
    }
    notify->UnInit(1000);
}

TEST(SelectEngine, PingPongFromTheCallback)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = MakeNotify();
    Recorder recorder;
    recorder.echo = true;
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    for (unsigned int i = 0; i < 100; ++i) {
        ASSERT_TRUE(c.client.GetHandle().WriteUInt32(i));
        ASSERT_EQ(c.client.GetHandle().ReadUInt32(~0u), i);
    }
    notify->UnInit(1000);
}

TEST(SelectIdle, NoIdleTimeNeverComesRound)
{
    HookValue period(Sched::Internal::g_IdleCheckPeriod, 10000);
    int reports = 0;
    using Info = Sched::SocketTimeOut<unsigned int, Counting>::SocketInfo;
    Core::Guard<Info> never(new Info(Sched::Notify::Param::NO_IDLE, Counting{&reports}));
    never->DecRef();
    EXPECT_EQ(never->periods, 0u);
    for (unsigned int i = 0; i < 429497; ++i)
        Sched::SocketTimeOut<unsigned int, Counting>::Check(*never);
    EXPECT_EQ(reports, 0);

    // The longest real idle time still counts down.
    Core::Guard<Info> longest(new Info(0xFFFFFFFEu, Counting{&reports}));
    longest->DecRef();
    EXPECT_EQ(longest->periods, 429496u);
    for (unsigned int i = 0; i < 429496; ++i)
        Sched::SocketTimeOut<unsigned int, Counting>::Check(*longest);
    EXPECT_EQ(reports, 1);
}

TEST(SelectIdle, CountsPeriodsAndRestartsOnActivity)
{
    HookValue period(Sched::Internal::g_IdleCheckPeriod, 10000);
    int reports = 0;
    using Check = Sched::SocketTimeOut<unsigned int, Counting>;
    Core::Guard<Check::SocketInfo> info(new Check::SocketInfo(60000, Counting{&reports}));
    info->DecRef();
    EXPECT_EQ(info->periods, 6u);
    ++info->activity; // the attach
    for (int i = 0; i < 6; ++i)
        Check::Check(*info);
    EXPECT_EQ(reports, 0);
    Check::Check(*info); // the seventh check
    EXPECT_EQ(reports, 1);
    for (int i = 0; i < 6; ++i)
        Check::Check(*info);
    EXPECT_EQ(reports, 2);
    ++info->activity;
    for (int i = 0; i < 6; ++i)
        Check::Check(*info);
    EXPECT_EQ(reports, 2);
    Core::Guard<Check::SocketInfo> shortIdle(new Check::SocketInfo(5000, Counting{&reports}));
    shortIdle->DecRef();
    EXPECT_EQ(shortIdle->periods, 0u);
}

TEST(SelectIdle, ReportsOnlyWatchedSockets)
{
    ASSERT_EQ(Engine::GetEngineCount(), 0u); // the checker starts afresh with the period below
    HookValue period(Sched::Internal::g_IdleCheckPeriod, 40);
    TcpConnection watched, paused, detached;
    ASSERT_TRUE(watched.IsValid() && paused.IsValid() && detached.IsValid());
    auto notify = MakeNotify(80); // two periods
    Recorder onWatched, onPaused, onDetached;
    ASSERT_TRUE(notify->Attach(ReadHandle(watched.server), onWatched.Reads()));
    ASSERT_TRUE(notify->Attach(ReadHandle(paused.server), onPaused.Reads()));
    ASSERT_TRUE(notify->Attach(ReadHandle(detached.server), onDetached.Reads()));
    ASSERT_TRUE(notify->Pause(paused.server));
    ASSERT_TRUE(notify->Detach(detached.server));
    ASSERT_TRUE(onWatched.WaitFor(2, 5000));
    Recorder::Entry idle = onWatched.Entries()[0];
    EXPECT_TRUE(idle.idle);
    EXPECT_FALSE(idle.readable);
    EXPECT_EQ(onPaused.Count(), 0u);
    EXPECT_EQ(onDetached.Count(), 0u);
    // Resume re-arms the count: the paused socket is reported later.
    ASSERT_TRUE(notify->Resume(paused.server));
    EXPECT_TRUE(onPaused.WaitFor(1, 5000));
    notify->UnInit(1000);
}

TEST(SelectIdle, RealCheckerReportsAfterTenSeconds)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = MakeNotify(10000);
    Recorder recorder;
    std::uint64_t start = Platform::MonotonicMs();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(recorder.WaitFor(1, 25000));
    std::uint64_t took = Platform::MonotonicMs() - start;
    EXPECT_TRUE(recorder.Entries()[0].idle);
    EXPECT_GE(took, 9500u);
    EXPECT_LE(took, 22500u);
    notify->UnInit(1000);
}

using Hold = VorTest::HoldHook;

TEST(SelectEngine, ResumeBetweenBuildingAndWaitingIsNotLost)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto engine = MakeEngine();
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(engine->Pause(c.server));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    Hold hold(Sched::Internal::g_BeforeWait);
    hold.Arm();
    TcpConnection other; // any attach ends the current wait and starts a new cycle
    Recorder ignored;
    ASSERT_TRUE(engine->Attach(ReadHandle(other.server), ignored.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(hold.Holding()); // built without the paused socket, not yet waiting
    ASSERT_TRUE(engine->Resume(c.server));
    hold.Release();
    // Without a wake-up the thread would wait 10 seconds before taking the
    // socket up.
    EXPECT_TRUE(recorder.WaitFor(1, 3000));
    engine->UnInit(1000);
}

TEST(SelectIdle, RecordDetachedDuringACheckIsNotReported)
{
    ASSERT_EQ(Engine::GetEngineCount(), 0u);
    HookValue period(Sched::Internal::g_IdleCheckPeriod, 30);
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = MakeNotify(30); // reported at every check after the first
    Recorder recorder;
    Hold hold(Sched::Internal::g_BeforeIdleCheck);
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(recorder.WaitFor(1)); // idle reports arrive
    hold.Arm();
    ASSERT_TRUE(hold.Holding()); // the checker holds a copy with the record
    ASSERT_TRUE(notify->Detach(c.server));
    unsigned int reports = recorder.Count();
    hold.Release();
    EXPECT_TRUE(Quiet(recorder, reports));
    notify->UnInit(1000);
}
