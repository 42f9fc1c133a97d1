// The epoll engine's own deferred steps: a socket paused in its report is
// disarmed only at its next report, and what is resumed, read or closed
// meanwhile must never reach a stale report or another socket. The cases both
// engines share are in readiness_test.cpp; epoll is Linux's.
#include <vor/io/socket.h>
#include <vor/sched/scheduler.h>

#include "platform/clock.h"
#include "platform/socket.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace Vor;
using Io::ReadHandle;
using VorTest::Recorder;
using VorTest::TcpConnection;
using VorTest::WaitUntil;

#if VOR_TEST_HAVE_EPOLL
namespace {
// Counts the epoll engine's waits, so that a test can see the engine go round
// (and see it spin).
std::atomic<unsigned int> g_Waits{0};
void CountWait() { ++g_Waits; }

struct CountingWaits {
    CountingWaits() { Sched::Internal::g_BeforeWait = &CountWait; }
    ~CountingWaits() { Sched::Internal::g_BeforeWait = nullptr; }
};

// A connection on the engine whose socket its callback pauses (and, if told,
// closes) with the byte unread: a report that leaves it level-triggered and
// ready, so the disarm waits for the next report.
struct PausedInItsReport {
    explicit PausedInItsReport(Core::Guard<Sched::EpollNotify> const& n, bool close = false) : notify(n)
    {
        recorder.drain = false;
        recorder.then = [this, close](Io::IoBase& handle) {
            paused = notify->Pause(handle);
            if (close)
                handle.GetObject()->Close();
        };
    }
    bool Start()
    {
        return c.IsValid() && other.IsValid() && notify->Attach(ReadHandle(other.server), otherReports.Reads()) &&
               notify->Attach(ReadHandle(c.server), recorder.Reads()) && c.client.GetHandle().Write("x", 1) &&
               WaitUntil([&] { return paused.load(); });
    }
    // A report of the other connection: the engine has handled every wait
    // before it, the one that saw the paused socket ready again among them.
    bool GoRound()
    {
        unsigned int seen = otherReports.Count();
        return other.client.GetHandle().Write("y", 1) && otherReports.WaitFor(seen + 1);
    }

    Core::Guard<Sched::EpollNotify> notify;
    Recorder recorder, otherReports;
    TcpConnection c, other;
    std::atomic<bool> paused{false};
};
} // namespace

TEST(EpollEngine, ResumeThatCannotArmTheSocketFails)
{
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(p.GoRound()) << "reported again while paused, and disarmed";
    VorTest::StderrCapture capture;
    Sched::Internal::g_FailArms = 1;
    EXPECT_FALSE(notify->Resume(p.c.server)) << "the socket is not watched";
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Resume an invalid handle"});
    notify->UnInit(1000);
}

TEST(EpollEngine, SocketPausedInItsReportIsDisarmedAtItsNextReportAndReportedAfterResume)
{
    CountingWaits waits;
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify);
    ASSERT_TRUE(p.Start());
    // Still ready and still registered: a registration left armed would be
    // reported at every wait, the engine spinning without a callback.
    ASSERT_TRUE(p.GoRound());
    unsigned int before = g_Waits.load();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(p.GoRound());
    EXPECT_LT(g_Waits.load() - before, 20u) << "the paused socket kept the engine going round";
    EXPECT_EQ(p.recorder.Count(), 1u) << "reported while paused";
    p.paused = false;
    ASSERT_TRUE(notify->Resume(p.c.server));
    EXPECT_TRUE(WaitUntil([&] { return p.paused.load(); })) << "the unread byte is reported after the resume";
    EXPECT_EQ(p.recorder.Count(), 2u);
    notify->UnInit(1000);
}

namespace {
// While set, holds the engine before its next wait, as a busy processor
// may, so that what the test does meanwhile comes before that wait.
std::atomic<bool> g_bHold{false};
std::atomic<bool> g_bHeld{false};
void HoldBeforeWait()
{
    if (!g_bHold.load())
        return;
    g_bHeld = true;
    WaitUntil([] { return !g_bHold.load(); });
    g_bHeld = false;
}
struct HoldingWaits {
    HoldingWaits() { Sched::Internal::g_BeforeWait = &HoldBeforeWait; }
    ~HoldingWaits()
    {
        g_bHold = false;
        Sched::Internal::g_BeforeWait = nullptr;
    }
};
} // namespace

