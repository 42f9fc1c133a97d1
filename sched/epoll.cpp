#include <vor/sched/epoll.h>

#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/clock.h"
#include "platform/epoll.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "platform/thread.h"
#include "sched/internal/idle.h"
#include "sched/internal/readiness.h"
#include "sched/internal/selecthooks.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace Vor {
namespace Sched {

using Core::Internal::Report;
using Core::Internal::ReportLine;
using Param = Io::Socket::Param;

namespace {

// The key of the engine's own wake-up; records count from 1.
constexpr std::uint64_t kWakeKey = 0;
// Reports taken from the kernel per wait.
constexpr unsigned int kBatch = 256;

std::uintptr_t ObjectKey(Io::IoBase const& handle)
{
    // The address only, while the caller's handle holds the object.
    return reinterpret_cast<std::uintptr_t>(handle.As<Io::IoObject>());
}

// Sets the readiness attributes that the record watches. The others are the
// object's own (a socket opens READABLE and WRITABLE) and stay as they are.

} // namespace

// ---------------------------------------------------------------- idle reports

template <class Info>
void PosixEpoll::IdleNotify::operator()(Info& info) const
{
    SocketInfo* record = dynamic_cast<SocketInfo*>(&info);
    if (record == nullptr || !record->selecting.load())
        return;
    Io::IoHandle& handle = record->handle;
    unsigned int mask = record->mask.load();
    Internal::SetReadiness(handle, mask, false, false, false, true);
    Internal::CallAttached(record->callback, handle, mask);
}

// Runs on the idle checker's thread for every record of an epoll engine.
void PosixEpoll::CheckRecord(TimeOut::SocketInfo& info)
{
    // The epoll engines' idle list holds their own records only.
    SocketInfo& record = static_cast<SocketInfo&>(info);
    // Paused sockets are neither counted nor reported.
    if (!record.selecting.load())
        return;
    // A socket closed (or replaced) without a detach left the kernel's set
    // unseen: reported once as an exception, as the select engine does, and
    // never reported idle.
    if (record.io->GetHandle() != record.socket) {
        if (!record.stale) {
            record.stale = true;
            Deliver(record, Platform::kPollExcept);
        }
        return;
    }
    TimeOut::Check(record);
}

// ---------------------------------------------------------------- engine

PosixEpoll::PosixEpoll()
    : m_bRunning(false), m_uThread(Core::Thread::INVALID_ID), m_Lock(Core::Lock::MUTEX_LOCK), m_uNextKey(kWakeKey + 1)
{
}

PosixEpoll::~PosixEpoll() = default;

bool PosixEpoll::IsEngineThread() const { return Core::Thread::GetID() == m_uThread.load(); }

bool PosixEpoll::Init()
{
    m_bRunning.store(true);
    unsigned int step = 2;
    m_pEpoll.reset(new (std::nothrow) Platform::Epoll);
    if (m_pEpoll && m_pEpoll->IsValid()) {
        step = 3;
        m_pWakeUp.reset(new (std::nothrow) Platform::WakeUp);
        if (m_pWakeUp && m_pWakeUp->IsValid()) {
            step = 4;
            step = 7;
            if (m_pEpoll->Add(m_pWakeUp->Handle(), kWakeKey, Platform::kPollRead, false) &&
                Idle::Start(&PosixEpoll::CheckRecord)) {
                step = 8;
                // The thread holds a reference to its engine until it ends,
                // so the engine (and the kernel's set) outlives it.
                IncRef();
                Core::CallBack task;
                unsigned int thread = Core::Thread::INVALID_ID;
                if (task.Bind(&PosixEpoll::ThreadMain, this))
                    thread = Core::Thread::Create(task);
                if (thread != Core::Thread::INVALID_ID) {
                    m_uThread.store(thread);
                    return true;
                }
                unsigned int error = System::GetError();
                DecRef();
                Idle::Stop(1000);
                Platform::SetLastError(static_cast<int>(error));
            }
        }
    }
    unsigned int error = System::GetError();
    m_bRunning.store(false);
    m_pWakeUp.reset();
    m_pEpoll.reset();
    Report() << "Epoll notify init error at step " << step << ", error code " << error;
    return false;
}

bool PosixEpoll::UnInit(unsigned int timeout)
{
    if (!m_bRunning.exchange(false))
        return true;
    m_pWakeUp->Signal();
    unsigned int thread = m_uThread.load();
    // From one of its own callbacks the thread cannot wait for itself: it
    // ends when the callback returns.
    if (thread != Core::Thread::INVALID_ID && thread != 0 && !IsEngineThread()) {
        if (!Core::Thread::Wait(thread, timeout))
            Core::Thread::Kill(thread);
    }
    m_uThread.store(0);

    std::vector<Record> dropped;
    {
        Core::Lock::WriteScope scope(m_Lock);
        for (auto& entry : m_Objects) {
            entry.second->attached = false;
            entry.second->selecting.store(false);
            dropped.push_back(std::move(entry.second));
        }
        m_Objects.clear();
        m_Slots.clear();
        m_FreeSlots.clear();
    }
    // The registrations go with the kernel's set when the engine goes; the
    // records (and the handles they hold) are released here, outside the
    // lock.
    for (auto& record : dropped)
        Idle::Remove(record.Raw());
    dropped.clear();
    if (!Idle::Stop(timeout))
        ReportLine("Uninit check idle list error");
    return true;
}

bool PosixEpoll::Attach(Io::WriteHandle const& handle, Core::CallBack const& callback, Notify::Param const& param)
{
    return AttachMask(handle, callback, param, Param::WRITE_MASK | Param::EXCEPT_MASK);
}

bool PosixEpoll::Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param)
{
    return AttachMask(handle, callback, param, Param::READ_MASK | Param::EXCEPT_MASK);
}

