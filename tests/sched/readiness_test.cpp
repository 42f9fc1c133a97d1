// The readiness contract, typed over both engines: everything the socket
// groups rely on holds for SelectNotify and EpollNotify alike, also while
// sockets close, detach and idle under them.
#include <vor/core/thread.h>
#include <vor/io/memory.h>
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

#include <memory>
#include <regex>
#include <thread>

using namespace Vor;
using Io::IoHandle;
using Io::ReadHandle;
using Io::Socket;
using Io::WriteHandle;
using VorTest::Recorder;
using VorTest::TcpConnection;
using VorTest::WaitUntil;
using Ms = std::chrono::milliseconds;

namespace {

unsigned int SocketOf(Io::IoBase const& handle) { return Socket::Param::GetHandle(handle); }
bool Readable(Recorder::Entry const& e) { return e.readable; }

template <class Kind>
class Readiness : public ::testing::Test {
protected:
    using N = typename Kind::Notify;
    void SetUp() override { ASSERT_TRUE(c.IsValid()); }
    void TearDown() override
    {
        if (notify.IsValid())
            notify->UnInit(1000);
    }
    // Makes `notify` (a new one) with the idle time.
    N& Make(unsigned int idle = Sched::Notify::Param::NO_IDLE)
    {
        notify = VorTest::MakeNotifyOf<N>(idle);
        return *notify;
    }
    static Core::Guard<typename Kind::Engine> MakeEngine()
    {
        Core::Guard<typename Kind::Engine> counted = Core::New<typename Kind::Engine>();
        EXPECT_TRUE(counted->Init());
        return counted;
    }
    // The recorder's callback pauses its socket (counting) while `pausing`.
    void PauseFromCallback()
    {
        recorder.then = [this](Io::IoBase& handle) {
            if (pausing.load() && notify->Pause(handle))
                ++paused;
        };
    }
    bool Paused(unsigned int n, unsigned int ms = 5000)
    {
        return WaitUntil([&] { return paused.load() >= n; }, Ms(ms));
    }
    static bool Write(TcpConnection& to) { return to.client.GetHandle().Write("x", 1); }

    // Declared first, destroyed last: no report outlives what it reaches.
    Recorder recorder, other[3];
    TcpConnection c;
    Core::Guard<N> notify;
    std::atomic<bool> pausing{true};
    std::atomic<unsigned int> paused{0};
};

using Kinds = VorTest::EngineKinds;
TYPED_TEST_SUITE(Readiness, Kinds, VorTest::EngineName);

} // namespace

TYPED_TEST(Readiness, ReportsEachConditionOnTheEngineThreadWithItsAttributes)
{
    enum How { DATA, WRITABLE, URGENT };
    this->recorder.drain = false;
    this->PauseFromCallback();
    for (How how : {DATA, WRITABLE, URGENT}) {
        TcpConnection c;
        ASSERT_TRUE(c.IsValid());
        auto& notify = this->Make();
        if (how == WRITABLE)
            ASSERT_TRUE(notify.Attach(WriteHandle(c.server), this->recorder.Writes()));
        else
            ASSERT_TRUE(notify.Attach(ReadHandle(c.server), this->recorder.Reads()));
        if (how == DATA)
            ASSERT_TRUE(this->Write(c));
        if (how == URGENT)
            ASSERT_EQ(Platform::SendSocket(SocketOf(c.client.GetHandle()), "!", 1, Platform::OutOfBandFlag()), 1);
        ASSERT_TRUE(this->Paused(how + 1)) << how;
        Recorder::Entry last = this->recorder.Entries().back();
        EXPECT_EQ(last.read, how != WRITABLE) << how;
        // An attach manages the attributes of the directions it watches.
        EXPECT_EQ(how == WRITABLE ? last.writable : last.readable, how != URGENT) << how;
        EXPECT_EQ(last.except, how == URGENT) << how;
        EXPECT_FALSE(last.idle);
        EXPECT_NE(last.thread, Core::Thread::GetID());
        notify.UnInit(1000);
    }
}

