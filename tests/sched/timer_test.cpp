// Triggers and events, and the timer built on them.
#include <vor/io/memory.h>
#include <vor/sched/timer.h>

#include "platform/clock.h"
#include "support/child.h"
#include "support/groups.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#if !defined(_WIN32)
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace Vor::Core;
using namespace Vor::Sched;
using Vor::Platform::MonotonicMs;
using VorTest::WaitUntil;

namespace {

class Counting : public Handler {
public:
    unsigned int GetID() override { return 7; }
    bool OnHandle(Guard<Param> param) override
    {
        emptyParam = !param.IsValid();
        return ++runs > 0;
    }
    std::atomic<int> runs{0};
    std::atomic<bool> emptyParam{false};
};

class BareTrigger : public Trigger {};

// Each group's UnInit unbinds only itself from a shared event: its answers
// then come from the group still running.
TEST(IoTrigger, SharedEventStaysBoundToTheGroupThatIsStillRunning)
{
    Guard<VorTest::ScriptedEvent> event = Vor::Core::New<VorTest::ScriptedEvent>();
    Guard<UdpGroup> a = Vor::Core::New<UdpGroup>(), b = Vor::Core::New<UdpGroup>();
    IoTrigger::Param pa(Vor::Core::New<Scheduler, LocalSched>(), VorTest::MakeNotify(VorTest::EngineKind::Select),
                        Guard<IoEvent>(event.Raw()));
    IoTrigger::Param pb(pa.m_Scheduler, VorTest::MakeNotify(VorTest::EngineKind::Select), pa.m_Event);
    Vor::Io::Socket::Address any("127.0.0.1", 0);
    ASSERT_TRUE(a->Init(pa) && b->Init(pb) && a->Create(any) && b->Create(any));
    Vor::Io::IoHandle socket = a->GetSocket();
    EXPECT_TRUE(event->Device(socket) == socket);
    a->UnInit(1000);
    EXPECT_TRUE(event->Device(socket) == b->GetSocket());
    b->UnInit(1000);
    EXPECT_FALSE(event->Device(socket).IsValid());
    EXPECT_FALSE(b->Dispatch(1, Guard<Handler::Param>()));
}

// Answers every handle with its own device, or none when it has none.
class Answering : public IoTrigger {
public:
    Vor::Io::WriteHandle GetDevice(Vor::Io::IoBase const&) const override { return device; }
    Vor::Io::WriteHandle device;
};

// An event asks the triggers bound now, also when one of them is the only
// one left or a second joins the first.
TEST(IoTrigger, EventAsksTheTriggersBoundNow)
{
    Guard<VorTest::ScriptedEvent> event = Vor::Core::New<VorTest::ScriptedEvent>();
    Guard<Answering> silent = Vor::Core::New<Answering>(), answering = Vor::Core::New<Answering>();
    answering->device = Vor::Io::WriteHandle(Vor::Io::IoHandle(Vor::Core::New<Vor::Io::MemoryIo>().Raw()));
    IoTrigger::Param param(Vor::Core::New<Scheduler, LocalSched>(), VorTest::MakeNotify(VorTest::EngineKind::Select),
                           Guard<IoEvent>(event.Raw()));
    Vor::Io::IoHandle any = answering->device;
    ASSERT_TRUE(silent->Init(param));
    EXPECT_FALSE(event->Device(any).IsValid());
    ASSERT_TRUE(answering->Init(param));
    EXPECT_TRUE(event->Device(any) == answering->device);
    silent->UnInit(1000);
    EXPECT_TRUE(event->Device(any) == answering->device);
    answering->UnInit(1000);
    EXPECT_FALSE(event->Device(any).IsValid());
}

// Events reach the handler under the id widened to 64 bits, fail quietly
// without trigger or scheduler, and never use a scheduler that an UnInit
// racing them releases.
TEST(Trigger, DispatchReachesTheHandlerOrFailsQuietlyEvenRacingUnInit)
{
    Guard<Scheduler> scheduler = Vor::Core::New<Scheduler, LocalSched>();
    Guard<Counting> handler = Vor::Core::New<Counting>();
    ASSERT_TRUE(scheduler->Register(Guard<Handler>(handler.Raw()), 7));
    Guard<Trigger> trigger = Vor::Core::New<Trigger, BareTrigger>();
    Guard<TimerEvent> event = Vor::Core::New<TimerEvent>();
    EXPECT_FALSE(event->OnTimer(7) || event->Init(Event::Param()));
    ASSERT_TRUE(event->Init(TimerEvent::Param(trigger.Raw())));
    EXPECT_FALSE(event->OnTimer(7));
    std::atomic<bool> stop{false};
    std::atomic<int> succeeded{0};
    std::thread dispatcher([&] {
        while (!stop)
            succeeded += event->OnTimer(7) ? 1 : 0;
    });
    for (int i = 0; i < 2000; ++i) {
        Trigger::Param param(scheduler);
        trigger->Init(param);
        trigger->UnInit(0);
    }
    stop = true;
    dispatcher.join();
    EXPECT_EQ(handler->runs.load(), succeeded.load()) << "each successful dispatch runs the handler once";
    // A timer's plain event dispatches each expiry with an empty parameter.
    Guard<Timer> timer = Vor::Core::New<Timer>();
    Timer::Param param(scheduler);
    ASSERT_TRUE(timer->Init(param) && timer->AddTimer(7, 10000));
    EXPECT_TRUE(WaitUntil([&] { return handler->runs.load() == succeeded.load() + 1; }));
    EXPECT_TRUE(handler->emptyParam.load());
    timer->UnInit();
    timer->Trigger::UnInit(0);
    scheduler->UnRegister(7);
}

// Records every expiry with its time. The next expiry after stallMs is set
// stalls that long, as a slow handler holding up the timer thread would.
class Recorder : public TimerEvent {
public:
    bool OnTimer(unsigned int id) override
    {
        inside = true;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Fired.emplace_back(id, MonotonicMs());
        }
        Vor::Platform::SleepMs(stallMs.exchange(0));
        inside = false;
        return true;
    }
    std::vector<std::pair<unsigned int, std::uint64_t>> Fired()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Fired;
    }
    std::vector<std::uint64_t> Times(unsigned int id)
    {
        std::vector<std::uint64_t> times;
        for (auto const& one : Fired())
            if (one.first == id)
                times.push_back(one.second);
        return times;
    }
    std::atomic<unsigned int> stallMs{0};
    std::atomic<bool> inside{false};