bool PosixEpoll::AttachMask(Io::IoBase const& handle, Core::CallBack const& callback, Notify::Param const& param,
                            unsigned int mask)
{
    unsigned int socket = Param::GetHandle(handle);
    unsigned int step = 1;
    try {
        Core::Guard<Io::IoObject> object = handle.GetObject();
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(object.Raw());
        std::uintptr_t key = reinterpret_cast<std::uintptr_t>(object.Raw());
        Record record;
        // Held for the registration: the number cannot become another
        // socket's before the kernel has it.
        Io::SocketIo::Use use;
        if (socket == 0xFFFFFFFFu || io == nullptr || !m_bRunning.load() || use.Take(*io) != socket)
            goto failed;

        step = 2;
        {
            Core::Lock::WriteScope scope(m_Lock);
            auto found = m_Objects.find(key);
            if (found != m_Objects.end()) {
                SocketInfo& known = *found->second;
                unsigned int before = known.mask.fetch_or(mask);
                // An armed registration waits for the old conditions only:
                // armed again with the wider ones.
                if ((before | mask) != before && known.armed.load()) {
                    known.armed = false;
                    ArmLocked(known, known.oneShot);
                }
                return true;
            }
            if (m_Objects.size() >= MAX_SOCKETS)
                goto failed;
        }

        step = 4;
        record = new (std::nothrow) SocketInfo(param.GetIdleTime());
        if (!record.IsValid())
            goto failed;
        record->DecRef();

        step = 5;
        record->socket = socket;
        record->handle = Io::IoHandle(handle);
        record->mask.store(mask);
        record->callback = callback;
        record->io = io;
        record->object = object.Raw();
        record->owner = &param;
        ++record->activity; // the first idle check does not count
        // In the idle list before the engine's: a detach that follows at
        // once finds it in both.
        Idle::Add(Core::Guard<TimeOut::SocketInfo>(record.Raw()));

        step = 6;
        {
            Core::Lock::WriteScope scope(m_Lock);
            // Checked again: another attach may have taken the object or
            // filled the engine since.
            bool registered = false;
            if (m_Objects.count(key) != 0) {
            } else if (m_Objects.size() >= MAX_SOCKETS) {
                step = 2;
            } else {
                step = 7;
                record->key = TakeSlotLocked();
                // Registered under the lock: a detach or another attach of
                // the object cannot slip between the lists and the kernel's
                // set.
                registered = m_pEpoll->Add(socket, record->key, Internal::PollBits(mask), false);
            }
            if (registered) {
                record->attached = true;
                record->armed = true;
                record->selecting.store(true);
                m_Objects.emplace(key, record);
                m_Slots[static_cast<std::uint32_t>(record->key) - 1] = record;
                return true;
            }
            if (step == 7)
                FreeSlotLocked(record->key);
        }
        {
            unsigned int error = System::GetError();
            Idle::Remove(record.Raw());
            Platform::SetLastError(static_cast<int>(error));
        }
        goto failed;
    } catch (...) {
        Platform::RethrowIfKilled();
        Report() << "Attach handle " << socket << " unknown error, error code " << System::GetError();
        return false;
    }
failed:
    Internal::ReportAttachFailure(socket, step, System::GetError());
    return false;
}

