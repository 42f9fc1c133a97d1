// Periodic timers fired from a thread of their own.
//
// Every expiry of a timer id reaches the timer's TimerEvent as OnTimer(id);
// the plain TimerEvent dispatches the id through the timer's scheduler, so
// an application usually registers a handler under the timer id:
//
//     Timer::Param param;
//     param.m_Scheduler = scheduler;          // handler registered under 5
//     timer->Init(param);
//     timer->AddTimer(5, 100);                 // now, then every 100 ms
//     ...
//     timer->UnInit();
//
// Due times are kept on the monotonic clock, as whole multiples of the
// interval after the first due time: a timer that fell behind fires once
// for every interval it missed, and never drifts.
#pragma once

#include <vor/core/export.h>

#include <vor/core/thread.h>
#include <vor/sched/event.h>

#include <atomic>
#include <cstdint>
#include <map>

namespace Vor {
namespace Sched {

// A periodic timer: reports each period to its TimerEvent (see above).
class VOR_API Timer : public Trigger {
public:
    // What a timer is bound to: its scheduler and event.
    class VOR_API Param : public Trigger::Param {
    public:
        Param() = default;
        Param(Core::Guard<Scheduler> const& scheduler, Core::Guard<TimerEvent> const& event = Core::Guard<TimerEvent>())
            : Trigger::Param(scheduler), m_Event(event)
        {
        }
        // May be empty: the timer then makes a plain TimerEvent.
        Core::Guard<TimerEvent> m_Event;
    };

    Timer();

    using Trigger::UnInit;

    // Binds scheduler and event and starts the timer thread. False when the
    // scheduler or event is missing, the event refuses, a timer thread is
    // already running, or the thread cannot be started.
    bool Init(Trigger::Param& param) override;
    // Removes every timer and stops the timer thread, waiting (at most 10 s)
    // until it has delivered what it had collected, so that nothing reaches
    // the event afterwards. From an OnTimer callback it does not wait.
    virtual bool UnInit();
    // Adds a timer due at once and then every `interval` ms. An id may be
    // added more than once (each entry fires). False for interval 0.
    virtual bool AddTimer(unsigned int id, unsigned int interval);
    // Removes every entry with this id; true whether or not there was one.
    virtual bool KillTimer(unsigned int id);

    // The id of the timer thread, or Thread::INVALID_ID when none runs.
    unsigned int GetThreadID() const { return m_uThreadId.load(); }

protected:
    ~Timer() override;

private:
    struct VOR_API Entry {
        unsigned int m_uInterval;
        unsigned int m_uId;
    };
    using Table = std::multimap<std::uint64_t, Entry>;

    void TimerProc(Core::Guard<Timer> self);
    // Collects the ids due at `now`, re-inserting each entry one interval
    // later; returns how long to wait for the next pass.
    unsigned int Collect(std::uint64_t now, std::vector<unsigned int>& fired);

    std::atomic<unsigned int> m_uThreadId;
    std::atomic<bool> m_bRunning;
    std::atomic<bool> m_bThreadActive;
    // Guards the table and the event guard.
    Core::Lock m_Lock;
    Core::Signal m_Signal;
    Table m_Table;
    Core::Guard<TimerEvent> m_Event;
};

} // namespace Sched
} // namespace Vor