TYPED_TEST(Readiness, SecondAttachWidensTheMaskAndKeepsTheFirstCallback)
{
    Recorder writes;
    auto& notify = this->Make();
    this->PauseFromCallback();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    // Recorded once; the engine widens what it watches.
    EXPECT_FALSE(notify.Attach(WriteHandle(this->c.server), writes.Writes()));
    EXPECT_EQ(notify.GetCount(), 1u);
    // Writable at once: reported through the first callback, which takes
    // ReadHandles only.
    ASSERT_TRUE(this->Paused(1));
    EXPECT_TRUE(this->recorder.Entries()[0].read && this->recorder.Entries()[0].writable &&
                !this->recorder.Entries()[0].readable);
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(notify.Resume(this->c.server));
    ASSERT_TRUE(this->Paused(2));
    EXPECT_TRUE(this->recorder.Entries()[1].readable && this->recorder.Entries()[1].writable);
    EXPECT_EQ(writes.Count(), 0u);
}

// A pause from inside a report reaches the socket's record only through
// the notify that attached it; and a socket detached and attached again
// within its report is paused in its new record, and reported again only
// after its resume.
TYPED_TEST(Readiness, PauseInsideAReportReachesOnlyTheRecordAttachedNow)
{
    auto& notify = this->Make();
    // Shared with the callback, which may run once more after the body.
    struct State {
        Core::Guard<typename TypeParam::Notify> stranger = VorTest::MakeNotifyOf<typename TypeParam::Notify>();
        std::atomic<int> strangerPaused{-1}, repaused{-1};
    };
    auto state = std::make_shared<State>();
    this->recorder.then = [this, state, &notify](Io::IoBase& handle) {
        if (state->strangerPaused.load() >= 0)
            return;
        VorTest::StderrCapture quiet; // the stranger never heard of it
        state->strangerPaused = state->stranger->Pause(handle);
        notify.Detach(handle);
        notify.Attach(ReadHandle(this->c.server), this->recorder.Reads());
        state->repaused = notify.Pause(handle);
    };
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(this->recorder.WaitFor(1));
    ASSERT_TRUE(WaitUntil([&] { return state->repaused.load() >= 0; }));
    EXPECT_EQ(state->strangerPaused.load(), 0);
    EXPECT_EQ(state->repaused.load(), 1);
    ASSERT_TRUE(this->Write(this->c));
    EXPECT_TRUE(this->recorder.Quiet(1));
    ASSERT_TRUE(notify.Resume(this->c.server));
    EXPECT_TRUE(this->recorder.WaitFor(2));
    state->stranger->UnInit(1000);
}

// Inside its report a socket is detached and attached again, paused in its
// new record, watched for writability and resumed: the resume reaches the
// new record, whose writability is then reported.
TYPED_TEST(Readiness, ResumeInsideAReportReachesTheRecordAttachedNow)
{
    auto& notify = this->Make();
    struct State {
        std::atomic<int> step{0};
        std::atomic<bool> done{false}, paused{false}, watched{false}, resumed{false};
    };
    auto state = std::make_shared<State>();
    this->recorder.then = [this, state, &notify](Io::IoBase& handle) {
        if (state->step++ != 0)
            return;
        notify.Detach(handle);
        notify.Attach(ReadHandle(this->c.server), this->recorder.Reads());
        state->paused = notify.Pause(handle);
        state->watched = notify.WatchWrite(handle, true);
        state->resumed = notify.Resume(handle);
        state->done = true;
    };
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(WaitUntil([&] { return state->done.load(); }));
    EXPECT_TRUE(state->paused && state->watched && state->resumed);
    ASSERT_TRUE(this->recorder.WaitFor(2));
    EXPECT_TRUE(this->recorder.Entries()[1].writable);
}