void PosixEpoll::ArmLocked(SocketInfo& record, bool oneShot)
{
    if (record.armed.load() || !record.attached || !record.selecting.load())
        return;
    // An object closed (or given another socket) behind the engine's back:
    // its old number may belong to someone else's socket by now. Held for
    // the call, so that it cannot become so meanwhile.
    Io::SocketIo::Use use(*record.io);
    if (use.Handle() != record.socket)
        return;
    bool armed = !Internal::TakeFailure(Internal::g_FailArms) &&
                 m_pEpoll->Arm(record.socket, record.key, Internal::PollBits(record.mask.load()), oneShot);
    if (armed)
        record.oneShot = oneShot;
    record.armed = armed;
}

void PosixEpoll::DisarmLocked(SocketInfo& record)
{
    // A closed socket left the kernel's set with its number, which may be
    // another socket's by now: nothing to do then, and nothing may be done.
    Io::SocketIo::Use use(*record.io);
    if (use.Handle() == record.socket)
        m_pEpoll->Arm(record.socket, record.key, 0, true);
    record.oneShot = true;
    record.armed = false;
}

bool PosixEpoll::Detach(Io::IoBase const& handle)
{
    unsigned int socket = Param::GetHandle(handle);
    std::uintptr_t key = ObjectKey(handle);
    Record record;
    {
        Core::Lock::WriteScope scope(m_Lock);
        auto found = m_Objects.find(key);
        if (found != m_Objects.end()) {
            record = std::move(found->second);
            m_Objects.erase(found);
            FreeSlotLocked(record->key);
            record->attached = false;
            record->selecting.store(false);
            // Only while the object still holds the socket, and held for
            // the call: a closed one leaves the kernel's set by itself, and
            // its number may be another socket's by then.
            Io::SocketIo::Use use(*record->io);
            if (use.Handle() == record->socket)
                m_pEpoll->Remove(record->socket);
        }
    }
    if (record.IsValid()) {
        Idle::Remove(record.Raw());
        return true;
    }
    if (socket == 0xFFFFFFFFu)
        ReportLine("Detach an invalid handle");
    else
        Report() << "Detach handle " << socket << " neither in selecting list nor in pausing list";
    return false;
}

bool PosixEpoll::Pause(Io::IoBase const& handle) { return PauseOf(handle, false); }

bool PosixEpoll::Resume(Io::IoBase const& handle) { return ResumeOf(handle, false); }

bool PosixEpoll::MoveOpen(Io::IoBase const& handle, bool resume)
{
    return resume ? ResumeOf(handle, true) : PauseOf(handle, true);
}