private:
    std::mutex m_Lock;
    std::vector<std::pair<unsigned int, std::uint64_t>> m_Fired;
};

struct TimerTest : ::testing::Test {
    Guard<Recorder> recorder = Vor::Core::New<Recorder>();
    Guard<Timer> timer = Vor::Core::New<Timer>();
    bool Start()
    {
        Timer::Param param(Vor::Core::New<Scheduler, LocalSched>(), Guard<TimerEvent>(recorder.Raw()));
        return timer->Init(param);
    }
    void TearDown() override
    {
        timer->UnInit();
        timer->Trigger::UnInit(0);
    }
};

// Due at once, then every interval, in the order added; entries sharing an
// id all fire and one kill removes them all.
TEST_F(TimerTest, FiresAtOnceThenEveryIntervalUntilKilled)
{
    ASSERT_TRUE(Start());
    unsigned int threads = Thread::GetCount();
    EXPECT_FALSE(Start()) << "a second timer thread";
    EXPECT_EQ(Thread::GetCount(), threads);
    std::uint64_t added = MonotonicMs();
    EXPECT_FALSE(timer->AddTimer(6, 0)); // it would be due again at once, for ever
    ASSERT_TRUE(timer->AddTimer(5, 50) && timer->AddTimer(4, 50) && timer->AddTimer(5, 50));
    ASSERT_TRUE(WaitUntil([&] { return recorder->Times(4).size() >= 3; }));
    auto fired = recorder->Fired();
    EXPECT_TRUE(fired[0].first == 5 && fired[1].first == 4 && fired[2].first == 5);
    std::vector<std::uint64_t> times = recorder->Times(4);
    EXPECT_LT(times[0] - added, 50u) << "not due at once, but after an interval";
    EXPECT_GE(times[2] - added, 95u); // due at the add, then every 50 ms
    ASSERT_TRUE(timer->KillTimer(5));
    // A pass that had id 5 in hand at the kill may still deliver it; the
    // passes after it have none. Three intervals on, that pass is over.
    std::size_t seen = recorder->Times(4).size();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Times(4).size() >= seen + 3; }));
    std::size_t killed = recorder->Times(5).size();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Times(4).size() >= seen + 6; }));
    EXPECT_EQ(recorder->Times(5).size(), killed) << "an entry of the killed id still fires";
    EXPECT_TRUE(recorder->Times(6).empty());
}

