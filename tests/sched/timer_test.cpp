#include <vor/core/thread.h>
#include <vor/sched/event.h>
#include <vor/sched/scheduler.h>
#include <vor/sched/timer.h>

#include "platform/clock.h"
#include "support/wait.h"

#include "support/own.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace Vor::Core;
using VorTest::Own;
using namespace Vor::Sched;
using VorTest::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Records every expiry it is told about, in order, with its time.
class Recorder : public TimerEvent {
public:
    bool OnTimer(unsigned int id) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Fired.push_back(id);
        m_Times.push_back(Vor::Platform::MonotonicMs());
        if (m_uStallMs > 0 && m_Fired.size() == 1)
            Vor::Platform::SleepMs(m_uStallMs); // a slow handler holding up the timer thread
        return true;
    }
    std::vector<unsigned int> Fired() { return Copy(m_Fired); }
    std::vector<std::uint64_t> Times() { return Copy(m_Times); }
    std::size_t Count(unsigned int id)
    {
        auto fired = Fired();
        return static_cast<std::size_t>(std::count(fired.begin(), fired.end(), id));
    }
    unsigned int m_uStallMs = 0;

private:
    template <class T>
    T Copy(T const& list)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return list;
    }
    std::mutex m_Mutex;
    std::vector<unsigned int> m_Fired;
    std::vector<std::uint64_t> m_Times;
};

class CountingHandler : public Handler {
public:
    unsigned int GetID() override { return 9; }
    bool OnHandle(Guard<Param> param) override
    {
        m_bParamEmpty = !param.IsValid();
        ++m_iRuns;
        return true;
    }
    std::atomic<int> m_iRuns{0};
    std::atomic<bool> m_bParamEmpty{false};
};

struct TimerFixture : ::testing::Test {
    Guard<Scheduler> scheduler = Own<Scheduler>(new LocalSched);
    Guard<Recorder> recorder = Own(new Recorder);
    Guard<Timer> timer = Own(new Timer);

    bool Start()
    {
        Timer::Param param(scheduler, Guard<TimerEvent>(recorder.Raw()));
        return timer->Init(param);
    }
    void TearDown() override
    {
        timer->UnInit();
        timer->Trigger::UnInit(0);
    }
};

} // namespace

TEST_F(TimerFixture, FiresAtOnceThenEveryIntervalUntilKilled)
{
    ASSERT_TRUE(Start());
    std::uint64_t added = Vor::Platform::MonotonicMs();
    ASSERT_TRUE(timer->AddTimer(5, 50));
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count(5) >= 3; }));
    std::vector<std::uint64_t> times = recorder->Times();
    EXPECT_LT(times[0] - added, 40u) << "the first expiry is due at once";
    EXPECT_GE(times[2] - times[0], 95u);
    ASSERT_TRUE(timer->KillTimer(5));
    std::size_t killedAt = recorder->Count(5);
    EXPECT_FALSE(WaitUntil([&] { return recorder->Count(5) > killedAt + 1; }, 200ms));
}

TEST_F(TimerFixture, EntriesSharingAnIdAllFireAndOneKillRemovesThem)
{
    ASSERT_TRUE(timer->AddTimer(3, 10000)); // before Init: fires once the thread runs
    ASSERT_TRUE(timer->AddTimer(3, 10000));
    ASSERT_TRUE(timer->AddTimer(4, 10000));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitUntil([&] { return recorder->Fired().size() >= 3; }));
    EXPECT_EQ((std::vector<unsigned int>{3, 3, 4}), recorder->Fired()); // in the order added
    EXPECT_TRUE(timer->KillTimer(3));
    EXPECT_TRUE(timer->KillTimer(77)); // unknown: nothing changes
}

TEST_F(TimerFixture, IntervalZeroAndASecondInitAreRefused)
{
    ASSERT_TRUE(Start());
    unsigned int threads = Thread::GetCount();
    EXPECT_FALSE(Start());
    EXPECT_EQ(Thread::GetCount(), threads);
    EXPECT_FALSE(timer->AddTimer(1, 0));
    EXPECT_FALSE(WaitUntil([&] { return !recorder->Fired().empty(); }, 50ms));
}

TEST_F(TimerFixture, LateTimerCatchesUpOncePerMissedIntervalWithoutDrift)
{
    recorder->m_uStallMs = 60;
    ASSERT_TRUE(Start());
    std::uint64_t added = Vor::Platform::MonotonicMs();
    ASSERT_TRUE(timer->AddTimer(8, 10));
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count(8) >= 20; }));
    std::uint64_t elapsed = Vor::Platform::MonotonicMs() - added;
    std::size_t count = recorder->Count(8);
    // Due at added, added+10, ...: by now about elapsed/10 + 1 expiries.
    EXPECT_LE(count, elapsed / 10 + 2);
    EXPECT_GE(count + 3, elapsed / 10 + 1) << "missed intervals were not made up";
}

