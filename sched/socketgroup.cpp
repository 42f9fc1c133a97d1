#include <vor/sched/socketgroup.h>

#include <vor/basic/basic.h>
#include <vor/sched/acceptgroup.h>
#include <vor/sched/connectgroup.h>
#if !defined(_WIN32)
#include <vor/sched/epoll.h>
#endif
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/clock.h"
#include "sched/internal/readiness.h"
#include "sched/internal/selecthooks.h"
#include "sched/internal/sendqueue.h"

#include <new>
#include <typeinfo>
#include <utility>
#include <vector>

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;
using Core::Internal::Report;
using Core::Internal::ReportLine;

namespace {

constexpr unsigned int NO_SOCKET = 0xFFFFFFFFu;
// The pause between closing a socket and opening the group's socket again.
constexpr unsigned int REOPEN_DELAY = 100;

} // namespace

// ---------------------------------------------------------------- SocketGroup

SocketGroup::SocketGroup(Type type) : m_Type(type) {}

SocketGroup::SocketGroup(SocketGroup const& other) : IoTrigger(other), m_Address(other.GetAddress()), m_Type(other.m_Type)
{
}

bool SocketGroup::Init(Trigger::Param& param)
{
    m_bStopping.store(false);
    return IoTrigger::Init(param);
}

bool SocketGroup::UnInit(unsigned int timeout)
{
    m_bStopping.store(true);
    return IoTrigger::UnInit(timeout);
}

Io::Socket::Address SocketGroup::GetAddress() const
{
    Lock::WriteScope scope(m_AddressLock);
    return m_Address;
}

Io::WriteHandle SocketGroup::GetDevice(Io::IoBase const&) const
{
    ReportLine("Can not get device in socket group, this should not happen.");
    return Io::WriteHandle();
}

bool SocketGroup::Create(Io::Socket::Address const& address)
{
    {
        Lock::WriteScope scope(m_AddressLock);
        m_Address = address;
    }
    return CreateGroup();
}

Io::IoHandle SocketGroup::GetSocket() const { return Io::IoHandle(); }

bool SocketGroup::OnOpen(Io::IoBase& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnOpen(handle);
}

bool SocketGroup::OnIdle(Io::IoBase& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnIdle(handle);
}

VOR_HOT bool SocketGroup::OnRead(Io::ReadHandle& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnRead(handle);
}

bool SocketGroup::OnWrite(Io::WriteHandle& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnWrite(handle);
}

bool SocketGroup::OnError(Io::IoBase& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnError(handle);
}

bool SocketGroup::OnClose(Io::IoBase& handle)
{
    Guard<IoEvent> event = GetEvent();
    return event.IsValid() && event->OnClose(handle);
}

bool SocketGroup::IsLive(Io::IoBase const& handle)
{
    return handle.IsValid() && Io::Socket::Param::GetHandle(handle) != NO_SOCKET;
}

VOR_HOT bool SocketGroup::IsOpen(Io::IoBase const& handle) const
{
    if (!IsLive(handle))
        return false;
    if (m_uClosing.load(std::memory_order_acquire) == 0)
        return true;
    Lock::WriteScope scope(m_CloseLock);
    return m_Closing.count(handle.As<Io::IoObject>()) == 0;
}

bool SocketGroup::ClaimClose(Io::IoBase const& handle, bool closed)
{
    Guard<Io::IoObject> object = handle.GetObject();
    Lock::WriteScope scope(m_CloseLock);
    // Checked under the lock: a close path that ended before we got here
    // closed the socket before it gave up its claim.
    if (!closed && handle.IsValid() && Io::Socket::Param::GetHandle(handle) == NO_SOCKET)
        return false;
    bool claimed = m_Closing.insert(object.Raw()).second;
    m_uClosing.store(m_Closing.size(), std::memory_order_release);
    return claimed;
}

bool SocketGroup::DropClosed(Io::IoBase const& handle)
{
    if (IsLive(handle))
        return false;
    // Claimed, so that two reports of it (an idle one and an exception)
    // detach it once. The notify has no record of it after the first
    // detach, and is quiet about it then.
    if (ClaimClose(handle, true)) {
        Guard<Io::IoObject> object = handle.GetObject();
        Guard<Notify> notify = GetNotifyGuard();
        if (notify.IsValid())
            notify->Detach(handle);
        OnDropped(handle);
        OnClosed(object.Raw());
        ReleaseClose(object.Raw());
    }
    return true;
}