bool PosixEpoll::PauseOf(Io::IoBase const& handle, bool quiet)
{
    // The record is found by its object, and its own object says whether
    // the socket is still open; the number is read only for a failure's
    // message. Inside the socket's own report the engine thread has the
    // record at hand; no other thread changes `selecting` there but a
    // detach, which leaves it false.
    SocketInfo* reported = Internal::ReportedRecord<SocketInfo>(this, handle);
    if (reported != nullptr && MoveReported(reported, false))
        return true;
    // Anything else (a record detached, or attached again, within its
    // report included) is looked up.
    {
        std::uintptr_t key = ObjectKey(handle);
        Core::Lock::WriteScope scope(m_Lock);
        auto found = m_Objects.find(key);
        // No system call: a report that arrives for a paused socket is
        // dropped (and disarms it), and Resume arms it again.
        if (found != m_Objects.end() && found->second->io->GetHandle() != 0xFFFFFFFFu &&
            found->second->selecting.exchange(false))
            return true;
    }
    // Refused above for a close, if that was why: the close came first.
    unsigned int socket = Param::GetHandle(handle);
    if (socket == 0xFFFFFFFFu) {
        if (!quiet)
            ReportLine("Pause an invalid handle");
    } else {
        Report() << "Pause handle " << socket << " is not in selecting list";
    }
    return false;
}

VOR_HOT bool PosixEpoll::MoveReported(void* at, bool resume)
{
    SocketInfo& record = *static_cast<SocketInfo*>(at);
    if (!resume)
        return record.io->GetHandle() != 0xFFFFFFFFu && record.selecting.exchange(false);
    // Inside the socket's own report, on the engine thread, the flag is all
    // a resume needs: after the report the engine arms a registration that
    // is not armed (a pause leaves it armed; a writability watch turned on
    // meanwhile disarms it).
    if (!record.attached.load() || record.io->GetHandle() == 0xFFFFFFFFu || record.selecting.exchange(true))
        return false;
    record.activity.store(1, std::memory_order_relaxed);
    // Read by this thread only, at the engine's next look at its reports.
    record.resumedIn.store(record.armed.load() ? m_uWaits.load() : 0, std::memory_order_relaxed);
    return true;
}

bool PosixEpoll::ResumeRecord(Core::LocalRef& held)
{
    // Only records of this engine are handed here (by the report's engine).
    SocketInfo& record = static_cast<SocketInfo&>(held);
    bool paused = false;
    Core::Lock::WriteScope scope(m_Lock);
    // A record detached since (and maybe attached again as a new one) is
    // left to the look-up.
    if (!record.attached || record.io->GetHandle() == 0xFFFFFFFFu)
        return false;
    return ResumeLocked(record, paused);
}

bool PosixEpoll::ResumeLocked(SocketInfo& record, bool& paused)
{
    if (record.selecting.exchange(true))
        return false;
    paused = true;
    record.activity.store(1, std::memory_order_relaxed);
    // Armed again: a socket that is still ready is reported at once.
    // Still armed when the pause came within its report; then a wait
    // running meanwhile may report what the task has taken.
    bool wasArmed = record.armed.load();
    std::uint64_t reported = record.reportedIn.load(std::memory_order_relaxed);
    ArmLocked(record, !IsEngineThread() && reported < m_uUnpaced.load(std::memory_order_relaxed));
    record.resumedIn = wasArmed ? m_uWaits.load() : 0;
    return record.armed;
}

bool PosixEpoll::ResumeOf(Io::IoBase const& handle, bool quiet)
{
    bool paused = false;
    bool closed = true;
    SocketInfo* reported = Internal::ReportedRecord<SocketInfo>(this, handle);
    if (reported != nullptr && MoveReported(reported, true))
        return true;
    {
        Core::Lock::WriteScope scope(m_Lock);
        SocketInfo* record = reported != nullptr && reported->attached ? reported : nullptr;
        if (record == nullptr) {
            auto found = m_Objects.find(ObjectKey(handle));
            record = found == m_Objects.end() ? nullptr : found->second.Raw();
        }
        closed = record == nullptr ? Param::GetHandle(handle) == 0xFFFFFFFFu : record->io->GetHandle() == 0xFFFFFFFFu;
        if (!closed && record != nullptr && ResumeLocked(*record, paused))
            return true;
    }
    if (closed) {
        if (!quiet)
            ReportLine("Resume an invalid handle");
        return false;
    }
    if (!paused) {
        Report() << "Resume handle " << Param::GetHandle(handle) << " is not in pausing list";
        return false;
    }
    // Not watched after all: the caller learns it, as from a failed wake-up
    // of the select engine, unless a close since was the cause.
    if (quiet && Param::GetHandle(handle) == 0xFFFFFFFFu)
        return false;
    unsigned int error = System::GetError();
    ReportLine("Resume an invalid handle");
    Platform::SetLastError(static_cast<int>(error));
    return false;
}