// A resume from another thread (a pool worker's task) made before the
// engine's next wait arms the socket level-triggered: it stays armed through
// its next report and pause, and that resume needs no call.
TEST(EpollEngine, SocketResumedBeforeTheNextWaitStaysArmedThroughItsNextReportAndPause)
{
    HoldingWaits holding;
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(p.GoRound()) << "reported again while paused, and disarmed";
    char byte = 0;
    ASSERT_EQ(p.c.server.Read(&byte, 1), 1u);
    p.recorder.drain = true;
    // Each report: read in the report and paused, the engine held before
    // its next wait, and the socket resumed from this thread meanwhile.
    auto reportAndResume = [&](char const* data) {
        p.paused = false;
        g_bHold = true;
        return p.c.client.GetHandle().Write(data, 1) &&
               WaitUntil([&] { return p.paused.load() && g_bHeld.load(); }) && notify->Resume(p.c.server);
    };
    auto release = [&] {
        g_bHold = false;
        return WaitUntil([] { return !g_bHeld.load(); });
    };
    ASSERT_TRUE(notify->Resume(p.c.server));
    ASSERT_TRUE(reportAndResume("y")) << "armed again after the one-shot report";
    ASSERT_TRUE(release());
    Sched::Internal::g_FailArms = 1;
    bool resumed = reportAndResume("z");
    int left = Sched::Internal::g_FailArms.exchange(0);
    EXPECT_TRUE(resumed);
    EXPECT_EQ(left, 1) << "the resume armed the socket again";
    ASSERT_TRUE(release());
    ASSERT_TRUE(p.c.client.GetHandle().Write("w", 1));
    EXPECT_TRUE(p.recorder.WaitFor(4)) << "still watched";
    notify->UnInit(1000);
}

// A paused socket whose task is queued behind a busy pool: the waits that
// the pool's backlog paces find it ready and leave it armed, neither
// delivered nor disarmed, and the task's resume needs no call.
TEST(EpollEngine, WaitsPacedByTheBacklogLeaveAPausedSocketWhoseTaskIsQueuedArmed)
{
    CountingWaits waits;
    std::atomic<bool> gate{false}, held{false}, resumed{false};
    std::atomic<int> ran{0};
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify);
    Core::Guard<Sched::Scheduler> pool = Core::New<Sched::Scheduler, Sched::TpSched>();
    ASSERT_TRUE(pool->Init(Sched::Scheduler::Param(1)));
    // The socket's own task holds the worker, with another queued behind it,
    // then takes the byte and resumes the socket.
    ASSERT_TRUE(pool->Register(Core::Guard<Sched::Handler>::Adopt(new VorTest::BodyHandler([&] {
        if (!held.exchange(true)) {
            WaitUntil([&] { return gate.load(); }, std::chrono::milliseconds(20000));
            char byte = 0;
            if (p.c.server.Read(&byte, 1) == 1)
                resumed = notify->Resume(p.c.server);
        }
        ++ran;
    }))));
    p.recorder.then = [&](Io::IoBase& handle) {
        if (held.load())
            return;
        p.paused = notify->Pause(handle);
        pool->Run(1, {});
        pool->Run(1, {});
    };
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
    unsigned int before = g_Waits.load();
    std::uint64_t start = Platform::MonotonicMs();
    EXPECT_TRUE(WaitUntil([&] { return g_Waits.load() >= before + 5; })) << "the paced waits went round";
    EXPECT_GE(Platform::MonotonicMs() - start, 6u) << "paced by the backlog, not spinning";
    EXPECT_EQ(p.recorder.Count(), 1u) << "reported while paused";
    Sched::Internal::g_FailArms = 1;
    gate = true;
    EXPECT_TRUE(WaitUntil([&] { return ran.load() == 2; }));
    int left = Sched::Internal::g_FailArms.exchange(0);
    EXPECT_TRUE(resumed.load());
    EXPECT_EQ(left, 1) << "the resume armed the socket again";
    ASSERT_TRUE(p.c.client.GetHandle().Write("y", 1));
    EXPECT_TRUE(p.recorder.WaitFor(2)) << "still watched";
    // Stopped before the pool, the connection and the notify, which the
    // handler and the recorder's hook reach, go with this scope.
    notify->UnInit(1000);
    pool->UnInit(5000);
}

namespace {
// Once the socket is paused in its report: takes its byte and resumes it
// between the next wait's return and the engine's look at that wait, as a
// pool worker may.
PausedInItsReport* g_pTaker = nullptr;
std::atomic<bool> g_bTake{false};
void TakeAndResume()
{
    PausedInItsReport* p = g_pTaker;
    if (p == nullptr || !p->paused.load() || !g_bTake.exchange(false))
        return;
    char byte = 0;
    p->c.server.Read(&byte, 1);
    p->notify->Resume(p->c.server);
}
} // namespace