void SocketGroup::ReleaseClose(Io::IoObject const* object)
{
    Lock::WriteScope scope(m_CloseLock);
    m_Closing.erase(object);
    m_uClosing.store(m_Closing.size(), std::memory_order_release);
}

void SocketGroup::OnReadNotify(Io::ReadHandle handle)
{
    if (!handle.IsValid() || DropClosed(handle))
        return;
    ReadOpen(handle);
}

VOR_HOT bool SocketGroup::ReadOpen(Io::ReadHandle& handle)
{
    bool keep = true;
    if (handle.GetAttrib(Io::IoParam::READABLE))
        keep = OnRead(handle);
    return ParseNotify(handle, keep);
}

void SocketGroup::OnWriteNotify(Io::WriteHandle handle)
{
    if (!handle.IsValid() || DropClosed(handle))
        return;
    WriteOpen(handle);
}

bool SocketGroup::WriteOpen(Io::WriteHandle& handle)
{
    bool keep = true;
    if (handle.GetAttrib(Io::IoParam::WRITABLE))
        keep = OnWrite(handle);
    return ParseNotify(handle, keep);
}

VOR_HOT bool SocketGroup::ParseNotify(Io::IoBase& handle, bool keep)
{
    // No callback hears of an empty handle; a report that raced the
    // socket's close path (an idle report while a task closes it, or the
    // other way round) has nothing left to do.
    if (!handle.IsValid() || !IsOpen(handle))
        return false;
    using Internal::AttribBit;
    handle.SetAttribs(AttribBit(Io::IoParam::READABLE) | AttribBit(Io::IoParam::WRITABLE), 0);
    unsigned int seen = handle.GetAttribs(AttribBit(Io::IoParam::IDLE) | AttribBit(Io::IoParam::EXCEPT));
    if (seen & AttribBit(Io::IoParam::IDLE)) {
        keep = OnIdle(handle) && keep;
        handle.SetAttrib(Io::IoParam::IDLE, false);
        seen = handle.GetAttribs(AttribBit(Io::IoParam::EXCEPT)); // as OnIdle left it
    }
    if (seen & AttribBit(Io::IoParam::EXCEPT)) {
        OnError(handle);
        handle.SetAttrib(Io::IoParam::EXCEPT, false);
    } else if (keep) {
        return true;
    }
    return ClosePath(handle);
}

bool SocketGroup::ClosePath(Io::IoBase& handle)
{
    // A socket the application closed during a callback is let go of
    // quietly; one it closes while the socket is kept goes at its next
    // report.
    if (DropClosed(handle) || !ClaimClose(handle))
        return false;
    Guard<Io::IoObject> object = handle.GetObject();
    bool reopen = OnClose(handle);
    Guard<Notify> notify = GetNotifyGuard();
    // A group uninitialised meanwhile has had its sockets detached by the
    // notify's UnInit: that failure is no news.
    if (notify.IsValid() && !notify->Detach(handle) && !m_bStopping.load())
        ReportLine("Detach handle from notify error");
    // The old socket is closed before a new one is opened: a reopen on the
    // same address would find it still bound.
    OnClosing(handle);
    bool closed = handle.IsValid() && handle.Close();
    unsigned int error = closed ? 0 : System::GetError();
    OnClosed(object.Raw());
    ReleaseClose(object.Raw());
    if (!closed) {
        Report() << "Close handle error : " << error;
        OnError(handle);
        return false;
    }
    if (!reopen || !notify.IsValid())
        return false;
    // Nothing to open again (a connection of a group whose listener
    // serves): no pause.
    if (!IsReopenNeeded())
        return CreateGroup();
    System::Sleep(REOPEN_DELAY);
    // A group uninitialised during the pause opens nothing.
    if (m_bStopping.load())
        return false;
    reopen = CreateGroup();
    if (!reopen)
        ReportLine("Reopen socket error");
    return reopen;
}

// The guard is the callback's own, lent for the call when the caller holds
// the callback; the group it holds is not const.
VOR_HOT void SocketGroup::ReadReport(Guard<SocketGroup> const& group, Io::ReadHandle const& handle)
{
    SocketGroup& self = *group.Raw();
    if (!TcpGroup::ReportInPlace(self, handle))
        self.OnReadNotify(handle);
}