bool PosixEpoll::WatchWrite(Io::IoBase const& handle, bool on)
{
    std::uintptr_t key = ObjectKey(handle);
    Core::Lock::WriteScope scope(m_Lock);
    auto found = m_Objects.find(key);
    if (found == m_Objects.end() || found->second->io->GetHandle() == 0xFFFFFFFFu)
        return false;
    SocketInfo& record = *found->second;
    unsigned int before = on ? record.mask.fetch_or(Param::WRITE_MASK) : record.mask.fetch_and(~Param::WRITE_MASK);
    // An armed registration waits for the old conditions: armed again with
    // the new ones. A paused one is armed by its Resume; a report that
    // comes for it meanwhile disarms it, as after any pause.
    if (before != record.mask.load() && record.armed.load()) {
        record.armed = false;
        ArmLocked(record, record.oneShot);
    }
    return true;
}

bool PosixEpoll::IsFull() const
{
    Core::Lock::WriteScope scope(m_Lock);
    return m_Objects.size() >= MAX_SOCKETS;
}

unsigned int PosixEpoll::GetSocketCount() const
{
    Core::Lock::WriteScope scope(m_Lock);
    return static_cast<unsigned int>(m_Objects.size());
}

// ---------------------------------------------------------------- engine thread

void PosixEpoll::ThreadMain(PosixEpoll* engine)
{
    engine->WaitProc();
    engine->m_Backlog.Clear();
    engine->DecRef(); // the reference Init took for this thread
}

VOR_HOT void PosixEpoll::WaitProc()
{
    m_uThread.store(Core::Thread::GetID());
    Platform::EpollEvent events[kBatch];
    std::vector<std::pair<Record, unsigned short>> ready;
    ready.reserve(kBatch);
    unsigned int delay = 0;
    while (m_bRunning.load()) {
        unsigned int timeout = Internal::g_SelectTimeout.load();
        // Paced by the backlog: the wait comes at most once per backlog wait,
        // with tasks still queued whose sockets are still ready.
        bool paced = Internal::AwaitBacklog(m_Backlog, timeout);
        if (auto hook = Internal::g_BeforeWait.load())
            hook();
        std::uint64_t wait = m_uWaits.fetch_add(1) + 1;
        if (!paced)
            m_uUnpaced.store(wait, std::memory_order_relaxed);
        int count = Internal::TakeFailure(Internal::g_FailSelects) ? -1 : m_pEpoll->Wait(events, kBatch, timeout);
        if (auto hook = Internal::g_AfterWait.load())
            hook();
        if (count < 0) {
            if (Platform::LastError() == 0)
                Platform::SetLastError(EINVAL);
            if (!m_bRunning.load())
                break;
            Report() << "Epoll wait error " << System::GetError();
            Internal::BackOff(*m_pWakeUp, delay);
            continue;
        }
        delay = 0;
        {
            // Keys are looked up under the lock, so a record detached since
            // the kernel reported it is skipped. A one-shot registration was
            // disarmed by its report; a level-triggered one stays armed.
            Core::Lock::WriteScope scope(m_Lock);
            for (int i = 0; i < count; ++i) {
                if (events[i].key == kWakeKey) {
                    m_pWakeUp->Drain();
                    continue;
                }
                SocketInfo* found = FindSlotLocked(events[i].key);
                if (found == nullptr)
                    continue;
                SocketInfo& record = *found;
                if (record.oneShot) {
                    record.armed = false; // the kernel disarmed it with this report
                } else if (!record.selecting.load()) {
                    // The disarm its pause left for now. A paced wait leaves
                    // it armed: the socket of a task still queued is
                    // reported at each such wait until the task reads it,
                    // which costs less than a disarm and a re-arm, and the
                    // pace keeps the engine from going round on it.
                    if (!paced)
                        DisarmLocked(record);
                    continue;
                }
                if (record.resumedIn == wait) {
                    // Resumed while this wait ran: what it saw may be gone.
                    // The kernel is asked again, and reports what is there.
                    ArmLocked(record, false);
                    continue;
                }
                ready.emplace_back(Record(found), events[i].got);
            }
        }
        for (auto& entry : ready) {
            if (!m_bRunning.load())
                break;
            SocketInfo& record = *entry.first;
            if (record.selecting.load()) {
                record.reportedIn.store(wait, std::memory_order_relaxed);
                // `ready` holds the record through the report.
                Internal::Reporting report{this, record.object, record.owner, &record, nullptr, &record, &m_Backlog};
                Internal::ReportScope scope(report);
                Deliver(record, entry.second);
            }
            // Still armed: level-triggered, or resumed and armed meanwhile.
            if (record.armed.load())
                continue;
            // Armed again unless the callback paused or detached it (then
            // Resume arms it, or nothing does).
            Core::Lock::WriteScope scope(m_Lock);
            ArmLocked(record, false);
        }
        // The workers for the tasks these reports queued, woken together.
        m_Backlog.Wake();
        ready.clear();
    }
}

