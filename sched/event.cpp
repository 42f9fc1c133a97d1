#include <vor/sched/event.h>

#include "sched/internal/readiness.h"

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;

namespace {

// Reads a stored guard that another thread may replace at the same time.
template <class T>
VOR_HOT Guard<T> LockedCopy(Core::CellLock const& lock, Guard<T> const& stored)
{
    Core::CellLock::Scope scope(lock);
    return stored;
}

// Replaces a stored guard; the old object is released outside the lock,
// since its last release may run a destructor that calls back in here.
template <class T>
void LockedStore(Core::CellLock const& lock, Guard<T>& stored, Guard<T> value)
{
    {
        Core::CellLock::Scope scope(lock);
        std::swap(stored, value);
    }
    value.Clear();
}

} // namespace

Trigger::Trigger(Trigger const& other) : GlobalRef(other), m_Scheduler(other.GetScheduler()) {}

Guard<Scheduler> Trigger::GetScheduler() const { return LockedCopy(m_Lock, m_Scheduler); }

VOR_HOT std::uint64_t Trigger::GetSchedulerVersion(std::type_info const& type) const
{
    Core::CellLock::Scope scope(m_Lock);
    if (!m_Scheduler.IsValid())
        return 0;
    Scheduler const& scheduler = *m_Scheduler;
    return &typeid(scheduler) == &type ? scheduler.GetVersion() : 0;
}

bool Trigger::Init(Param& param)
{
    LockedStore(m_Lock, m_Scheduler, param.m_Scheduler);
    return GetScheduler().IsValid();
}

bool Trigger::UnInit(unsigned int)
{
    LockedStore(m_Lock, m_Scheduler, Guard<Scheduler>());
    return true;
}

bool Trigger::Dispatch(std::uint64_t id, Guard<Handler::Param> param)
{
    Guard<Scheduler> scheduler = GetScheduler();
    if (!scheduler.IsValid())
        return false;
    return scheduler->Run(id, param);
}

bool Event::Init(Param const&) { return true; }

bool Event::UnInit() { return true; }

bool Event::Dispatch(unsigned int id, Guard<Handler::Param> param)
{
    Guard<Trigger> trigger = GetTrigger();
    if (!trigger.IsValid())
        return false;
    return trigger->Dispatch(static_cast<std::uint64_t>(id), param);
}

TimerEvent::TimerEvent(TimerEvent const& other) : Event(other), m_Trigger(LockedCopy(other.m_Lock, other.m_Trigger)) {}

bool TimerEvent::Init(Event::Param const& param)
{
    TimerEvent::Param const* timerParam = dynamic_cast<TimerEvent::Param const*>(&param);
    if (timerParam == nullptr)
        return false;
    LockedStore(m_Lock, m_Trigger, Guard<Trigger>(timerParam->m_pTrigger));
    return LockedCopy(m_Lock, m_Trigger).IsValid();
}

bool TimerEvent::UnInit()
{
    LockedStore(m_Lock, m_Trigger, Guard<Trigger>());
    return true;
}

Guard<Trigger> TimerEvent::GetTrigger() { return LockedCopy(m_Lock, m_Trigger); }

bool TimerEvent::OnTimer(unsigned int id) { return Dispatch(id, Guard<Handler::Param>()); }

IoTrigger::IoTrigger(IoTrigger const& other)
    : Trigger(other), m_Event(other.GetEvent()), m_Notify(other.GetNotifyGuard())
{
}

Guard<IoEvent> IoTrigger::GetEvent() const { return LockedCopy(m_IoLock, m_Event); }

VOR_HOT Guard<Notify> IoTrigger::GetNotifyGuard() const { return LockedCopy(m_IoLock, m_Notify); }

bool IoTrigger::Init(Trigger::Param& param)
{
    if (!Trigger::Init(param))
        return false;
    IoTrigger::Param* ioParam = dynamic_cast<IoTrigger::Param*>(&param);
    if (ioParam == nullptr)
        return false;
    LockedStore(m_IoLock, m_Event, ioParam->m_Event);
    LockedStore(m_IoLock, m_Notify, ioParam->m_Notify);
    Guard<IoEvent> event = GetEvent();
    if (!event.IsValid() || !GetNotifyGuard().IsValid())
        return false;
    return event->Init(IoEvent::Param(Guard<IoTrigger>(this)));
}