TEST_F(TimerFixture, UnInitEndsTheThreadAndTheTimerGoesWithItsLastGuard)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(timer->AddTimer(1, 5));
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count(1) >= 2; }));
    ASSERT_TRUE(timer->UnInit());
    EXPECT_EQ(timer->GetThreadID(), Thread::INVALID_ID);
    std::size_t after = recorder->Fired().size();
    EXPECT_FALSE(WaitUntil([&] { return recorder->Fired().size() > after; }, 50ms));

    Timer* raw = timer.Raw();
    timer->Trigger::UnInit(0);
    timer.Clear();
    EXPECT_EQ(GlobalRef::GetRefAt(raw), GlobalRef::UNCOUNTED) << "the event still holds the timer";
    timer = Own(new Timer); // for TearDown
}

TEST_F(TimerFixture, TimerReleasedWhileRunningStopsWithUnInitAndIsFreed)
{
    ASSERT_TRUE(Start());
    ASSERT_TRUE(timer->AddTimer(2, 5));
    Timer* raw = timer.Raw();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count(2) >= 1; }));
    raw->UnInit();
    timer.Clear();
    EXPECT_TRUE(WaitUntil([&] { return GlobalRef::GetRefAt(raw) == GlobalRef::UNCOUNTED; }));
    timer = Own(new Timer);
}

TEST(TimerDispatchTest, PlainEventRunsTheHandlerRegisteredUnderTheTimerId)
{
    Guard<Scheduler> scheduler = Own<Scheduler>(new LocalSched);
    Guard<CountingHandler> handler = Own(new CountingHandler);
    ASSERT_TRUE(scheduler->Register(Guard<Handler>(handler.Raw())));
    Guard<Timer> timer = Own(new Timer);
    Timer::Param param(scheduler);
    ASSERT_TRUE(timer->Init(param));
    ASSERT_TRUE(timer->AddTimer(9, 10000));
    EXPECT_TRUE(WaitUntil([&] { return handler->m_iRuns.load() == 1; }));
    EXPECT_TRUE(handler->m_bParamEmpty.load());
    timer->UnInit();
    timer->Trigger::UnInit(0);
    scheduler->UnRegister(9);
}

namespace {
class BareTrigger : public Trigger {};
class BareEvent : public Event {
protected:
    Guard<Trigger> GetTrigger() override { return Guard<Trigger>(); }
};
} // namespace

TEST(TriggerTest, EventDispatchReachesTheHandlerUnderThe64BitIdOnlyThroughAScheduler)
{
    Guard<Trigger> trigger = Own<Trigger>(new BareTrigger);
    EXPECT_FALSE(trigger->Dispatch(1, Guard<Handler::Param>())) << "no scheduler yet";
    Trigger::Param empty;
    EXPECT_FALSE(trigger->Init(empty));
    EXPECT_FALSE(Own<Event>(new BareEvent)->Dispatch(7, Guard<Handler::Param>())) << "no trigger";

    Guard<Scheduler> scheduler = Own<Scheduler>(new LocalSched);
    Guard<CountingHandler> handler = Own(new CountingHandler);
    ASSERT_TRUE(scheduler->Register(Guard<Handler>(handler.Raw()), 7));
    Trigger::Param param(scheduler);
    ASSERT_TRUE(trigger->Init(param));
    Guard<TimerEvent> event = Own(new TimerEvent);
    ASSERT_TRUE(event->Init(TimerEvent::Param(trigger.Raw())));
    EXPECT_TRUE(event->Dispatch(7, Guard<Handler::Param>()));
    EXPECT_EQ(handler->m_iRuns.load(), 1);
    EXPECT_FALSE(event->Init(Event::Param()));
    event->UnInit();
    EXPECT_FALSE(event->OnTimer(7));
    trigger->UnInit(0);
    scheduler->UnRegister(7);
}

TEST(TriggerTest, DispatchRacingUnInitNeverUsesAReleasedScheduler)
{
    Guard<Scheduler> scheduler = Own<Scheduler>(new LocalSched);
    Guard<CountingHandler> handler = Own(new CountingHandler);
    ASSERT_TRUE(scheduler->Register(Guard<Handler>(handler.Raw()), 1));
    Guard<Trigger> trigger = Own<Trigger>(new BareTrigger);
    std::atomic<bool> stop{false};
    std::atomic<int> succeeded{0};
    std::thread dispatcher([&] {
        while (!stop)
            succeeded += trigger->Dispatch(1, Guard<Handler::Param>()) ? 1 : 0;
    });
    for (int i = 0; i < 2000; ++i) {
        Trigger::Param param(scheduler);
        trigger->Init(param);
        trigger->UnInit(0);
    }
    stop = true;
    dispatcher.join();
    EXPECT_EQ(handler->m_iRuns.load(), succeeded.load()) << "each successful dispatch runs the handler once";
    EXPECT_FALSE(trigger->Dispatch(1, Guard<Handler::Param>()));
    scheduler->UnRegister(1);
}