void SocketGroup::WriteReport(Guard<SocketGroup> const& group, Io::WriteHandle const& handle)
{
    SocketGroup& self = *group.Raw();
    if (!TcpGroup::ReportInPlace(self, handle))
        self.OnWriteNotify(handle);
}

Core::CallBack SocketGroup::GetCallBack(bool read)
{
    Core::CallBack callback;
    Guard<SocketGroup> self(this);
    if (!self.IsValid())
        return callback;
    if (read)
        callback.Bind(&SocketGroup::ReadReport, self);
    else
        callback.Bind(&SocketGroup::WriteReport, self);
    return callback;
}

// ---------------------------------------------------------------- TcpGroup

bool TcpGroup::Pool::OnHandle(Guard<Handler::Param> param)
{
    // The group's own reports by their exact type; anything else by the
    // walk of the class tree.
    Handler::Param* raw = param.Raw();
    ParamProc* proc = nullptr;
    if (raw != nullptr) {
        std::type_info const& type = typeid(*raw);
        if (&type == &typeid(TcpGroup::Param<Io::ReadHandle>))
            proc = static_cast<TcpGroup::Param<Io::ReadHandle>*>(raw);
        else if (&type == &typeid(TcpGroup::Param<Io::WriteHandle>))
            proc = static_cast<TcpGroup::Param<Io::WriteHandle>*>(raw);
        else
            proc = dynamic_cast<ParamProc*>(raw);
    }
    return proc != nullptr && proc->Proc();
}

template <class T>
bool TcpGroup::Param<T>::Proc()
{
    if (!m_Group.IsValid())
        return m_Notify.IsValid() && MoveSocket(*m_Notify, m_Handle, true);
    return m_Group->RunReport(m_Handle, m_Notify, false, nullptr, m_Engine.Raw(), m_Record.Raw());
}

template <class T>
VOR_HOT bool TcpGroup::RunReport(T const& handle, Guard<Notify> const& notify, bool open, Internal::Reporting* report,
                         NotifyBase* engine, Core::LocalRef* record)
{
    bool kept = ContinueNotify(handle, open);
    if (m_bHold.load(std::memory_order_relaxed) && HoldResume(handle, notify))
        return true;
    // A socket the application closed while its report ran is paused and
    // would never be reported again: it is let go of here, quietly. One
    // the report closed was detached with it, and this changes nothing.
    // ParseNotify found a kept socket open a moment ago, and a close from
    // another thread meanwhile fails the resume below.
    if (!kept && DropClosed(handle))
        return true;
    if (report != nullptr && report->engine->MoveReported(report->record, true))
        return true;
    if (record != nullptr && engine->ResumeRecord(*record))
        return true;
    if (notify.IsValid() && MoveSocket(*notify, handle, true))
        return true;
    // Closed between the check and the resume: let go of all the same.
    DropClosed(handle);
    return false;
}

template class TcpGroup::Param<Io::ReadHandle>;
template class TcpGroup::Param<Io::WriteHandle>;

TcpGroup::TcpGroup(Type type) : SocketGroup(type), m_uSequence(GetSeq()) {}

TcpGroup::TcpGroup(TcpGroup const& other) : SocketGroup(other), m_uSequence(GetSeq()) {}

TcpGroup::~TcpGroup() = default;

std::uint64_t TcpGroup::GetSeq() { return (std::uint64_t(1) << 32) + Basic::GetSequence(); }

Guard<Handler> TcpGroup::CreatePool()
{
    Pool* pool = new (std::nothrow) Pool;
    Guard<Handler> counted(pool);
    if (pool != nullptr)
        pool->DecRef();
    return counted;
}

bool TcpGroup::Init(Trigger::Param& param)
{
    Guard<Scheduler> scheduler = param.m_Scheduler;
    Guard<Handler> pool;
    if (scheduler.IsValid())
        pool = CreatePool();
    if (!pool.IsValid() || !scheduler->Register(pool, m_uSequence)) {
        ReportLine("Tcp group create param error or regieter handler error");
        return false;
    }
    {
        Lock::WriteScope scope(m_PoolLock);
        m_PoolScheduler = scheduler;
    }
    SocketGroup::Param* group = dynamic_cast<SocketGroup::Param*>(&param);
    {
        Core::CellLock::Scope scope(m_QueueLock);
        m_bQueuesEnded = false;
        m_uQueueLimit.store(group != nullptr ? group->m_uQueueLimit : 0);
    }
    return SocketGroup::Init(param);
}