// A socket paused in its report is resumed by another thread while that
// report still runs (a pool worker that was quick): it is reported again,
// as after any resume.
TYPED_TEST(Readiness, ResumeFromAnotherThreadWhileThePausingReportRuns)
{
    auto& notify = this->Make();
    this->recorder.drain = false; // the byte stays unread: ready again and again
    struct State {
        std::atomic<int> step{0};
        std::atomic<bool> paused{false}, resumed{false};
    };
    auto state = std::make_shared<State>();
    this->recorder.then = [state, &notify](Io::IoBase& handle) {
        int step = state->step++;
        if (step == 0) {
            state->paused = notify.Pause(handle);
            std::thread([&] { state->resumed = notify.Resume(handle); }).join();
        } else if (step == 1) {
            notify.Pause(handle); // quiet from here on
        }
    };
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(this->recorder.WaitFor(2));
    EXPECT_TRUE(state->paused && state->resumed);
}

TYPED_TEST(Readiness, ReadySocketIsReportedUntilPausedAndAgainAfterEachResume)
{
    Recorder& recorder = this->recorder;
    recorder.drain = false; // the byte stays unread
    this->pausing = false;
    this->PauseFromCallback();
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), recorder.Reads()));
    // Paused before the data comes: nothing until Resume.
    ASSERT_TRUE(notify.Pause(this->c.server));
    ASSERT_TRUE(this->Write(this->c));
    EXPECT_TRUE(recorder.Quiet(0));
    ASSERT_TRUE(notify.Resume(this->c.server));
    // Still ready and not paused: reported again and again.
    ASSERT_TRUE(recorder.WaitFor(3, 3000));
    this->pausing = true;
    ASSERT_TRUE(this->Paused(1));
    EXPECT_TRUE(recorder.Quiet(recorder.Count()));
    // Paused on the engine's thread and resumed from here at any moment of
    // its cycle: a lost wake-up or re-arm would leave a round waiting.
    for (unsigned int round = 2; round <= 100; ++round) {
        ASSERT_TRUE(notify.Resume(this->c.server));
        ASSERT_TRUE(this->Paused(round, 3000)) << "round " << round;
    }
    EXPECT_TRUE(recorder.Entries().back().readable);
}

TYPED_TEST(Readiness, ResumeBetweenBuildingAndStartingAWaitIsNotLost)
{
    TcpConnection other;
    Recorder ignored;
    this->recorder.drain = false;
    auto engine = this->MakeEngine();
    ASSERT_TRUE(engine->Attach(ReadHandle(this->c.server), this->recorder.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(engine->Pause(this->c.server));
    ASSERT_TRUE(this->Write(this->c));
    VorTest::HoldHook hold(Sched::Internal::g_BeforeWait);
    hold.Arm();
    // Any report ends the current wait and starts a new cycle.
    ASSERT_TRUE(engine->Attach(ReadHandle(other.server), ignored.Reads(), Sched::Notify::Param()));
    ASSERT_TRUE(this->Write(other));
    ASSERT_TRUE(hold.Holding()); // built without the paused socket, not yet waiting
    ASSERT_TRUE(engine->Resume(this->c.server));
    hold.Release();
    EXPECT_TRUE(this->recorder.WaitFor(1, 3000)); // not after the 10-second wait
    engine->UnInit(1000);
}

TYPED_TEST(Readiness, MisuseIsReportedByTheEngineAndTheNotifySaysOnlyThatNoEngineTakesAHandle)
{
    using N = typename TypeParam::Notify;
    IoHandle& s = this->c.server;
    IoHandle empty;
    Io::Memory memory;
    ASSERT_TRUE(memory.Open(Io::Memory::MEM_SEQUENTIAL, 16));
    Core::Guard<N> fresh = Core::New<N>();
    EXPECT_FALSE(fresh->Attach(ReadHandle(s), this->recorder.Reads())); // not initialised
    auto& notify = this->Make();
    VorTest::StderrCapture quiet;
    EXPECT_FALSE(notify.Pause(s) || notify.Resume(s) || notify.Detach(s));
    // Refused up front: no engine is made for handles without a socket.
    EXPECT_FALSE(notify.Attach(ReadHandle(memory.GetHandle()), this->recorder.Reads()));
    EXPECT_FALSE(notify.Attach(ReadHandle(empty), this->recorder.Reads()));
    EXPECT_EQ(N::GetEngineCount(), 0u);
    EXPECT_TRUE(notify.UnInit(1000));
    EXPECT_FALSE(notify.Attach(ReadHandle(s), this->recorder.Reads()));
    EXPECT_EQ(N::GetEngineCount(), 0u);
    quiet.Stop();
    EXPECT_EQ(quiet.Lines(), std::vector<std::string>(2, "Can not get valid notify"));
    auto engine = this->MakeEngine();
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Pause(s) || engine->Resume(s) || engine->Detach(s));
    ASSERT_TRUE(engine->Attach(ReadHandle(s), this->recorder.Reads(), Sched::Notify::Param()));
    EXPECT_TRUE(engine->Pause(s) && !engine->Pause(s));
    EXPECT_TRUE(engine->Resume(s) && !engine->Resume(s));
    EXPECT_TRUE(engine->Detach(s));
    EXPECT_FALSE(engine->Pause(empty) || engine->Resume(empty) || engine->Detach(empty));
    EXPECT_FALSE(engine->Attach(ReadHandle(empty), this->recorder.Reads(), Sched::Notify::Param()));
    capture.Stop();
    std::string n = std::to_string(SocketOf(s)), pause = "Pause handle " + n + " is not in selecting list",
                resume = "Resume handle " + n + " is not in pausing list";
    std::vector<std::string> want = {pause, resume, "Detach handle " + n + " neither in selecting list nor in pausing list",
                                     pause, resume, "Pause an invalid handle", "Resume an invalid handle",
                                     "Detach an invalid handle", "Attach handle 4294967295 error at step 1, error code \\d+"};
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(want[i]))) << lines[i];
    engine->UnInit(1000);
}