// A timer held up fires once for every interval it missed, without drift.
// UnInit waits for the expiry in hand; then nothing holds the timer.
TEST_F(TimerTest, LateTimerCatchesUpAndUnInitWaitsForTheExpiryInHand)
{
    recorder->stallMs = 60;
    ASSERT_TRUE(Start());
    std::uint64_t added = MonotonicMs();
    ASSERT_TRUE(timer->AddTimer(8, 10));
    ASSERT_TRUE(WaitUntil([&] { return recorder->Times(8).size() >= 20; }));
    std::vector<std::uint64_t> times = recorder->Times(8); // due at added, added + 10, ...
    EXPECT_LT(times[5] - times[1], 30u) << "the intervals missed in the stall were not made up at once"; // 40 ms if not
    EXPECT_GE(times.back() - added, 10u * (times.size() - 1)) << "fired ahead of its due times";
    recorder->stallMs = 200;
    ASSERT_TRUE(WaitUntil([&] { return recorder->stallMs == 0 && recorder->inside; }));
    ASSERT_TRUE(timer->UnInit());
    EXPECT_FALSE(recorder->inside.load()) << "an expiry was delivered after UnInit returned";
    EXPECT_EQ(timer->GetThreadID(), Thread::INVALID_ID);
    std::size_t after = recorder->Fired().size();
    Timer* raw = timer.Raw();
    timer->Trigger::UnInit(0);
    timer = Vor::Core::New<Timer>(); // for TearDown
    EXPECT_EQ(GlobalRef::GetRefAt(raw), GlobalRef::UNCOUNTED) << "the event still holds the timer";
    EXPECT_EQ(recorder->Fired().size(), after);
}

// A timer whose thread cannot start lets go of its event, so neither keeps
// the other alive.
TEST(Timer, FailedThreadStartLeaksNeitherTimerNorEvent)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes cannot live under an address-space limit";
#endif
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no address-space limit to make a thread start fail";
#else
    VorTest::ChildResult result = VorTest::RunInChild([] {
        Guard<Timer> timer = Vor::Core::New<Timer>();
        Timer::Param param(Vor::Core::New<Scheduler, LocalSched>());
        rlim_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit{pages * 4096 + (2u << 20), RLIM_INFINITY}; // no room for a thread's stack
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return 1;
        // Use up the stacks cached from ended threads, which need no room.
        for (pthread_t parked; pthread_create(&parked, nullptr, [](void*) -> void* { return pause(), nullptr; }, nullptr) == 0;) {
        }
        Timer* raw = timer.Raw();
        bool started = timer->Init(param);
        timer.Clear();
        return started ? 2 : GlobalRef::GetRefAt(raw) == GlobalRef::UNCOUNTED ? 0 : 3;
    });
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0) << result.err;
#endif
}

} // namespace