bool IoTrigger::UnInit(unsigned int timeout)
{
    Guard<IoEvent> event = GetEvent();
    if (event.IsValid()) {
        // A shared event stays bound to its other groups.
        if (event->Unbind(this))
            event->UnInit();
        LockedStore(m_IoLock, m_Event, Guard<IoEvent>());
    }
    Guard<Notify> notify = GetNotifyGuard();
    if (notify.IsValid()) {
        // Let go before the notify detaches everything: a close path that
        // then finds its socket detached sees that the group is going, and
        // does not report the detach as an error.
        LockedStore(m_IoLock, m_Notify, Guard<Notify>());
        notify->UnInit(timeout);
    }
    return Trigger::UnInit(timeout);
}

Io::WriteHandle IoTrigger::GetDevice(Io::IoBase const&) const { return Io::WriteHandle(); }

IoEvent::IoEvent(IoEvent const& other) : Event(other), m_Triggers(other.GetIoTriggers())
{
    Lock::WriteScope scope(m_Lock);
    StoreOnly();
}

void IoEvent::StoreOnly()
{
    // The old copy is released here, under m_Lock: m_Triggers still holds
    // the trigger, or the caller does, so no destructor runs.
    Guard<IoTrigger> only = m_Triggers.size() == 1 ? m_Triggers.front() : Guard<IoTrigger>();
    m_pOnly.store(only.IsValid() ? only.Raw() : nullptr, std::memory_order_release);
    LockedStore(m_OnlyLock, m_Only, only);
}

std::vector<Guard<IoTrigger>> IoEvent::GetIoTriggers() const
{
    Lock::ReadScope scope(m_Lock);
    return m_Triggers;
}

bool IoEvent::Init(Event::Param const& param)
{
    IoEvent::Param const* ioParam = dynamic_cast<IoEvent::Param const*>(&param);
    if (ioParam == nullptr || !ioParam->m_Trigger.IsValid())
        return false;
    Lock::WriteScope scope(m_Lock);
    for (Guard<IoTrigger> const& bound : m_Triggers) {
        if (bound == ioParam->m_Trigger)
            return true;
    }
    m_Triggers.push_back(ioParam->m_Trigger);
    StoreOnly();
    return true;
}

bool IoEvent::UnInit()
{
    std::vector<Guard<IoTrigger>> released;
    Lock local(m_Lock);
    local.Enter();
    released.swap(m_Triggers);
    StoreOnly();
    local.Leave(); // the triggers are released outside the lock
    return true;
}

bool IoEvent::Unbind(IoTrigger const* trigger)
{
    Guard<IoTrigger> released;
    Lock local(m_Lock);
    local.Enter();
    for (auto it = m_Triggers.begin(); it != m_Triggers.end(); ++it) {
        if (*it == trigger) {
            released = *it;
            m_Triggers.erase(it);
            break;
        }
    }
    StoreOnly();
    bool last = m_Triggers.empty();
    local.Leave();
    return last;
}

Guard<Trigger> IoEvent::GetTrigger()
{
    Guard<IoTrigger> only = LockedCopy(m_OnlyLock, m_Only);
    if (only.IsValid())
        return Guard<Trigger>(only.Raw());
    std::vector<Guard<IoTrigger>> triggers = GetIoTriggers();
    if (triggers.empty())
        return Guard<Trigger>();
    return Guard<Trigger>(triggers.front().Raw());
}

VOR_HOT Io::WriteHandle IoEvent::GetDevice(Io::IoBase const& handle) const
{
    // Inside a report that runs in place in the group bound here, that
    // group, which the report holds.
    Internal::Reporting const* report = Internal::CurrentReport();
    if (report != nullptr && report->inPlace != nullptr && report->inPlace == m_pOnly.load(std::memory_order_acquire))
        return report->inPlace->GetDevice(handle);
    // An event bound to one trigger, the usual case, asks it without a copy
    // of the list. The trigger is asked outside the lock either way.
    Guard<IoTrigger> only = LockedCopy(m_OnlyLock, m_Only);
    if (only.IsValid())
        return only->GetDevice(handle);
    for (Guard<IoTrigger> const& trigger : GetIoTriggers()) {
        Io::WriteHandle device = trigger->GetDevice(handle);
        if (device.IsValid())
            return device;
    }
    return Io::WriteHandle();
}

} // namespace Sched
} // namespace Vor