TYPED_TEST(Readiness, UnInitFromItsOwnCallbackDoesNotWaitForItself)
{
    unsigned int before = VorTest::SettledThreadCount();
    auto& notify = this->Make();
    std::atomic<std::uint64_t> took{~0ull};
    this->recorder.then = [&](Io::IoBase&) {
        std::uint64_t start = Platform::MonotonicMs();
        notify.UnInit(5000);
        took = Platform::MonotonicMs() - start;
    };
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(WaitUntil([&] { return took.load() != ~0ull; }));
    EXPECT_LT(took.load(), 1000u);
    EXPECT_EQ(this->recorder.Count(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() <= before; }));
}

TYPED_TEST(Readiness, CallbackThatAttachesDuringTheLastUnInitDoesNotDeadlock)
{
    TcpConnection b;
    Recorder late;
    Core::Guard<typename TypeParam::Notify> other;
    std::atomic<bool> inCallback{false}, unInitStarted{false}, attached{false};
    this->recorder.then = [&](Io::IoBase&) {
        if (inCallback.exchange(true))
            return;
        WaitUntil([&] { return unInitStarted.load(); });
        // Initialises a notify and attaches on the engine's thread.
        other = VorTest::MakeNotifyOf<typename TypeParam::Notify>();
        attached = other->Attach(ReadHandle(b.server), late.Reads());
    };
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
    std::uint64_t start = Platform::MonotonicMs();
    unInitStarted = true;
    EXPECT_TRUE(notify.UnInit(5000));
    EXPECT_LT(Platform::MonotonicMs() - start, 2000u);
    // An UnInit that came after the callback's notify was initialised was
    // not the last one: it ended without waiting for the engine's thread.
    EXPECT_TRUE(WaitUntil([&] { return attached.load(); }));
    ASSERT_TRUE(this->Write(b));
    EXPECT_TRUE(late.WaitFor(1));
    other->UnInit(1000);
    EXPECT_EQ(TypeParam::Notify::GetEngineCount(), 0u);
}

