#include <vor/sched/timer.h>

#include "platform/clock.h"

#include <new>
#include <vector>

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;
using Core::Thread;

namespace {
constexpr unsigned int IDLE_WAIT_MS = 1000;
constexpr unsigned int STOP_WAIT_MS = 10000;
} // namespace

Timer::Timer()
    : m_uThreadId(Thread::INVALID_ID), m_bRunning(false), m_bThreadActive(false), m_Lock(Lock::MUTEX_LOCK)
{
}

Timer::~Timer() { UnInit(); }

bool Timer::Init(Trigger::Param& param)
{
    if (!Trigger::Init(param))
        return false;
    Timer::Param* timerParam = dynamic_cast<Timer::Param*>(&param);
    if (timerParam == nullptr)
        return false;

    bool idle = false;
    if (!m_bThreadActive.compare_exchange_strong(idle, true))
        return false; // one timer thread at a time

    Guard<TimerEvent> event = timerParam->m_Event;
    if (!event.IsValid()) {
        TimerEvent* plain = new (std::nothrow) TimerEvent;
        event = plain;
        if (plain != nullptr)
            plain->DecRef();
    }
    bool bound = event.IsValid() && event->Init(TimerEvent::Param(this));
    {
        Lock local(m_Lock);
        local.Enter();
        std::swap(m_Event, event);
    }
    event.Clear();
    if (!bound) {
        m_bThreadActive = false;
        return false;
    }

    m_bRunning = true;
    Core::CallBack task;
    task.Bind(this, &Timer::TimerProc, Guard<Timer>(this));
    unsigned int id = Thread::Create(task);
    if (id != Thread::INVALID_ID) {
        m_uThreadId = id;
        return true;
    }

    // No thread: break the timer-event cycle, or neither would ever go.
    m_bRunning = false;
    Guard<TimerEvent> unbound;
    {
        Lock local(m_Lock);
        local.Enter();
        std::swap(m_Event, unbound);
    }
    if (unbound.IsValid())
        unbound->UnInit();
    m_bThreadActive = false;
    return false;
}

bool Timer::UnInit()
{
    {
        Lock local(m_Lock);
        local.Enter();
        m_Table.clear();
    }
    m_bRunning = false;
    m_Signal.Set(1);
    unsigned int id = m_uThreadId.load();
    if (id != Thread::INVALID_ID && id != Thread::GetID())
        Thread::Wait(id, STOP_WAIT_MS);
    return true;
}

bool Timer::AddTimer(unsigned int id, unsigned int interval)
{
    if (interval == 0)
        return false; // it would be due again at once, for ever
    std::uint64_t now = Platform::MonotonicMs();
    {
        Lock local(m_Lock);
        local.Enter();
        m_Table.emplace_hint(m_Table.upper_bound(now), now, Entry{interval, id});
    }
    m_Signal.Set(1);
    return true;
}

bool Timer::KillTimer(unsigned int id)
{
    Lock local(m_Lock);
    local.Enter();
    for (auto it = m_Table.begin(); it != m_Table.end();) {
        if (it->second.m_uId == id)
            it = m_Table.erase(it);
        else
            ++it;
    }
    return true;
}

unsigned int Timer::Collect(std::uint64_t now, std::vector<unsigned int>& fired)
{
    Lock local(m_Lock);
    local.Enter();
    while (!m_Table.empty()) {
        auto first = m_Table.begin();
        if (first->first > now)
            break;
        fired.push_back(first->second.m_uId);
        std::uint64_t next = first->first + first->second.m_uInterval;
        Entry entry = first->second;
        m_Table.erase(first);
        // After any entries already due at `next`: equal due times fire in
        // the order they were (re)inserted.
        m_Table.emplace_hint(m_Table.upper_bound(next), next, entry);
    }
    if (m_Table.empty())
        return IDLE_WAIT_MS;
    std::uint64_t wait = m_Table.begin()->first - now;
    return wait < IDLE_WAIT_MS ? static_cast<unsigned int>(wait) : IDLE_WAIT_MS;
}

// The thread holds a guard on its timer for its whole life, so the timer
// cannot go while the thread still uses it.
void Timer::TimerProc(Guard<Timer> self)
{
    std::vector<unsigned int> fired;
    while (m_bRunning) {
        fired.clear();
        unsigned int wait = Collect(Platform::MonotonicMs(), fired);
        if (!fired.empty()) {
            Guard<TimerEvent> event;
            {
                Lock local(m_Lock);
                local.Enter();
                event = m_Event;
            }
            for (unsigned int id : fired) {
                if (event.IsValid())
                    event->OnTimer(id);
            }
        }
        if (!m_bRunning)
            break;
        m_Signal.Wait(wait);
    }

    // Leaving: the event is released (breaking the timer-event cycle) and
    // the thread's own reference goes last; either may end the timer.
    Guard<TimerEvent> event;
    {
        Lock local(m_Lock);
        local.Enter();
        std::swap(m_Event, event);
    }
    if (event.IsValid())
        event->UnInit();
    unsigned int mine = Thread::GetID();
    m_uThreadId.compare_exchange_strong(mine, Thread::INVALID_ID);
    m_bThreadActive = false;
    event.Clear();
    self.Clear();
}

} // namespace Sched
} // namespace Vor
