#include <vor/sched/notify.h>

#include <vor/io/socket.h>
#include <vor/sched/epoll.h>
#include <vor/sched/select.h>

#include "core/internal/diag.h"
#include "sched/internal/readiness.h"

namespace Vor {
namespace Sched {

// ---------------------------------------------------------------- Notify

Notify::Notify() : m_Lock(Core::Lock::READ_WRITE_LOCK) {}

Notify::Notify(Notify const& other) : GlobalRef(other), m_Lock(other.m_Lock)
{
    Core::Lock::ReadScope scope(other.m_Lock);
    m_Param = other.m_Param;
    m_Handles = other.m_Handles;
    m_pOwner.store(m_Param.Raw());
}

Notify::~Notify() { Notify::UnInit(1000); }

bool Notify::Start(Core::Guard<Param> const& param)
{
    {
        Core::Lock::WriteScope scope(m_Lock);
        m_Param = param;
        m_pOwner.store(param.Raw());
    }
    return OnInit(*param);
}

bool Notify::OnInit(Param const&) { return true; }

bool Notify::UnInit(unsigned int)
{
    HandleMap handles;
    {
        Core::Lock::WriteScope scope(m_Lock);
        handles.swap(m_Handles);
        m_pOwner.store(nullptr);
        m_Param.Clear();
    }
    for (auto& entry : handles)
        entry.second.engine->Detach(entry.second.handle);
    return true;
}

template <class T>
bool Notify::TryAttach(HandleParam<T>* param, Core::Guard<NotifyBase> engine)
{
    if (!engine.IsValid())
        return false;
    return engine->Attach(*param->handle, *param->callback, *m_Param);
}

template <class T>
bool Notify::AttachHandle(T const& handle, Core::CallBack const& callback)
{
    // Only sockets can be watched; refusing others here keeps them from
    // being offered to every engine (and from making new ones). No engine
    // would take one, so the caller hears it as such.
    if (Io::Socket::Param::GetHandle(handle) == 0xFFFFFFFFu) {
        Core::Internal::ReportLine("Can not get valid notify");
        return false;
    }
    Core::Lock::WriteScope scope(m_Lock);
    if (!m_Param.IsValid())
        return false;
    auto recorded = m_Handles.find(KeyOf(handle));
    if (recorded != m_Handles.end()) {
        // The engine that holds the object widens what it watches; a second
        // engine must never take it, or two threads would report one socket.
        Core::Guard<NotifyBase> engine = recorded->second.engine;
        engine->Attach(handle, callback, *m_Param);
        return false;
    }
    HandleParam<T> param{&handle, &callback};
    Core::CallBack tryAttach;
    tryAttach.Bind(this, &Notify::TryAttach<T>, &param);
    Core::Guard<NotifyBase> engine = GetNotify(tryAttach);
    if (!engine.IsValid()) {
        Core::Internal::ReportLine("Can not get valid notify");
        return false;
    }
    return m_Handles.emplace(KeyOf(handle), Record{Io::IoHandle(handle), engine}).second;
}

bool Notify::Attach(Io::WriteHandle const& handle, Core::CallBack const& callback)
{
    return AttachHandle(handle, callback);
}

bool Notify::Attach(Io::ReadHandle const& handle, Core::CallBack const& callback)
{
    return AttachHandle(handle, callback);
}

bool Notify::Detach(Io::IoBase const& handle)
{
    Core::Lock::WriteScope scope(m_Lock);
    auto recorded = m_Handles.find(KeyOf(handle));
    if (recorded == m_Handles.end())
        return false;
    Core::Guard<NotifyBase> engine = recorded->second.engine;
    if (!engine->Detach(handle))
        return false;
    m_Handles.erase(recorded);
    return true;
}

bool Notify::Pause(Io::IoBase const& handle) const
{
    return OnEngine(handle, [&](NotifyBase& engine) { return engine.Pause(handle); });
}

bool Notify::Resume(Io::IoBase const& handle) const
{
    return OnEngine(handle, [&](NotifyBase& engine) { return engine.Resume(handle); });
}

bool Notify::MoveOpen(Io::IoBase const& handle, bool resume) const
{
    return OnEngine(handle, [&](NotifyBase& engine) { return engine.MoveOpen(handle, resume); });
}

VOR_HOT Internal::Reporting* Notify::ReportOf(Io::IoBase const& handle) const
{
    Internal::Reporting* report = Internal::CurrentReport();
    if (report == nullptr || report->object != KeyOf(handle) || report->owner == nullptr ||
        report->owner != m_pOwner.load(std::memory_order_acquire))
        return nullptr;
    return report;
}

NotifyBase* Notify::ReportingEngine(Io::IoBase const& handle) const
{
    // Inside its own report the socket is attached here, and its engine
    // holds the record for the report: the look-up would find that engine.
    Internal::Reporting const* report = Internal::CurrentReport();
    if (report == nullptr || report->object != KeyOf(handle))
        return nullptr;
    void const* owner = m_pOwner.load(std::memory_order_acquire);
    return owner != nullptr && report->owner == owner ? report->engine : nullptr;
}

namespace Internal {

#if defined(_WIN32)
#define VOR_REPORT_TLS
#else
#define VOR_REPORT_TLS __attribute__((tls_model("initial-exec")))
#endif

Reporting*& CurrentReport()
{
    static thread_local Reporting* t_pReport VOR_REPORT_TLS = nullptr;
    return t_pReport;
}

} // namespace Internal

bool Notify::WatchWrite(Io::IoBase const& handle, bool on) const
{
    return OnEngine(handle, [&](NotifyBase& engine) { return engine.WatchWrite(handle, on); });
}

template <class Call>
bool Notify::OnEngine(Io::IoBase const& handle, Call call) const
{
    // Inside the socket's own report its engine is at hand; what it refuses
    // there (a record detached or attached again within the report) is
    // asked of the recorded engine, unless that is the same one.
    NotifyBase* reporting = ReportingEngine(handle);
    if (reporting != nullptr && call(*reporting))
        return true;
    return WithEngine(handle, [&](NotifyBase& engine) { return &engine != reporting && call(engine); });
}

template <class Call>
bool Notify::WithEngine(Io::IoBase const& handle, Call call) const
{
    // The read lock stays held across the engine call: a detach cannot take
    // the record away in between.
    Core::Lock::ReadScope scope(m_Lock);
    auto recorded = m_Handles.find(KeyOf(handle));
    if (recorded == m_Handles.end())
        return false;
    return call(*recorded->second.engine.Raw()); // the record holds the engine while the lock is held
}

unsigned int Notify::GetCount() const
{
    Core::Lock::ReadScope scope(m_Lock);
    return static_cast<unsigned int>(m_Handles.size());
}

Core::Guard<NotifyBase> Notify::GetNotify(Io::IoBase const& handle) const
{
    Core::Lock::ReadScope scope(m_Lock);
    auto recorded = m_Handles.find(KeyOf(handle));
    return recorded == m_Handles.end() ? Core::Guard<NotifyBase>() : recorded->second.engine;
}

Core::Guard<Notify::Param> Notify::GetParam() const
{
    Core::Lock::ReadScope scope(m_Lock);
    return m_Param;
}

// ---------------------------------------------------------------- TypeNotify

template <class E>
Core::Lock& TypeNotify<E>::s_Lock = *new Core::Lock(Core::Lock::MUTEX_LOCK);
template <class E>
std::vector<Core::Guard<NotifyBase>>& TypeNotify<E>::s_NotifyList = *new std::vector<Core::Guard<NotifyBase>>;
template <class E>
Core::Value<unsigned int, 1, 0, 4, 1> TypeNotify<E>::s_iTypeCount(0);

template <class E>
TypeNotify<E>::~TypeNotify()
{
    Leave(1000);
}

template <class E>
bool TypeNotify<E>::OnInit(Param const& param)
{
    {
        Core::Lock::WriteScope scope(s_Lock);
        if (!m_bCounted.exchange(true))
            ++s_iTypeCount;
    }
    return Notify::OnInit(param);
}

template <class E>
bool TypeNotify<E>::UnInit(unsigned int timeout)
{
    return Leave(timeout);
}

template <class E>
bool TypeNotify<E>::Leave(unsigned int timeout)
{
    if (!Notify::UnInit(timeout))
        return false;
    std::vector<Core::Guard<NotifyBase>> engines;
    {
        // The count and the list change together under s_Lock, so a notify
        // initialised meanwhile starts a fresh list instead of losing its
        // engines to this shut-down.
        Core::Lock::WriteScope scope(s_Lock);
        if (m_bCounted.exchange(false) && --s_iTypeCount == 0)
            engines.swap(s_NotifyList);
    }
    // Outside s_Lock: an engine's thread may be inside a callback that
    // attaches, and that needs s_Lock to finish.
    for (auto& engine : engines)
        engine->UnInit(timeout);
    return true;
}

template <class E>
Core::Guard<NotifyBase> TypeNotify<E>::GetNotify(Core::CallBack const& tryAttach) const
{
    Core::Lock local(s_Lock);
    local.Enter();
    bool refusedWithRoom = false;
    for (auto& engine : s_NotifyList) {
        bool accepted = false;
        tryAttach.CallBackAR(Core::Guard<NotifyBase>(engine), accepted);
        if (accepted)
            return engine;
        if (!engine->IsFull())
            refusedWithRoom = true;
    }
    // An engine with room refused the handle itself: another engine would
    // refuse it too.
    if (refusedWithRoom)
        return Core::Guard<NotifyBase>();
    local.Leave();

    Core::Guard<NotifyBase> created = CreateNotify();
    if (!created.IsValid() || !created->Init())
        return Core::Guard<NotifyBase>();
    local.Enter();
    s_NotifyList.push_back(created);
    bool accepted = false;
    tryAttach.CallBackAR(Core::Guard<NotifyBase>(created), accepted);
    return accepted ? created : Core::Guard<NotifyBase>();
}

template <class E>
unsigned int TypeNotify<E>::GetTypeCount()
{
    return s_iTypeCount;
}

template <class E>
unsigned int TypeNotify<E>::GetEngineCount()
{
    Core::Lock::WriteScope scope(s_Lock);
    return static_cast<unsigned int>(s_NotifyList.size());
}

template class TypeNotify<SelectNotify>;
template class TypeNotify<EpollNotify>;

// ---------------------------------------------------------------- SelectNotify

SelectNotify::~SelectNotify() = default;

Core::Guard<NotifyBase> SelectNotify::CreateNotify() const
{
    VOR_NATIVE(Select)* engine = new (std::nothrow) VOR_NATIVE(Select);
    Core::Guard<NotifyBase> counted(engine);
    if (engine != nullptr)
        engine->DecRef();
    return counted;
}

} // namespace Sched
} // namespace Vor