TYPED_TEST(Readiness, NotifiesShareEnginesUntilTheLastOneGoes)
{
    using N = typename TypeParam::Notify;
    TcpConnection b;
    Recorder onB;
    unsigned int threads = VorTest::SettledThreadCount();
    auto& one = this->Make();
    auto two = VorTest::MakeNotifyOf<N>();
    EXPECT_EQ(N::GetTypeCount(), 2u);
    ASSERT_TRUE(one.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(two->Attach(ReadHandle(b.server), onB.Reads()));
    EXPECT_EQ(N::GetEngineCount(), 1u);
    // Uninitialised twice (by two owners), a notify still counts once.
    EXPECT_TRUE(one.UnInit(1000) && one.UnInit(1000));
    EXPECT_EQ(N::GetTypeCount(), 1u);
    EXPECT_EQ(N::GetEngineCount(), 1u);
    ASSERT_TRUE(this->Write(b));
    EXPECT_TRUE(onB.WaitFor(1));
    // The last one, destroyed without UnInit, stops every engine, waking
    // its thread rather than waiting out its 10-second wait.
    std::uint64_t start = Platform::MonotonicMs();
    two.Clear();
    EXPECT_LT(Platform::MonotonicMs() - start, 3000u);
    EXPECT_EQ(N::GetTypeCount(), 0u);
    EXPECT_EQ(N::GetEngineCount(), 0u);
    ASSERT_TRUE(this->Write(b));
    EXPECT_TRUE(onB.Quiet(1));
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TYPED_TEST(Readiness, IdleReportsReachOnlyWatchedOpenSockets)
{
    ASSERT_EQ(TypeParam::Notify::GetEngineCount(), 0u); // checkers start with the period below
    VorTest::Tune period(Sched::Internal::g_IdleCheckPeriod, 40);
    TcpConnection paused, detached, closed;
    Recorder &onWatched = this->recorder, &onPaused = this->other[0], &onDetached = this->other[1],
             &onClosed = this->other[2];
    onClosed.drain = false;
    auto& notify = this->Make(40); // one period: reported at every check after the first
    VorTest::HoldHook hold(Sched::Internal::g_BeforeIdleCheck);
    // No check runs until the socket is closed: an idle report before the
    // close would have the engine touch a descriptor this thread closes.
    hold.Arm();
    std::uint64_t start = Platform::MonotonicMs();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), onWatched.Reads()));
    ASSERT_TRUE(notify.Attach(ReadHandle(paused.server), onPaused.Reads()));
    ASSERT_TRUE(notify.Attach(ReadHandle(detached.server), onDetached.Reads()));
    ASSERT_TRUE(notify.Attach(ReadHandle(closed.server), onClosed.Reads()));
    ASSERT_TRUE(notify.Pause(paused.server) && notify.Detach(detached.server));
    ASSERT_TRUE(closed.server.GetObject()->Close()); // behind the engine's back
    hold.Release();
    ASSERT_TRUE(onWatched.WaitFor(1));
    // The first check only clears the attach's activity.
    EXPECT_GE(Platform::MonotonicMs() - start, 40u);
    ASSERT_TRUE(onWatched.WaitFor(2));
    EXPECT_TRUE(onWatched.Entries()[0].idle && !onWatched.Entries()[0].readable);
    EXPECT_EQ(onPaused.Count() + onDetached.Count(), 0u);
    // The closed socket: one exception report, never an idle one.
    auto excepts = [&] { return onClosed.Count([](Recorder::Entry const& e) { return e.except; }); };
    ASSERT_TRUE(WaitUntil([&] { return excepts() == 1; }));
    EXPECT_TRUE(onClosed.Quiet(onClosed.Count()));
    EXPECT_EQ(onClosed.Count([](Recorder::Entry const& e) { return e.idle; }), 0u);
    EXPECT_TRUE(notify.Detach(closed.server));
    // Traffic is reported as such between idle reports.
    ASSERT_TRUE(this->Write(this->c));
    EXPECT_TRUE(WaitUntil([&] { return onWatched.Count(Readable) > 0; }));
    // Resume re-arms the count: the paused socket is reported later.
    ASSERT_TRUE(notify.Resume(paused.server));
    ASSERT_TRUE(onPaused.WaitFor(1));
    EXPECT_TRUE(onPaused.Entries()[0].idle);
    // Detached while a check holds a copy with its record: not reported.
    hold.Arm();
    ASSERT_TRUE(hold.Holding());
    ASSERT_TRUE(notify.Detach(this->c.server));
    unsigned int reports = onWatched.Count();
    hold.Release();
    EXPECT_TRUE(onWatched.Quiet(reports));
}