bool TcpGroup::UnInit(unsigned int timeout)
{
    // The queues go first, while their sockets are still watched; no new
    // queue is made from here on.
    QueueMap taken;
    {
        Core::CellLock::Scope scope(m_QueueLock);
        m_bQueuesEnded = true;
        taken.swap(m_Queues);
    }
    std::vector<Guard<Internal::SendQueue>> queues;
    for (auto& entry : taken)
        queues.push_back(std::move(entry.second));
    taken.clear();
    std::uint64_t start = Platform::MonotonicMs();
    for (auto& queue : queues) {
        std::uint64_t elapsed = Platform::MonotonicMs() - start;
        queue->Drain(elapsed < timeout ? static_cast<unsigned int>(timeout - elapsed) : 0);
        queue->Abandon();
    }
    queues.clear();
    bool done = SocketGroup::UnInit(timeout);
    Guard<Scheduler> scheduler;
    {
        Lock::WriteScope scope(m_PoolLock);
        std::swap(scheduler, m_PoolScheduler);
    }
    // Tasks already made keep their own reference on the pool.
    if (scheduler.IsValid())
        scheduler->UnRegister(m_uSequence);
    return done;
}

bool TcpGroup::HoldResume(Io::IoBase const&, Guard<Notify> const&) { return false; }

VOR_HOT Io::WriteHandle TcpGroup::GetDevice(Io::IoBase const& handle) const
{
    unsigned int limit = m_uQueueLimit.load(std::memory_order_relaxed);
    if (limit == 0)
        return Io::WriteHandle(handle);
    Io::IoObject const* key = handle.As<Io::IoObject>();
    {
        Core::CellLock::Scope scope(m_QueueLock);
        if (m_bQueuesEnded)
            return Io::WriteHandle();
        auto found = m_Queues.find(key);
        if (found != m_Queues.end())
            return Io::WriteHandle(found->second);
    }
    if (handle.As<Io::SocketIo>() == nullptr)
        return Io::WriteHandle(handle);
    // Made outside the lock, and kept only if it is still wanted then.
    Guard<Internal::SendQueue> made = Core::New<Internal::SendQueue>(Io::IoHandle(handle), GetNotifyGuard(), limit);
    if (!made.IsValid())
        return Io::WriteHandle();
    Io::WriteHandle device;
    {
        Core::CellLock::Scope scope(m_QueueLock);
        auto found = m_Queues.find(key);
        if (m_bQueuesEnded) {
            // no device: the group is going
        } else if (found != m_Queues.end()) {
            device = Io::WriteHandle(found->second); // another thread's, made meanwhile
        } else if (!IsLive(handle)) {
            // Checked under the lock that the close path takes after it
            // closed the socket: a queue is never kept for a socket whose
            // entry that close path has already let go of.
            device = Io::WriteHandle(handle);
        } else {
            found = m_Queues.emplace(key, made).first;
            device = Io::WriteHandle(found->second);
        }
    }
    return device; // a queue not kept goes here, outside the lock
}

std::size_t TcpGroup::GetQueued(Io::IoBase const& handle) const
{
    Guard<Internal::SendQueue> queue = FindQueue(handle);
    return queue.IsValid() ? queue->GetQueued() : 0;
}

Guard<Internal::SendQueue> TcpGroup::FindQueue(Io::IoBase const& handle) const
{
    Core::CellLock::Scope scope(m_QueueLock);
    auto found = m_Queues.find(handle.As<Io::IoObject>());
    return found != m_Queues.end() ? found->second : Guard<Internal::SendQueue>();
}

bool TcpGroup::FlushQueue(Io::IoBase const& handle)
{
    Guard<Internal::SendQueue> queue = FindQueue(handle);
    return queue.IsValid() && queue->Flush();
}

void TcpGroup::OnClosing(Io::IoBase& handle)
{
    // What the kernel takes at once goes; the rest is dropped, and the
    // device fails from now on.
    Guard<Internal::SendQueue> queue = FindQueue(handle);
    if (queue.IsValid()) {
        queue->Flush();
        queue->Abandon();
    }
}

void TcpGroup::OnClosed(Io::IoObject const* object)
{
    Guard<Internal::SendQueue> queue;
    {
        Core::CellLock::Scope scope(m_QueueLock);
        auto found = m_Queues.find(object);
        if (found == m_Queues.end())
            return;
        queue = std::move(found->second);
        m_Queues.erase(found);
    }
    queue->Abandon();
}

