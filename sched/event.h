// Triggers and events: the two halves of every event source.
//
// A trigger detects that something happened (a timer expired, a socket
// became readable) and turns it into handler work through its scheduler
// (Dispatch -> Scheduler::Run). An event is the application's side: the
// trigger tells it about happenings through virtual callbacks, and it can
// dispatch work itself through the trigger it is bound to.
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/sched/notify.h>
#include <vor/sched/scheduler.h>

#include <atomic>
#include <cstdint>
#include <typeinfo>
#include <vector>

namespace Vor {
namespace Sched {

// The detecting half of an event source: turns happenings into handler
// work through its scheduler.
class VOR_API Trigger : public Core::GlobalRef {
public:
    // What a trigger is bound to: its scheduler.
    class VOR_API Param {
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
    // The registry version of the trigger's scheduler when it is exactly of
    // the given type; 0 without a scheduler or for any other type. Asks
    // without taking a reference on the scheduler.
    std::uint64_t GetSchedulerVersion(std::type_info const& type) const;

private:
    // Guards the stored scheduler guard: it is replaced by the owner's
    // thread while the trigger's own thread dispatches through it.
    Core::CellLock m_Lock;
    Core::Guard<Scheduler> m_Scheduler;
};

// The application's half of an event source: hears of happenings through
// virtual callbacks.
class VOR_API Event : public Core::GlobalRef {
public:
    // The base of every event's parameter.
    class VOR_API Param {
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
class VOR_API TimerEvent : public Event {
public:
    // What a timer event is bound to: its timer.
    class VOR_API Param : public Event::Param {
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
    Core::CellLock m_Lock;
    Core::Guard<Trigger> m_Trigger;
};

class IoEvent;

// The trigger of the socket groups: it owns a notify that watches its
// handles and an IoEvent whose six callbacks receive their happenings.
// Trigger and event reference each other; UnInit breaks the cycle.
class VOR_API IoTrigger : public Trigger {
public:
    // What an I/O trigger is bound to: its scheduler, notify and event.
    class VOR_API Param : public Trigger::Param {
    public:
        Param() = default;
        Param(Core::Guard<Scheduler> const& scheduler, Core::Guard<Notify> const& notify,
              Core::Guard<IoEvent> const& event)
            : Trigger::Param(scheduler), m_Notify(notify), m_Event(event)
        {
        }
        Core::Guard<Notify> m_Notify;
        Core::Guard<IoEvent> m_Event;
    };

    // Stores scheduler, event and notify (in that order; what was stored
    // before a failure stays until UnInit) and binds the event to this
    // trigger. False when any is missing, the parameter is not an
    // IoTrigger::Param, or the event refuses.
    bool Init(Trigger::Param& param) override;
    // Unbinds the event (calling its UnInit), then uninitialises and
    // releases the notify with `timeout`, then releases the scheduler.
    bool UnInit(unsigned int timeout) override;
    // The handle through which an answer reaches the peer of `handle`. The
    // base has none: a handle on the null object.
    virtual Io::WriteHandle GetDevice(Io::IoBase const& handle) const;

protected:
    IoTrigger() = default;
    IoTrigger(IoTrigger const& other);
    ~IoTrigger() override = default;

    Core::Guard<IoEvent> GetEvent() const;
    Core::Guard<Notify> GetNotifyGuard() const;

private:
    // Guards the two stored guards against a replacement racing a reader.
    Core::CellLock m_IoLock;
    Core::Guard<IoEvent> m_Event;
    Core::Guard<Notify> m_Notify;
};

// The application's side of a socket group: the six callbacks. Each returns
// whether the socket is to stay open.
//
// One event may serve several groups: each group's Init binds it to that
// group, and a group's UnInit unbinds only that group (the event's UnInit
// runs when the last one goes).
class VOR_API IoEvent : public Event {
public:
    // What an I/O event is bound to: its trigger.
    class VOR_API Param : public Event::Param {
    public:
        explicit Param(Core::Guard<IoTrigger> const& trigger = Core::Guard<IoTrigger>()) : m_Trigger(trigger) {}
        Core::Guard<IoTrigger> m_Trigger;
    };

    // Binds the event to the parameter's trigger (in addition to any bound
    // before); false when it has none.
    bool Init(Event::Param const& param) override;
    // Unbinds every trigger.
    bool UnInit() override;
    // Unbinds one trigger; true when no trigger is left bound.
    bool Unbind(IoTrigger const* trigger);

    virtual bool OnOpen(Io::IoBase& handle) = 0;
    virtual bool OnIdle(Io::IoBase& handle) = 0;
    virtual bool OnRead(Io::ReadHandle& handle) = 0;
    virtual bool OnWrite(Io::WriteHandle& handle) = 0;
    virtual bool OnError(Io::IoBase& handle) = 0;
    virtual bool OnClose(Io::IoBase& handle) = 0;

protected:
    IoEvent() = default;
    IoEvent(IoEvent const& other);
    ~IoEvent() override = default;

    // The first bound trigger (for Dispatch).
    Core::Guard<Trigger> GetTrigger() override;
    // The handle on which to answer the peer of `handle`, from the bound
    // group that owns it; a handle on the null object when none does (or
    // the event is no longer bound, as during a group's UnInit).
    Io::WriteHandle GetDevice(Io::IoBase const& handle) const;

private:
    std::vector<Core::Guard<IoTrigger>> GetIoTriggers() const;

    // Sets the copy of the only bound trigger; under m_Lock.
    void StoreOnly();

    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    std::vector<Core::Guard<IoTrigger>> m_Triggers;
    // The bound trigger when there is exactly one, the usual case (empty
    // otherwise): GetDevice, asked for every answer, reads it under a cell
    // lock instead of the list's lock.
    Core::CellLock m_OnlyLock;
    Core::Guard<IoTrigger> m_Only;
    // Its address, for a report that runs in place in a group and holds
    // the group (see TcpGroup): GetDevice then asks that group at once
    // when it is the bound one.
    std::atomic<IoTrigger const*> m_pOnly{nullptr};
};

} // namespace Sched
} // namespace Vor