// A report of idleness is only that: readiness left on the object from an
// earlier report would have the receiver read (or accept) on the idle
// checker's thread, beside the task that reads it. And an OnIdle that blocks
// (writing to a peer that stopped reading, say) holds up idle reports only:
// the engine's thread goes on reporting traffic.
TYPED_TEST(Readiness, IdleReportCarriesNoLeftoverReadinessAndBlockedDoesNotHoldUpTraffic)
{
    VorTest::Tune period(Sched::Internal::g_IdleCheckPeriod, 40);
    TcpConnection busy;
    ASSERT_TRUE(busy.IsValid());
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
    VorTest::HoldHook hold(Sched::Internal::g_BeforeIdleCheck);
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    hold.Arm();
    ASSERT_TRUE(hold.Holding());
    this->c.server.SetAttrib(Io::IoParam::READABLE, true);
    hold.Release();
    ASSERT_TRUE(WaitUntil([&] { return blocked->load() == 1; }));
    ASSERT_TRUE(notify.Attach(ReadHandle(busy.server), this->other[0].Reads()));
    ASSERT_TRUE(this->Write(busy));
    bool answered = WaitUntil([&] { return this->other[0].Count(Readable) > 0; }, Ms(1000));
    *release = true;
    EXPECT_TRUE(WaitUntil([&] { return blocked->load() == 2; }));
    EXPECT_TRUE(answered) << "traffic waited for an idle report";
    for (auto const& entry : this->recorder.Entries())
        EXPECT_FALSE(entry.idle && (entry.readable || entry.except)) << "an idle report with readiness";
}

TYPED_TEST(Readiness, ReusedDescriptorNumberNeverReachesTheOldRecord)
{
    Recorder& fresh = this->other[0];
    this->recorder.drain = false;
    auto& notify = this->Make();
    IoHandle& first = this->c.server;
    ASSERT_TRUE(notify.Attach(ReadHandle(first), this->recorder.Reads()));
    ASSERT_TRUE(notify.Pause(first));
    unsigned int number = SocketOf(first);
    VorTest::SocketListener listener;
    Socket client;
    ASSERT_TRUE(client.Open(Socket::SOCKET_TCP, 2, 0) && client.Connect(Socket::Param(listener.address)));
    ASSERT_TRUE(first.GetObject()->Close()); // behind the engine's back
    // An engine thread using the number right now releases it when it is done.
    Platform::Ipv4Address name;
    ASSERT_TRUE(WaitUntil([&] { return !Platform::GetSocketName(number, &name); }));
    IoHandle reused = Socket::Accept(listener.device.GetReadHandle());
#if defined(_WIN32)
    if (SocketOf(reused) != number)
        GTEST_SKIP() << "the system has not given the old number to the new socket this time";
#endif
    ASSERT_EQ(SocketOf(reused), number);
    ASSERT_TRUE(notify.Attach(ReadHandle(reused), fresh.Reads()));
    ASSERT_TRUE(client.GetHandle().Write("y", 1));
    ASSERT_TRUE(fresh.WaitFor(1));
    // Detaching the old record leaves the new socket alone.
    EXPECT_TRUE(notify.Detach(first));
    ASSERT_TRUE(client.GetHandle().Write("z", 1));
    ASSERT_TRUE(fresh.WaitFor(2));
    EXPECT_EQ(this->recorder.Count(Readable), 0u);
}

