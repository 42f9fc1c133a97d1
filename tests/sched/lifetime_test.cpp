// Sockets closing, detaching and idling while the engines run, typed over
// both engines: what the engines do with a socket's number must never reach
// another socket, and application code behind idle reports must never hold
// up the engine's own thread.
#include <vor/io/socket.h>

#include "platform/socket.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace Vor;
using Io::ReadHandle;
using VorTest::Recorder;
using VorTest::TcpConnection;
using VorTest::WaitUntil;
using Ms = std::chrono::milliseconds;

namespace {

template <class Kind>
class Lifetime : public ::testing::Test {
protected:
    using N = typename Kind::Notify;
    void TearDown() override
    {
        if (notify.IsValid())
            notify->UnInit(1000);
    }
    N& Make(unsigned int idle = Sched::Notify::Param::NO_IDLE)
    {
        notify = VorTest::MakeNotifyOf<N>(idle);
        return *notify;
    }
    static auto Readable()
    {
        return [](Recorder::Entry const& e) { return e.readable; };
    }

    // Declared first, destroyed last: no report outlives what it reaches.
    Recorder recorder, fresh;
    Core::Guard<N> notify;
};

using Kinds = VorTest::EngineKinds;
TYPED_TEST_SUITE(Lifetime, Kinds, VorTest::EngineName);

} // namespace

// The application closes a socket while the group detaches it and another
// socket is attached at once: the system gives the closed number to the
// next socket, so an engine call still holding the old number (a removal,
// a re-arm) would silence the new socket.
TYPED_TEST(Lifetime, CloseRacingADetachNeverSilencesTheNextSocket)
{
    auto& notify = this->Make();
    constexpr unsigned int ROUNDS = 400;
    for (unsigned int round = 0; round < ROUNDS; ++round) {
        auto victim = std::make_unique<TcpConnection>();
        ASSERT_TRUE(victim->IsValid());
        ASSERT_TRUE(notify.Attach(ReadHandle(victim->server), this->recorder.Reads()));
        std::atomic<int> go{0};
        Io::IoHandle application = victim->server; // each thread its own handle
        std::thread closer([&] {
            ++go;
            while (go.load() < 2)
                std::this_thread::yield();
            application.Close();
        });
        ++go;
        while (go.load() < 2)
            std::this_thread::yield();
        notify.Detach(victim->server);
        TcpConnection next;
        ASSERT_TRUE(next.IsValid());
        ASSERT_TRUE(notify.Attach(ReadHandle(next.server), this->fresh.Reads()));
        closer.join();
        unsigned int before = this->fresh.Count(this->Readable());
        ASSERT_TRUE(next.client.GetHandle().Write("x", 1));
        ASSERT_TRUE(WaitUntil([&] { return this->fresh.Count(this->Readable()) > before; }, Ms(5000)))
            << "round " << round << ": the new socket was never reported";
        ASSERT_TRUE(notify.Detach(next.server));
    }
}

// A report of idleness is only that: readiness left on the object from an
// earlier report would have the receiver read (or accept) on the idle
// checker's thread, beside the task that reads it.
TYPED_TEST(Lifetime, IdleReportCarriesNoLeftoverReadiness)
{
    VorTest::Tune period(Sched::Internal::g_IdleCheckPeriod, 40);
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto& notify = this->Make(40);
    VorTest::HoldHook hold(Sched::Internal::g_BeforeIdleCheck);
    ASSERT_TRUE(notify.Attach(ReadHandle(c.server), this->recorder.Reads()));
    hold.Arm();
    ASSERT_TRUE(hold.Holding());
    c.server.SetAttrib(Io::IoParam::READABLE, true);
    hold.Release();
    ASSERT_TRUE(WaitUntil([&] { return this->recorder.Count([](Recorder::Entry const& e) { return e.idle; }) > 0; }));
    for (auto const& entry : this->recorder.Entries())
        EXPECT_FALSE(entry.idle && (entry.readable || entry.except)) << "an idle report with readiness";
}

// An OnIdle that blocks (writing to a peer that stopped reading, say) holds
// up idle reports only: the engine's thread goes on reporting traffic.
TYPED_TEST(Lifetime, BlockedIdleReportDoesNotHoldUpTraffic)
{
    VorTest::Tune period(Sched::Internal::g_IdleCheckPeriod, 40);
    TcpConnection sleepy, busy;
    ASSERT_TRUE(sleepy.IsValid() && busy.IsValid());
    auto& notify = this->Make(40);
    auto blocked = std::make_shared<std::atomic<int>>(0); // 1 in OnIdle, 2 left it
    auto release = std::make_shared<std::atomic<bool>>(false);
    this->recorder.then = [blocked, release](Io::IoBase& handle) {
        int none = 0;
        if (handle.GetAttrib(Io::IoParam::IDLE) && blocked->compare_exchange_strong(none, 1)) {
            WaitUntil([&] { return release->load(); }, Ms(10000));
            *blocked = 2;
        }
    };
    ASSERT_TRUE(notify.Attach(ReadHandle(sleepy.server), this->recorder.Reads()));
    ASSERT_TRUE(WaitUntil([&] { return blocked->load() == 1; }));
    ASSERT_TRUE(notify.Attach(ReadHandle(busy.server), this->fresh.Reads()));
    ASSERT_TRUE(busy.client.GetHandle().Write("x", 1));
    bool answered = WaitUntil([&] { return this->fresh.Count(this->Readable()) > 0; }, Ms(1000));
    *release = true;
    EXPECT_TRUE(WaitUntil([&] { return blocked->load() == 2; }));
    EXPECT_TRUE(answered) << "traffic waited for an idle report";
}

// The epoll engine's own deferred steps; epoll is Linux's.
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
#endif // VOR_TEST_HAVE_EPOLL