TEST(EpollEngine, ReportOfAWaitDuringWhichTheSocketWasResumedIsNotDelivered)
{
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify);
    g_pTaker = &p;
    g_bTake = true;
    Sched::Internal::g_AfterWait = &TakeAndResume;
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(WaitUntil([] { return !g_bTake.load(); }));
    ASSERT_TRUE(p.GoRound());
    // What that wait saw was taken before the engine looked: a report now
    // would send a task to read a socket with nothing in it.
    EXPECT_EQ(p.recorder.Count(), 1u);
    Sched::Internal::g_AfterWait = nullptr;
    g_pTaker = nullptr;
    ASSERT_TRUE(p.c.client.GetHandle().Write("z", 1));
    EXPECT_TRUE(p.recorder.WaitFor(2)) << "what comes after the resume is reported";
    notify->UnInit(1000);
}

TEST(EpollEngine, SocketClosedWhileItsDisarmIsDeferredNeverReachesTheNextSocketOnItsNumber)
{
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    PausedInItsReport p(notify, true);
    unsigned int number = Io::Socket::Param::GetHandle(p.c.server);
    VorTest::SocketListener listener;
    Io::Socket client;
    ASSERT_TRUE(client.Open(Io::Socket::SOCKET_TCP, 2, 0) && client.Connect(Io::Socket::Param(listener.address)));
    ASSERT_TRUE(p.Start());
    Platform::Ipv4Address name;
    ASSERT_TRUE(WaitUntil([&] { return !Platform::GetSocketName(number, &name); })) << "given back to the system";
    Io::IoHandle reused = Io::Socket::Accept(listener.device.GetReadHandle());
    ASSERT_EQ(Io::Socket::Param::GetHandle(reused), number);
    Recorder fresh;
    ASSERT_TRUE(notify->Attach(ReadHandle(reused), fresh.Reads()));
    ASSERT_TRUE(client.GetHandle().Write("y", 1));
    ASSERT_TRUE(fresh.WaitFor(1));
    // Neither a resume nor the detach of the old record touches the new one.
    {
        VorTest::StderrCapture capture;
        EXPECT_FALSE(notify->Resume(p.c.server)) << "closed";
    }
    EXPECT_TRUE(notify->Detach(p.c.server));
    ASSERT_TRUE(client.GetHandle().Write("z", 1));
    ASSERT_TRUE(fresh.WaitFor(2));
    EXPECT_EQ(p.recorder.Count(), 1u);
    notify->UnInit(1000);
}

namespace {
// Detaches one socket and attaches another, which takes the first one's
// place in the engine, between a wait's return and the engine's look at it.
struct SlotSwap {
    Core::Guard<Sched::EpollNotify> notify;
    Io::IoHandle detach, attach;
    Core::CallBack callback;
    std::atomic<bool> armed{false}, swapped{false};
};
SlotSwap* g_pSwap = nullptr;
void SwapSlot()
{
    SlotSwap* swap = g_pSwap;
    if (swap == nullptr || !swap->armed.exchange(false))
        return;
    swap->swapped = swap->notify->Detach(swap->detach) && swap->notify->Attach(ReadHandle(swap->attach), swap->callback);
}
} // namespace

TEST(EpollEngine, ReportOfASocketDetachedDuringTheWaitNeverReachesTheSocketAttachedInItsPlace)
{
    auto notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
    TcpConnection gone, taker, other;
    Recorder goneReports, takerReports, otherReports;
    ASSERT_TRUE(gone.IsValid() && taker.IsValid() && other.IsValid());
    ASSERT_TRUE(notify->Attach(ReadHandle(other.server), otherReports.Reads()) &&
                notify->Attach(ReadHandle(gone.server), goneReports.Reads()));
    // The engine has gone round since the attaches, and waits with nothing
    // ready.
    ASSERT_TRUE(other.client.GetHandle().Write("a", 1) && otherReports.WaitFor(1));
    SlotSwap swap;
    swap.notify = notify;
    swap.detach = gone.server;
    swap.attach = taker.server;
    swap.callback = takerReports.Reads();
    g_pSwap = &swap;
    Sched::Internal::g_AfterWait = &SwapSlot;
    swap.armed = true;
    ASSERT_TRUE(gone.client.GetHandle().Write("x", 1));
    EXPECT_TRUE(WaitUntil([&] { return swap.swapped.load(); }));
    ASSERT_TRUE(other.client.GetHandle().Write("b", 1) && otherReports.WaitFor(2));
    Sched::Internal::g_AfterWait = nullptr;
    g_pSwap = nullptr;
    EXPECT_EQ(goneReports.Count(), 0u) << "detached before the engine looked";
    EXPECT_EQ(takerReports.Count(), 0u) << "given the detached socket's report";
    ASSERT_TRUE(taker.client.GetHandle().Write("y", 1));
    EXPECT_TRUE(takerReports.WaitFor(1)) << "reported for its own bytes";
    notify->UnInit(1000);
}
#endif // VOR_TEST_HAVE_EPOLL
