#include <vor/core/thread.h>
#include <vor/sched/scheduler.h>

#include "core/internal/diag.h"
#include "sched/internal/readiness.h"

#include <typeinfo>
#include <utility>

namespace Vor {
namespace Sched {

using Core::CallBack;
using Core::Guard;
using Core::Lock;

namespace {
std::atomic<std::uint64_t> g_NextVersion{1};
std::uint64_t NewVersion() { return g_NextVersion.fetch_add(1, std::memory_order_relaxed); }

#if defined(__ELF__)
#define VOR_FIND_TLS __attribute__((tls_model("initial-exec")))
#else
#define VOR_FIND_TLS
#endif

// What the calling thread found last: under `id`, at the registry's
// `version` of `scheduler`, `handler`, with its counted base taken while it
// was alive. A thread that runs the same handler over and over finds it
// here without the registry's lock, whose word every such thread would
// otherwise write twice per task.
struct LastFound {
    Scheduler const* scheduler;
    std::uint64_t version;
    std::uint64_t id;
    Handler* handler;
    Core::GlobalRef const* counted;
};
thread_local LastFound t_Last VOR_FIND_TLS{};

// Within an engine's report, tells the engine which pool the report's task
// went to, so that its thread waits for the pool's backlog before waiting
// for more.
void NoteQueued(Basic::ThreadPool const& pool)
{
    Internal::Reporting* report = Internal::CurrentReport();
    if (report != nullptr && report->backlog != nullptr)
        report->backlog->Note(pool);
}
} // namespace

Scheduler::Scheduler() : m_Lock(Lock::READ_WRITE_LOCK), m_uVersion(NewVersion()) {}

Scheduler::Scheduler(Scheduler const& other) : GlobalRef(other), m_Lock(other.m_Lock), m_uVersion(NewVersion())
{
    Lock::ReadScope scope(m_Lock);
    m_Registry = other.m_Registry;
}

Scheduler::~Scheduler()
{
    Registry dropped;
    {
        Lock::WriteScope scope(m_Lock);
        dropped.swap(m_Registry);
        m_uVersion.store(NewVersion(), std::memory_order_release);
    }
    // The registry's references go here, outside the lock.
}

bool Scheduler::Init(Param const&) { return true; }

bool Scheduler::UnInit(unsigned int) { return true; }

bool Scheduler::Register(Guard<Handler> handler, std::uint64_t id)
{
    Lock::WriteScope scope(m_Lock);
    // try_emplace leaves `handler` untouched when the id is taken, so no
    // reference can end under the lock.
    if (m_Registry.try_emplace(id, handler).second)
        m_uVersion.store(NewVersion(), std::memory_order_release);
    return true;
}

bool Scheduler::Register(Guard<Handler> handler)
{
    if (!handler.IsValid())
        return false;
    return Register(handler, static_cast<std::uint64_t>(handler->GetID()));
}

bool Scheduler::UnRegister(Guard<Handler> handler)
{
    if (!handler.IsValid())
        return false;
    return UnRegister(static_cast<std::uint64_t>(handler->GetID()));
}

bool Scheduler::UnRegister(std::uint64_t id)
{
    // Declared before the lock's scope: the registry's reference is dropped
    // after the lock is left, since it may be the handler's last.
    Guard<Handler> removed;
    {
        Lock::WriteScope scope(m_Lock);
        auto found = m_Registry.find(id);
        if (found != m_Registry.end()) {
            removed = std::move(found->second);
            m_Registry.erase(found);
            m_uVersion.store(NewVersion(), std::memory_order_release);
        }
    }
    return true;
}

Handler* Scheduler::Find(std::uint64_t id) const
{
    LastFound& last = t_Last;
    std::uint64_t version = GetVersion();
    // Versions are never handed out twice, so a match means this
    // scheduler's registry is as it was when the handler was found there,
    // and still holds it. The handler is counted through the registry of
    // counted objects, which refuses an address whose object has gone; the
    // version read again after it says that no change came between.
    if (last.version == version && last.scheduler == this && last.id == id &&
        Core::GlobalRef::IncRefAt(last.counted)) {
        if (GetVersion() == version)
            return last.handler;
        // Changed meanwhile: the address may even hold another object by
        // now, so the reference goes back through the base it was taken on.
        last.counted->DecRef();
    }
    Lock::ReadScope scope(m_Lock);
    auto found = m_Registry.find(id);
    // Nothing is taken for an empty entry.
    if (found == m_Registry.end() || !found->second.IsValid())
        return nullptr;
    Handler* handler = found->second.Raw();
    handler->IncRefHeld(); // the registry's guard holds it
    // Changes are made under the lock, so the version read under it is the
    // one of what was found.
    last = LastFound{this, m_uVersion.load(std::memory_order_relaxed), id, handler, handler};
    return handler;
}

Guard<Handler> Scheduler::GetHandler(std::uint64_t id) const { return Guard<Handler>::Adopt(Find(id)); }

bool Scheduler::Run(std::uint64_t id, Guard<Handler::Param> param)
{
    // The reference taken here is the one the task keeps.
    Handler* handler = Find(id);
    if (handler == nullptr) {
        Core::Internal::Report() << "Can not find handler " << id << ", this should not happen";
        return false;
    }
    return RunHandler(handler, std::move(param));
}

bool Scheduler::RunHandler(Handler* handler, Guard<Handler::Param> param)
{
    if (&typeid(*this) == &typeid(LocalSched)) {
        // The library's own LocalSched would run the task at once: the
        // handler is called here instead, without building the task. A
        // subclass may watch its tasks, so it still gets them.
        Guard<Handler> held = Guard<Handler>::Adopt(handler);
        handler->OnHandle(std::move(param));
        return true;
    }
    if (&typeid(*this) == &typeid(TpSched)) {
        // The library's own TpSched queues the handler and the parameter as
        // they are, without the callback object a task would need. A
        // subclass gets the task through Run.
        Handler::Param* raw = param.Detach();
        Basic::ThreadPool& pool = static_cast<TpSched*>(this)->m_Pool;
        Basic::ThreadPool::Job job{&Handler::RunJob, &Handler::DropJob, handler, raw};
        Internal::Reporting* report = Internal::CurrentReport();
        if (report != nullptr && report->deferWake && report->backlog != nullptr) {
            if (pool.AddJob(job, *report->backlog))
                return true;
        } else if (pool.AddJob(job)) {
            NoteQueued(pool);
            return true;
        }
        Handler::DropJob(handler, raw);
        return false;
    }
    CallBack task = Handler::MakeTask(handler, std::move(param));
    if (!task.IsValid())
        return false;
    return Run(task);
}

bool StSched::Run(CallBack const& task)
{
    return task.IsValid() && Core::Thread::Create(task) != Core::Thread::INVALID_ID;
}

bool TpSched::Init(Param const& param)
{
    // Without workers the pool would accept every task and run none.
    if (param.m_uThreads == 0)
        return false;
    return m_Pool.Init(param.m_uThreads, 10000);
}

bool TpSched::UnInit(unsigned int timeout) { return m_Pool.UnInit(timeout); }

TpSched::~TpSched() { m_Pool.UnInit(10000); }

bool TpSched::Run(CallBack const& task)
{
    if (!task.IsValid() || !m_Pool.AddTask(task))
        return false;
    NoteQueued(m_Pool);
    return true;
}

bool LocalSched::Run(CallBack const& task) { return task.CallBackV(); }

} // namespace Sched
} // namespace Vor
