#include <vor/sched/event.h>

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;

namespace {

// Reads a stored guard that another thread may replace at the same time.
template <class T>
Guard<T> LockedCopy(Lock const& lock, Guard<T> const& stored)
{
    Lock local(lock);
    local.Enter();
    return stored;
}

// Replaces a stored guard; the old object is released outside the lock,
// since its last release may run a destructor that calls back in here.
template <class T>
void LockedStore(Lock const& lock, Guard<T>& stored, Guard<T> value)
{
    {
        Lock local(lock);
        local.Enter();
        std::swap(stored, value);
    }
    value.Clear();
}

} // namespace

Trigger::Trigger(Trigger const& other) : GlobalRef(other), m_Scheduler(other.GetScheduler()) {}

Guard<Scheduler> Trigger::GetScheduler() const { return LockedCopy(m_Lock, m_Scheduler); }

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

} // namespace Sched
} // namespace Vor