template <class T>
bool TcpGroup::ReportInPlace(SocketGroup& group, T const& handle)
{
    if (!IsOwnKind(group))
        return false;
    // As OnReadNotify (OnWriteNotify), which neither kind overrides.
    TcpGroup& tcp = static_cast<TcpGroup&>(group);
    if (handle.GetAttrib(Io::IoParam::IDLE) || !IsLive(handle))
        return false;
    if (!tcp.RunInPlace(handle))
        tcp.DispatchNotify(handle);
    return true;
}

template <class T>
bool TcpGroup::RunInPlace(T const& handle)
{
    // The scheduler is only looked at: a LocalSched's task would run here,
    // and nothing of the scheduler is used for it.
    std::uint64_t version = GetSchedulerVersion(typeid(LocalSched));
    if (version == 0)
        return false;
    if (version != m_uPoolVersion.load(std::memory_order_relaxed)) {
        Guard<Scheduler> scheduler = GetScheduler();
        if (!scheduler.IsValid() || !PoolAt(*scheduler, version, m_uPoolVersion))
            return false;
    }
    // From here on as the task would: paused while it runs, with the group
    // (held by the caller's report) and the notify held for it.
    Guard<Notify> notify = GetNotifyGuard();
    if (!notify.IsValid())
        return true; // uninitialised: the report is dropped
    // A notify of the library's own kinds pauses and resumes the socket
    // of the report on the engine's record of it.
    Internal::Reporting* report = IsOwnNotify(*notify) ? notify->ReportOf(handle) : nullptr;
    // Closed by another thread since it was found open: let go of here.
    if ((report == nullptr || !report->engine->MoveReported(report->record, false)) &&
        !MoveSocket(*notify, handle, false) && DropClosed(handle))
        return true;
    // The event's GetDevice asks this group straight away meanwhile.
    IoTrigger const* outer = report != nullptr ? report->inPlace : nullptr;
    if (report != nullptr)
        report->inPlace = this;
    RunReport(handle, notify, true, report); // found open a moment ago
    if (report != nullptr)
        report->inPlace = outer;
    return true;
}

template <class T>
void TcpGroup::DispatchNotify(T const& handle)
{
    Param<T>* param = new (std::nothrow) Param<T>(handle);
    if (param == nullptr)
        return;
    Guard<Handler::Param> counted(param);
    param->DecRef();
    Guard<Notify> notify = GetNotifyGuard();
    if (!notify.IsValid())
        return; // uninitialised: the report is dropped
    Internal::Reporting* report = IsOwnNotify(*notify) ? notify->ReportOf(handle) : nullptr;
    if (report != nullptr && report->engine->MoveReported(report->record, false)) {
        // The task resumes on the record, holding it and its engine (alive
        // in its own report).
        if (report->held != nullptr && report->engine->IncRefLive()) {
            param->m_Engine = Guard<NotifyBase>::Adopt(report->engine);
            param->m_Record = Guard<Core::LocalRef>(report->held);
        }
    } else if (!MoveSocket(*notify, handle, false) && DropClosed(handle)) {
        return; // closed by another thread since it was found open
    }
    if (IncRefLive())
        param->m_Group = Guard<TcpGroup>::Adopt(this);
    param->m_Notify = std::move(notify);
    if (!param->m_Group.IsValid()) {
        MoveSocket(*param->m_Notify, handle, true); // the group is on its way out
        return;
    }
    // A task the scheduler refused leaves the socket to be reported again;
    // one closed by another thread meanwhile never would be, and is let go
    // of here. `counted` keeps `param` for the resume.
    if (!DispatchTask(counted) && !MoveSocket(*param->m_Notify, handle, true))
        DropClosed(handle);
}

