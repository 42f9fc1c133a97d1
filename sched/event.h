// Triggers and events: the two halves of every event source.
//
// A trigger detects that something happened (a timer expired, a socket
// became readable) and turns it into handler work through its scheduler
// (Dispatch -> Scheduler::Run). An event is the application's side: the
// trigger tells it about happenings through virtual callbacks, and it can
// dispatch work itself through the trigger it is bound to.
#pragma once

#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/sched/scheduler.h>

#include <cstdint>

namespace Vor {
namespace Sched {

class Trigger : public Core::GlobalRef {
public:
    class Param {
    public:
        Param() = default;
        explicit Param(Core::Guard<Scheduler> const& scheduler) : m_Scheduler(scheduler) {}
        virtual ~Param() = default;

        Core::Guard<Scheduler> m_Scheduler;
    };

    // Binds the trigger to the parameter's scheduler; false when it has none.
    virtual bool Init(Param& param);
    // Releases the scheduler; always true.
    virtual bool UnInit(unsigned int timeout);
    // Runs the handler registered under id in the scheduler. False when
    // the trigger has no scheduler (never initialised, or already
    // uninitialised while a late happening is delivered).
    virtual bool Dispatch(std::uint64_t id, Core::Guard<Handler::Param> param);

protected:
    Trigger() = default;
    Trigger(Trigger const& other);
    ~Trigger() override = default;

    Core::Guard<Scheduler> GetScheduler() const;

private:
    // Guards the stored scheduler guard: it is replaced by the owner's
    // thread while the trigger's own thread dispatches through it.
    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    Core::Guard<Scheduler> m_Scheduler;
};

class Event : public Core::GlobalRef {
public:
    class Param {
    public:
        virtual ~Param() = default;
    };

    virtual bool Init(Param const& param);
    virtual bool UnInit();
    // Dispatches `id` (widened to 64 bits, so only handlers below 2^32 are
    // reachable) through the bound trigger; false when there is none.
    virtual bool Dispatch(unsigned int id, Core::Guard<Handler::Param> param);

protected:
    Event() = default;
    Event(Event const&) = default;
    ~Event() override = default;

    // The trigger this event is bound to (empty when unbound).
    virtual Core::Guard<Trigger> GetTrigger() = 0;
};

// The event half of a timer: each expiry of a timer id calls OnTimer(id),
// which by default dispatches the id through the timer's scheduler.
class TimerEvent : public Event {
public:
    class Param : public Event::Param {
    public:
        explicit Param(Trigger* trigger = nullptr) : m_pTrigger(trigger) {}
        Trigger* m_pTrigger; // not counted: Init takes the reference
    };

    TimerEvent() = default;
    TimerEvent(TimerEvent const& other);

    bool Init(Event::Param const& param) override;
    bool UnInit() override;
    // Dispatches the id with an empty parameter; override to handle
    // expiries directly.
    virtual bool OnTimer(unsigned int id);

protected:
    ~TimerEvent() override = default;
    Core::Guard<Trigger> GetTrigger() override;

private:
    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    Core::Guard<Trigger> m_Trigger;
};

} // namespace Sched
} // namespace Vor