std::uint64_t PosixEpoll::TakeSlotLocked()
{
    unsigned int slot;
    if (!m_FreeSlots.empty()) {
        slot = m_FreeSlots.back();
        m_FreeSlots.pop_back();
    } else {
        m_Slots.emplace_back();
        // Room for every slot on the free list, so that freeing one, in a
        // detach, never allocates.
        m_FreeSlots.reserve(m_Slots.capacity());
        slot = static_cast<unsigned int>(m_Slots.size());
    }
    return (m_uNextKey++ << 32) | slot;
}

void PosixEpoll::FreeSlotLocked(std::uint64_t key) noexcept
{
    unsigned int slot = static_cast<std::uint32_t>(key);
    m_Slots[slot - 1].Clear();
    m_FreeSlots.push_back(slot);
}

VOR_HOT PosixEpoll::SocketInfo* PosixEpoll::FindSlotLocked(std::uint64_t key) const
{
    std::size_t slot = static_cast<std::uint32_t>(key);
    if (slot == 0 || slot > m_Slots.size())
        return nullptr;
    SocketInfo* record = m_Slots[slot - 1].Raw();
    return record != nullptr && record->key == key ? record : nullptr;
}

VOR_HOT void PosixEpoll::Deliver(SocketInfo& record, unsigned short got)
{
    unsigned int mask = record.mask.load();
    bool read = (mask & Param::READ_MASK) && (got & (Platform::kPollRead | Platform::kPollHangUp));
    bool write = (mask & Param::WRITE_MASK) && (got & (Platform::kPollWrite | Platform::kPollHangUp));
    bool except = (got & Platform::kPollExcept) != 0;
    if (!read && !write && !except)
        return;
    record.activity.store(1, std::memory_order_relaxed);
    Io::IoHandle& handle = record.handle;
    Internal::SetReadiness(handle, mask, read, write, except, false);
    Internal::CallAttached(record.callback, handle, mask);
}

// ---------------------------------------------------------------- EpollNotify

EpollNotify::~EpollNotify() = default;

Core::Guard<NotifyBase> EpollNotify::CreateNotify() const
{
    PosixEpoll* engine = new (std::nothrow) PosixEpoll;
    Core::Guard<NotifyBase> counted(engine);
    if (engine != nullptr)
        engine->DecRef();
    return counted;
}

} // namespace Sched
} // namespace Vor