bool TcpGroup::DispatchTask(Guard<Handler::Param> const& param)
{
    if (!IsOwnKind(*this))
        return Dispatch(m_uSequence, param); // the group's own Dispatch
    // Trigger::Dispatch, which neither kind overrides.
    Guard<Scheduler> scheduler = GetScheduler();
    if (!scheduler.IsValid())
        return false;
    Scheduler const& kind = *scheduler;
    std::type_info const& type = typeid(kind);
    if (&type != &typeid(TpSched) && &type != &typeid(StSched))
        return scheduler->Run(m_uSequence, param);
    std::uint64_t version = scheduler->GetVersion();
    if (version != m_uTaskVersion.load(std::memory_order_relaxed) && !PoolAt(*scheduler, version, m_uTaskVersion))
        return scheduler->Run(m_uSequence, param); // says what is missing, if anything
    // One pool for all such tasks, never destroyed; each task holds it.
    static Pool* s_pPool = new Pool;
    s_pPool->IncRefHeld();
    // From an engine's report, the worker is woken after the whole wait's
    // reports (see Reporting::deferWake).
    Internal::Reporting* report = Internal::CurrentReport();
    if (report == nullptr)
        return scheduler->RunHandler(s_pPool, param);
    bool const was = report->deferWake;
    report->deferWake = true;
    bool queued = scheduler->RunHandler(s_pPool, param);
    report->deferWake = was;
    return queued;
}

bool TcpGroup::IsOwnNotify(Notify const& notify)
{
    std::type_info const& type = typeid(notify);
#if !defined(_WIN32)
    if (&type == &typeid(EpollNotify))
        return true;
#endif
    return &type == &typeid(SelectNotify);
}

bool TcpGroup::MoveSocket(Notify const& notify, Io::IoBase const& handle, bool resume)
{
    if (auto hook = Internal::g_BeforeGroupMove.load(std::memory_order_relaxed))
        hook();
    if (!IsOwnNotify(notify))
        return resume ? notify.Resume(handle) : notify.Pause(handle);
    return notify.MoveOpen(handle, resume);
}

bool TcpGroup::IsOwnKind(SocketGroup const& group)
{
    std::type_info const& type = typeid(group);
    return &type == &typeid(AcceptGroup) || &type == &typeid(ConnectGroup);
}

bool TcpGroup::PoolAt(Scheduler const& scheduler, std::uint64_t version, std::atomic<std::uint64_t>& found) const
{
    // A version read before the look-up: a change after it gives another
    // version, and the next report looks again.
    if (scheduler.GetVersion() != version)
        return false;
    Guard<Handler> pool = scheduler.GetHandler(m_uSequence);
    if (!pool.IsValid())
        return false;
    Handler const& handler = *pool;
    if (&typeid(handler) != &typeid(Pool))
        return false;
    found.store(version, std::memory_order_relaxed);
    return true;
}

void TcpGroup::OnReadNotify(Io::ReadHandle handle)
{
    // Idle reports come from the idle checker, not from a wait: handled at
    // once, without pausing the socket. So is the report of a socket the
    // application closed: it is let go of on the spot.
    if (handle.GetAttrib(Io::IoParam::IDLE) || !IsLive(handle)) {
        SocketGroup::OnReadNotify(handle);
        return;
    }
    DispatchNotify(handle);
}

void TcpGroup::OnWriteNotify(Io::WriteHandle handle)
{
    if (handle.GetAttrib(Io::IoParam::IDLE) || !IsLive(handle)) {
        SocketGroup::OnWriteNotify(handle);
        return;
    }
    DispatchNotify(handle);
}

VOR_HOT bool TcpGroup::ContinueNotify(Io::ReadHandle const& handle, bool open)
{
    // A connection whose queue waits for room is also watched for
    // writability, and such reports come here: the queue goes first, and
    // OnWrite hears when it went to its end.
    if (m_uQueueLimit.load(std::memory_order_relaxed) != 0 && handle.GetAttrib(Io::IoParam::WRITABLE) &&
        !handle.GetAttrib(Io::IoParam::IDLE) && IsLive(handle) && FlushQueue(handle)) {
        Io::WriteHandle writable{Io::IoHandle(handle)};
        if (!OnWrite(writable)) {
            Io::ReadHandle copy(handle);
            ParseNotify(copy, false);
            return false;
        }
    }
    // Not known open: as SocketGroup::OnReadNotify. Whether the socket was
    // kept is told only where ParseNotify is SocketGroup's.
    if (!open && (!handle.IsValid() || DropClosed(handle)))
        return false;
    Io::ReadHandle copy(handle); // the callbacks' own, as OnReadNotify's
    return ReadOpen(copy) && (open || IsOwnKind(*this));
}

bool TcpGroup::ContinueNotify(Io::WriteHandle const& handle, bool open)
{
    if (!open && (!handle.IsValid() || DropClosed(handle)))
        return false;
    Io::WriteHandle copy(handle);
    return WriteOpen(copy) && (open || IsOwnKind(*this));
}

} // namespace Sched
} // namespace Vor
