// What only the select engine has: 63 sockets per engine and a thread per
// engine, its wake-up, and the process-wide idle checker. The contract both
// engines keep is in readiness_test.cpp.
#include <vor/sched/select.h>

#include "platform/clock.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace Vor;
using Io::ReadHandle;
using Io::WriteHandle;
using Sched::SelectNotify;
using VorTest::Recorder;
using VorTest::WaitUntil;

namespace {

unsigned int Engines() { return SelectNotify::GetEngineCount(); }

unsigned int StepLines(std::vector<std::string> const& lines, char const* step)
{
    unsigned int n = 0;
    for (auto const& line : lines)
        n += std::regex_match(line, std::regex(std::string("Attach handle \\d+ error at step ") + step +
                                                ", error code \\d+"));
    return n;
}

// Counts idle reports.
struct Counting {
    int* count;
    template <class Info>
    void operator()(Info&) const { ++*count; }
};
using Check = Sched::SocketTimeOut<unsigned int, Counting>;

Core::Guard<Check::SocketInfo> IdleRecord(unsigned int idleTime, int* reports)
{
    return Core::New<Check::SocketInfo>(idleTime, Counting{reports});
}

} // namespace

TEST(SelectEngine, SixtyFourthSocketStartsASecondEngineAndItsThread)
{
    unsigned int threads = VorTest::SettledThreadCount();
    std::vector<VorTest::BoundUdp> sockets(64);
    Recorder recorder;
    auto notify = VorTest::MakeNotifyOf<VorTest::ProbeNotify>();
    for (unsigned int i = 0; i < 63; ++i)
        ASSERT_TRUE(notify->Attach(ReadHandle(sockets[i].device.GetHandle()), recorder.Reads()));
    Sched::VOR_NATIVE(Select)* first = notify->EngineOf(sockets[0].device.GetHandle());
    EXPECT_TRUE(first->IsFull());
    EXPECT_EQ(Engines(), 1u);
    // The selecting thread and the idle checker.
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() == threads + 2; }));
    Io::IoHandle& last = sockets[63].device.GetHandle();
    VorTest::StderrCapture capture;
    ASSERT_TRUE(notify->Attach(ReadHandle(last), recorder.Reads()));
    capture.Stop();
    EXPECT_EQ(StepLines(capture.Lines(), "2"), 1u); // the full engine refused first
    EXPECT_EQ(Engines(), 2u);
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() == threads + 3; }));
    Sched::VOR_NATIVE(Select)* second = notify->EngineOf(last);
    ASSERT_NE(first, second);
    // With room in the first engine again, a second attach of an object
    // still goes to the engine that holds it.
    ASSERT_TRUE(notify->Detach(sockets[0].device.GetHandle()));
    EXPECT_FALSE(notify->Attach(WriteHandle(last), recorder.Writes()));
    EXPECT_EQ(first->GetSocketCount(), 62u);
    EXPECT_EQ(second->GetSocketCount(), 1u);
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(Engines(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TEST(SelectEngine, RefusalForAnotherReasonMakesNoNewEngine)
{
    VorTest::TcpConnection a, b;
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    Recorder recorder;
    auto notify = VorTest::MakeNotifyOf<SelectNotify>();
    ASSERT_TRUE(notify->Attach(ReadHandle(a.server), recorder.Reads()));
    // Held just before its wait: SELECTING, with no wake-up pending.
    VorTest::HoldHook hold(Sched::Internal::g_BeforeWait);
    hold.Arm();
    ASSERT_TRUE(a.client.GetHandle().Write("a", 1)); // ends the current wait
    ASSERT_TRUE(hold.Holding());
    VorTest::StderrCapture capture;
    Sched::Internal::g_FailWakeUps = 1; // the engine has room but cannot wake its thread
    EXPECT_FALSE(notify->Attach(ReadHandle(b.server), recorder.Reads()));
    Sched::Internal::g_FailWakeUps = 0;
    capture.Stop();
    hold.Release();
    EXPECT_EQ(Engines(), 1u);
    ASSERT_EQ(capture.Lines().size(), 2u);
    EXPECT_EQ(StepLines(capture.Lines(), "7"), 1u);
    EXPECT_EQ(capture.Lines()[1], "Can not get valid notify");
    EXPECT_EQ(notify->GetCount(), 1u);
    notify->UnInit(1000);
}

TEST(SelectEngine, FailedWakeUpDoesNotCancelResume)
{
    VorTest::Tune wait(Sched::Internal::g_SelectTimeout, 200);
    VorTest::TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto notify = VorTest::MakeNotifyOf<SelectNotify>();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(notify->Pause(c.server));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    VorTest::HoldHook hold(Sched::Internal::g_BeforeWait);
    hold.Arm();
    ASSERT_TRUE(hold.Holding()); // SELECTING: a resume needs the wake-up
    Sched::Internal::g_FailWakeUps = 1;
    EXPECT_TRUE(notify->Resume(c.server));
    Sched::Internal::g_FailWakeUps = 0;
    hold.Release();
    EXPECT_TRUE(recorder.WaitFor(1, 3000)); // taken up when the wait ends
    notify->UnInit(1000);
}

// A resume that read the socket just before another thread closed it moves
// the record back all the same: the wait that the close ended, which found
// the record paused, leaves it to be reported closed by the next wait.
namespace {
std::atomic<unsigned int> g_Waits{0};
std::atomic<int> g_Move{0}; // 1 holding, 2 released
void CountWait() { ++g_Waits; }
void HoldMove()
{
    g_Move = 1;
    WaitUntil([] { return g_Move.load() == 2; });
}
} // namespace

TEST(SelectEngine, SocketClosedUnderAResumeIsReportedOnceResumed)
{
    VorTest::Tune wait(Sched::Internal::g_SelectTimeout, 200);
    VorTest::TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto notify = VorTest::MakeNotifyOf<SelectNotify>();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    bool resumed = false;
    std::thread resumer;
    {
        VorTest::HoldHook hold(Sched::Internal::g_BeforeWait);
        hold.Arm();
        ASSERT_TRUE(hold.Holding()); // a wait built with the socket, not yet waiting
        ASSERT_TRUE(notify->Pause(c.server)); // no wake-up: the wait keeps it
        g_Move = 0;
        Sched::Internal::g_BeforeMove = &HoldMove;
        resumer = std::thread([&] { resumed = notify->Resume(c.server); });
        EXPECT_TRUE(WaitUntil([] { return g_Move.load() == 1; })); // the socket read, the record not yet
        // The wait holds the socket, so the close shuts it down: the wait
        // sees it closed at once.
        EXPECT_TRUE(c.server.GetObject()->Close());
        g_Waits = 0;
    }
    Sched::Internal::g_BeforeWait = &CountWait;
    EXPECT_TRUE(WaitUntil([] { return g_Waits.load() > 0; })); // that wait's reports are done
    g_Move = 2;
    resumer.join();
    Sched::Internal::g_BeforeMove = nullptr;
    EXPECT_TRUE(resumed);
    EXPECT_TRUE(WaitUntil([&] { return recorder.Count([](Recorder::Entry const& e) { return e.except; }) == 1; },
                          std::chrono::milliseconds(3000)));
    Sched::Internal::g_BeforeWait = nullptr;
    notify->UnInit(1000);
}

TEST(SelectIdle, CountsWholePeriodsAndRestartsOnActivity)
{
    EXPECT_EQ(Sched::IdleCheckPeriod(), 10000u); // untuned
    VorTest::Tune period(Sched::Internal::g_IdleCheckPeriod, 10000);
    int reports = 0;
    auto info = IdleRecord(60000, &reports);
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
    EXPECT_EQ(IdleRecord(5000, &reports)->periods, 0u);
    // No idle time never comes round; the longest real one still does.
    auto never = IdleRecord(Sched::Notify::Param::NO_IDLE, &reports);
    auto longest = IdleRecord(0xFFFFFFFEu, &reports);
    EXPECT_EQ(longest->periods, 429496u);
    for (unsigned int i = 0; i < 429497; ++i) {
        Check::Check(*never);
        Check::Check(*longest);
    }
    EXPECT_EQ(reports, 3);
}