// The application closes a socket while the group detaches it and another
// socket is attached at once: the system gives the closed number to the
// next socket, so an engine call still holding the old number (a removal,
// a re-arm) would silence the new socket.
TYPED_TEST(Readiness, CloseRacingADetachNeverSilencesTheNextSocket)
{
    auto& notify = this->Make();
    Recorder& fresh = this->other[0];
    constexpr unsigned int ROUNDS = 400;
    for (unsigned int round = 0; round < ROUNDS; ++round) {
        auto victim = std::make_unique<TcpConnection>();
        ASSERT_TRUE(victim->IsValid());
        ASSERT_TRUE(notify.Attach(ReadHandle(victim->server), this->recorder.Reads()));
        std::atomic<int> go{0};
        IoHandle application = victim->server; // each thread its own handle
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
        ASSERT_TRUE(notify.Attach(ReadHandle(next.server), fresh.Reads()));
        closer.join();
        unsigned int before = fresh.Count(Readable);
        ASSERT_TRUE(this->Write(next));
        ASSERT_TRUE(WaitUntil([&] { return fresh.Count(Readable) > before; }, Ms(5000)))
            << "round " << round << ": the new socket was never reported";
        ASSERT_TRUE(notify.Detach(next.server));
    }
}

TYPED_TEST(Readiness, FailingWaitsBackOffAndRecover)
{
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    VorTest::StderrCapture capture;
    Sched::Internal::g_FailSelects = 1000000;
    ASSERT_TRUE(this->Write(this->c)); // ends the current wait
    ASSERT_TRUE(WaitUntil([&] { return capture.Lines().size() >= 3; }));
    WaitUntil([] { return false; }, Ms(400));
    Sched::Internal::g_FailSelects = 0;
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    EXPECT_LE(lines.size(), 12u); // not a flood
    for (auto const& line : lines)
        EXPECT_TRUE(std::regex_match(line, std::regex(TypeParam::waitError))) << line;
    unsigned int reports = this->recorder.Count();
    ASSERT_TRUE(this->Write(this->c));
    EXPECT_TRUE(this->recorder.WaitFor(reports + 1));
}

TYPED_TEST(Readiness, AttachEchoPauseDetachAndCloseChurnAcrossThreads)
{
    auto& notify = this->Make();
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    std::atomic<bool> failed{false};
    constexpr unsigned int kThreads = 4, kRounds = 60;
    // Recorders and connections outlive the notify: a report that began
    // before a detach may still be running on them.
    std::vector<std::unique_ptr<Recorder>> recorders[kThreads];
    std::vector<std::unique_ptr<TcpConnection>> connections[kThreads];
    auto worker = [&](unsigned int t) {
        for (unsigned int i = 0; i < kRounds && !failed.load(); ++i) {
            connections[t].push_back(std::make_unique<TcpConnection>());
            recorders[t].push_back(std::make_unique<Recorder>());
            TcpConnection& c = *connections[t].back();
            recorders[t].back()->echo = true;
            bool ok = c.IsValid() && notify.Attach(ReadHandle(c.server), recorders[t].back()->Reads());
            for (unsigned int k = 0; ok && k < 3; ++k) {
                ok = c.client.GetHandle().WriteUInt32(k);
                if (i % 3 == 0)
                    ok = ok && notify.Pause(c.server) && notify.Resume(c.server);
                ok = ok && c.client.GetHandle().ReadUInt32(~0u) == k;
            }
            // The peer closes while the socket is watched: its end-of-stream
            // report races with the detach.
            c.client.GetHandle().GetObject()->Close();
            if (!ok || !notify.Detach(c.server) || notify.Detach(c.server))
                failed = true;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker, t);
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(notify.GetCount(), 0u);
    notify.UnInit(1000);
    for (auto& list : connections)
        list.clear();
    EXPECT_TRUE(WaitUntil([&] { return VorTest::OpenDescriptorCount() <= descriptors; }))
        << VorTest::OpenDescriptorCount() << " open, " << descriptors << " before";
}

TYPED_TEST(Readiness, EnginesComeAndGoAcrossThreads)
{
    unsigned int threads = VorTest::SettledThreadCount();
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < 15; ++i) {
                VorTest::BoundUdp udp; // silent: no report can outlive the recorder
                Recorder recorder;
                auto notify = VorTest::MakeNotifyOf<typename TypeParam::Notify>();
                notify->Attach(ReadHandle(udp.device.GetHandle()), recorder.Reads());
                notify->UnInit(2000);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(TypeParam::Notify::GetEngineCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

// Only a socket group's tasks wait for the end of the engine's reports to
// wake their worker: a task that an application's own callback queues
// starts at once, and the callback may wait for it.
TYPED_TEST(Readiness, ATaskQueuedFromAnApplicationsReportStartsWhileTheReportRuns)
{
    Core::Guard<Sched::Scheduler> pool = Core::New<Sched::Scheduler, Sched::TpSched>();
    ASSERT_TRUE(pool->Init(Sched::Scheduler::Param(1)));
    std::atomic<int> ran{0}, seen{-1};
    ASSERT_TRUE(pool->Register(Core::Guard<Sched::Handler>::Adopt(new VorTest::BodyHandler([&] { ++ran; }))));
    this->recorder.then = [&](Io::IoBase&) {
        if (seen.load() == -1 && pool->Run(1, {}))
            seen = WaitUntil([&] { return ran.load() == 1; }, Ms(5000)) ? 1 : 0;
    };
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(WaitUntil([&] { return seen.load() != -1; }, Ms(10000)));
    EXPECT_EQ(1, seen.load()) << "the task waited for the report to end";
    notify.UnInit(1000);
    pool->UnInit(5000);
}

// The handle a report hands to its callback is lent from the engine's own,
// without a count of its own: after each report the object's count is the
// count before plus the copies the callback has kept.
TYPED_TEST(Readiness, AReportsHandleLeavesTheCountAsItFoundItAndItsCopiesCount)
{
    std::mutex lock;
    std::vector<Io::IoHandle> kept;
    this->recorder.then = [&](Io::IoBase& handle) {
        std::lock_guard<std::mutex> hold(lock);
        kept.emplace_back(handle);
    };
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    auto refs = [&] { return this->c.server.GetObject()->GetRef(); };
    auto copies = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return static_cast<unsigned int>(kept.size());
    };
    unsigned int const before = refs();
    for (unsigned int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(this->Write(this->c));
        ASSERT_TRUE(this->recorder.WaitFor(i));
        EXPECT_TRUE(WaitUntil([&] { return refs() == before + copies(); }, Ms(2000)))
            << "after report " << i << ": " << refs() << " references, " << before << " + " << copies() << " expected";
    }
    notify.UnInit(1000); // before `kept` goes: no report reaches it after
}

// A report whose tasks wait behind a busy pool holds the engine for moments
// only: another socket is reported while the pool's one worker is still
// held and two tasks are queued behind it.
TYPED_TEST(Readiness, ASocketIsReportedWhileThePoolANeighboursTasksWentToIsBacklogged)
{
    Core::Guard<Sched::Scheduler> pool = Core::New<Sched::Scheduler, Sched::TpSched>();
    ASSERT_TRUE(pool->Init(Sched::Scheduler::Param(1)));
    std::atomic<bool> gate{false}, held{false}, queued{false};
    std::atomic<int> ran{0};
    ASSERT_TRUE(pool->Register(Core::Guard<Sched::Handler>::Adopt(new VorTest::BodyHandler([&] {
        if (!held.exchange(true))
            WaitUntil([&] { return gate.load(); }, Ms(20000));
        ++ran;
    }))));
    this->recorder.then = [&](Io::IoBase&) {
        if (!queued.exchange(true))
            for (int i = 0; i < 3; ++i)
                pool->Run(1, {});
    };
    TcpConnection d;
    ASSERT_TRUE(d.IsValid());
    auto& notify = this->Make();
    ASSERT_TRUE(notify.Attach(ReadHandle(this->c.server), this->recorder.Reads()));
    ASSERT_TRUE(notify.Attach(ReadHandle(d.server), this->other[0].Reads()));
    ASSERT_TRUE(this->Write(this->c));
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
    ASSERT_TRUE(this->Write(d));
    EXPECT_TRUE(this->other[0].WaitFor(1, 3000)) << "the engine waited on the pool";
    EXPECT_EQ(0, ran.load());
    gate = true;
    EXPECT_TRUE(WaitUntil([&] { return ran.load() == 3; }));
    // Stopped before the flags and the pool that the recorder's hook
    // reaches go with this scope.
    notify.UnInit(1000);
    pool->UnInit(5000);
}
