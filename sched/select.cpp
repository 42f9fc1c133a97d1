#include <vor/sched/select.h>

#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/clock.h"
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

namespace Internal {

std::atomic<unsigned int> g_IdleCheckPeriod(10000);
std::atomic<unsigned int> g_SelectTimeout(10000);
std::atomic<int> g_FailWakeUps(0);
std::atomic<int> g_FailSelects(0);
std::atomic<int> g_FailArms(0);
std::atomic<void (*)()> g_BeforeWait(nullptr);
std::atomic<void (*)()> g_AfterWait(nullptr);
std::atomic<void (*)()> g_BeforeIdleCheck(nullptr);
std::atomic<void (*)()> g_BeforeMove(nullptr);
std::atomic<void (*)()> g_BeforeGroupMove(nullptr);

bool TakeFailure(std::atomic<int>& counter)
{
    int left = counter.load();
    while (left > 0) {
        if (counter.compare_exchange_weak(left, left - 1))
            return true;
    }
    return false;
}

} // namespace Internal

using Core::Internal::Report;
using Core::Internal::ReportLine;

namespace {

template <class Engine>
unsigned short FromPoll(unsigned short got)
{
    // Readiness bits are the watch masks' own (see PollBits); the two
    // reported-only bits move up to the engine's.
    static_assert(Platform::kPollHangUp << 5 == Engine::HANGUP && Platform::kPollInvalid << 5 == Engine::INVALID,
                  "reported-only bits moved");
    unsigned short ready = got & (Platform::kPollRead | Platform::kPollWrite | Platform::kPollExcept);
    return static_cast<unsigned short>(ready | ((got & (Platform::kPollHangUp | Platform::kPollInvalid)) << 5));
}

std::uintptr_t KeyOf(void const* p) { return reinterpret_cast<std::uintptr_t>(p); }

} // namespace

unsigned int IdleCheckPeriod()
{
    unsigned int period = Internal::g_IdleCheckPeriod.load();
    return period == 0 ? 10000 : period;
}

// ---------------------------------------------------------------- idle reports

template <class S, int Invalid>
template <class Info>
void CommonSelect<S, Invalid>::IdleNotify::operator()(Info& info) const
{
    SocketInfo* record = dynamic_cast<SocketInfo*>(&info);
    if (record == nullptr)
        return;
    // A record copied by the checker may have been paused, detached or
    // closed since: none of those is reported.
    if (!record->selecting.load() || record->stale.load() || record->io->GetHandle() != record->socket)
        return;
    // Only IDLE is reported: readiness left from the last wait would make
    // the receiver read (or accept) here, beside a task doing the same.
    unsigned int mask = record->mask.load();
    Io::IoHandle& handle = record->handle;
    Internal::SetReadiness(handle, mask, false, false, false, true);
    Internal::CallAttached(record->callback, handle, mask);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::AddIdle(Record const& record)
{
    return Idle::Add(Core::Guard<typename TimeOut::SocketInfo>(record.Raw()));
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::RemoveIdle(SocketInfo const* record)
{
    Idle::Remove(record);
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::CheckRecord(typename TimeOut::SocketInfo& record)
{
    // The idle list holds this engine kind's records only. Paused sockets
    // are neither counted nor reported.
    if (!static_cast<SocketInfo&>(record).selecting.load())
        return;
    TimeOut::Check(record);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::StartIdleChecker()
{
    return Idle::Start(&CommonSelect::CheckRecord);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::StopIdleChecker(unsigned int timeout)
{
    return Idle::Stop(timeout);
}

template <class S, int Invalid>
unsigned int CommonSelect<S, Invalid>::GetEngineCount()
{
    return Idle::Engines();
}

// ---------------------------------------------------------------- engine

template <class S, int Invalid>
CommonSelect<S, Invalid>::CommonSelect()
    : m_bRunning(false), m_uState(STOPPED), m_uThread(Core::Thread::INVALID_ID), m_Lock(Core::Lock::MUTEX_LOCK),
      m_bWakePending(false)
{
}

template <class S, int Invalid>
CommonSelect<S, Invalid>::~CommonSelect() = default;

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::IsSelectingThread() const
{
    return Core::Thread::GetID() == m_uThread.load();
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Init()
{
    m_bRunning.store(true);
    unsigned int step = 2;
    m_pWakeUp.reset(new (std::nothrow) Platform::WakeUp);
    if (m_pWakeUp && m_pWakeUp->IsValid()) {
        // The wake-up takes the first of the 64 entries of every wait.
        step = 7;
        if (StartIdleChecker()) {
            step = 8;
            // The selecting thread holds a reference to its engine until it
            // ends, so the engine cannot be destroyed under it.
            IncRef();
            Core::CallBack task;
            unsigned int thread = Core::Thread::INVALID_ID;
            if (task.Bind(&CommonSelect::ThreadMain, this))
                thread = Core::Thread::Create(task);
            if (thread != Core::Thread::INVALID_ID) {
                m_uThread.store(thread);
                return true;
            }
            unsigned int error = System::GetError();
            DecRef();
            StopIdleChecker(1000);
            Platform::SetLastError(static_cast<int>(error));
        }
    }
    unsigned int error = System::GetError();
    m_bRunning.store(false);
    m_pWakeUp.reset();
    Report() << "Select notify init error at step " << step << ", error code " << error;
    return false;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::UnInit(unsigned int timeout)
{
    if (!m_bRunning.exchange(false))
        return true;
    // Woken so that it sees the flag now, not when its wait times out.
    if (m_pWakeUp)
        m_pWakeUp->Signal();
    unsigned int thread = m_uThread.load();
    // From one of its own callbacks the selecting thread cannot wait for
    // itself: it ends when the callback returns.
    if (thread != Core::Thread::INVALID_ID && thread != 0 && !IsSelectingThread()) {
        if (!Core::Thread::Wait(thread, timeout))
            Core::Thread::Kill(thread);
    }
    m_uThread.store(0);

    std::vector<Record> dropped;
    {
        Core::Lock::WriteScope scope(m_Lock);
        for (RecordMap* list : {&m_Selecting, &m_Pausing}) {
            for (auto& entry : *list) {
                entry.second->selecting.store(false);
                dropped.push_back(std::move(entry.second));
            }
            list->clear();
        }
    }
    for (auto& record : dropped)
        RemoveIdle(record.Raw());
    dropped.clear();
    if (!StopIdleChecker(timeout))
        ReportLine("Uninit check idle list error");
    return true;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Attach(Io::WriteHandle const& handle, Core::CallBack const& callback,
                                      Notify::Param const& param)
{
    return AttachMask(handle, callback, param, Io::Socket::Param::WRITE_MASK | Io::Socket::Param::EXCEPT_MASK);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Attach(Io::ReadHandle const& handle, Core::CallBack const& callback,
                                      Notify::Param const& param)
{
    return AttachMask(handle, callback, param, Io::Socket::Param::READ_MASK | Io::Socket::Param::EXCEPT_MASK);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::AttachMask(Io::IoBase const& handle, Core::CallBack const& callback,
                                          Notify::Param const& param, unsigned int mask)
{
    S const invalid = static_cast<S>(Invalid);
    S socket = static_cast<S>(Io::Socket::Param::GetHandle(handle));
    unsigned int step = 1;
    try {
        Core::Guard<Io::IoObject> object = handle.GetObject();
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(object.Raw());
        std::uintptr_t key = KeyOf(object.Raw());
        bool selecting = false;
        Record record;
        if (socket == invalid || io == nullptr)
            goto failed;

        step = 2;
        {
            Core::Lock local(m_Lock);
            local.Enter();
            for (RecordMap* list : {&m_Selecting, &m_Pausing}) {
                auto found = list->find(key);
                if (found != list->end()) {
                    unsigned int before = found->second->mask.fetch_or(mask);
                    // A wait in progress was built with the old mask: woken,
                    // so that the widened one is watched now rather than
                    // after the wait times out.
                    bool wake = (before | mask) != before && list == &m_Selecting && m_uState.load() == SELECTING;
                    local.Leave();
                    WakeIfSelecting(wake);
                    return true;
                }
            }
            if (m_Selecting.size() + m_Pausing.size() + 1 >= MAX_SOCKETS)
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
        ++record->activity; // the first check does not count
        AddIdle(record);

        step = 6;
        {
            Core::Lock local(m_Lock);
            local.Enter();
            bool taken = m_Selecting.count(key) != 0 || m_Pausing.count(key) != 0;
            // Checked again: another attach may have filled the engine since.
            bool full = m_Selecting.size() + m_Pausing.size() + 1 >= MAX_SOCKETS;
            if (!taken && !full) {
                m_Selecting.emplace(key, record);
                record->selecting.store(true);
                selecting = m_uState.load() == SELECTING;
            } else {
                local.Leave();
                RemoveIdle(record.Raw());
                step = full && !taken ? 2 : 6;
                goto failed;
            }
        }

        step = 7;
        if (!WakeIfSelecting(selecting)) {
            unsigned int error = System::GetError();
            {
                Core::Lock::WriteScope scope(m_Lock);
                m_Selecting.erase(key);
                record->selecting.store(false);
            }
            RemoveIdle(record.Raw());
            Platform::SetLastError(static_cast<int>(error));
            goto failed;
        }
        return true;
    } catch (...) {
        Platform::RethrowIfKilled();
        Report() << "Attach handle " << socket << " unknown error, error code " << System::GetError();
        return false;
    }
failed:
    Internal::ReportAttachFailure(socket, step, System::GetError());
    return false;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Detach(Io::IoBase const& handle)
{
    S socket = static_cast<S>(Io::Socket::Param::GetHandle(handle));
    Core::Guard<Io::IoObject> object = handle.GetObject();
    std::uintptr_t key = KeyOf(object.Raw());
    Record record;
    bool selecting = false;
    {
        Core::Lock::WriteScope scope(m_Lock);
        for (RecordMap* list : {&m_Selecting, &m_Pausing}) {
            auto found = list->find(key);
            if (found != list->end()) {
                record = std::move(found->second);
                list->erase(found);
                break;
            }
        }
        if (record.IsValid()) {
            record->selecting.store(false);
            // A socket paused by another thread may still be in the wait.
            selecting = m_uState.load() == SELECTING;
        }
    }
    if (record.IsValid()) {
        RemoveIdle(record.Raw());
        // A wait in progress holds the system's socket open even after its
        // descriptor is closed (a listener would keep its port): the wait
        // is ended so that a close after the detach really lets go.
        WakeIfSelecting(selecting);
        return true;
    }
    if (socket == static_cast<S>(Invalid))
        ReportLine("Detach an invalid handle");
    else
        Report() << "Detach handle " << socket << " neither in selecting list nor in pausing list";
    return false;
}

template <class S, int Invalid>
typename CommonSelect<S, Invalid>::Record CommonSelect<S, Invalid>::Move(Io::IoBase const& handle, bool resume,
                                                                          bool& selecting, bool quiet)
{
    char const* what = resume ? "Resume" : "Pause";
    S socket = static_cast<S>(Io::Socket::Param::GetHandle(handle));
    if (socket == static_cast<S>(Invalid)) {
        if (!quiet)
            Report() << what << " an invalid handle";
        return Record();
    }
    if (auto hook = Internal::g_BeforeMove.load())
        hook();
    // The handle holds the object for the call.
    std::uintptr_t key = KeyOf(handle.As<Io::IoObject>());
    RecordMap& from = resume ? m_Pausing : m_Selecting;
    RecordMap& to = resume ? m_Selecting : m_Pausing;
    Record record;
    {
        Core::Lock::WriteScope scope(m_Lock);
        auto found = from.find(key);
        // One paused inside its report is still in the selecting list, but
        // no longer selecting: paused already.
        if (found != from.end() && (resume || found->second->selecting.load())) {
            record = found->second;
            record->selecting.store(resume);
            // The map entry itself moves across: no allocation.
            to.insert(from.extract(found));
            selecting = m_uState.load() == SELECTING;
        } else if (resume) {
            // Paused inside its report, which is still running: it goes on
            // selecting where it is.
            auto held = m_Selecting.find(key);
            if (held != m_Selecting.end() && held->second->held.exchange(false)) {
                record = held->second;
                record->selecting.store(true);
                selecting = m_uState.load() == SELECTING;
            }
        }
    }
    if (!record.IsValid())
        Report() << what << " handle " << socket << " is not in " << (resume ? "pausing" : "selecting") << " list";
    return record;
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::Release(SocketInfo& record)
{
    Core::Lock::WriteScope scope(m_Lock);
    if (!record.held.exchange(false))
        return; // resumed meanwhile by another thread
    auto found = m_Selecting.find(KeyOf(record.object));
    // Detached (and perhaps attached again) within the report: nothing of
    // this record is listed any more.
    if (found != m_Selecting.end() && found->second.Raw() == &record)
        m_Pausing.insert(m_Selecting.extract(found));
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Pause(Io::IoBase const& handle)
{
    return PauseOf(handle, false);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::Resume(Io::IoBase const& handle)
{
    return ResumeOf(handle, false);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::MoveOpen(Io::IoBase const& handle, bool resume)
{
    return resume ? ResumeOf(handle, true) : PauseOf(handle, true);
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::PauseOf(Io::IoBase const& handle, bool quiet)
{
    // Inside the socket's own report the selecting thread has the record at
    // hand, and builds no wait before the report ends: the pause only marks
    // it, and the report's end moves it unless a resume came first.
    SocketInfo* reported = Internal::ReportedRecord<SocketInfo>(this, handle);
    if (reported != nullptr && MoveReported(reported, false))
        return true;
    bool selecting = false;
    Record record = Move(handle, false, selecting, quiet);
    if (!record.IsValid())
        return false;
    // No wake-up: a paused socket is not reported, and the next wait is
    // built without it. It stays in the idle list, which passes over it
    // while it is paused.
    return true;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::MoveReported(void* at, bool resume)
{
    SocketInfo& record = *static_cast<SocketInfo*>(at);
    if (record.io->GetHandle() != record.socket)
        return false;
    if (!resume) {
        if (!record.selecting.exchange(false))
            return false;
        record.held.store(true);
        return true;
    }
    if (!record.held.exchange(false))
        return false;
    record.selecting.store(true);
    record.activity.store(1, std::memory_order_relaxed);
    return true;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::ResumeOf(Io::IoBase const& handle, bool quiet)
{
    // A pause within the same report is undone where it was made; the
    // selecting thread needs no wake-up for it.
    SocketInfo* reported = Internal::ReportedRecord<SocketInfo>(this, handle);
    if (reported != nullptr && MoveReported(reported, true))
        return true;
    bool selecting = false;
    Record record = Move(handle, true, selecting, quiet);
    if (!record.IsValid())
        return false;
    record->activity.store(1, std::memory_order_relaxed);
    // The socket is back in the list whatever the wake-up does: without it
    // the thread takes the socket up when its current wait times out.
    WakeIfSelecting(selecting);
    return true;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::WatchWrite(Io::IoBase const& handle, bool on)
{
    std::uintptr_t key = KeyOf(handle.As<Io::IoObject>());
    bool wake = false;
    {
        Core::Lock::WriteScope scope(m_Lock);
        SocketInfo* found = nullptr;
        bool watched = false;
        for (RecordMap* list : {&m_Selecting, &m_Pausing}) {
            auto at = list->find(key);
            if (at != list->end()) {
                found = at->second.Raw();
                watched = list == &m_Selecting;
                break;
            }
        }
        if (found == nullptr || found->io->GetHandle() != found->socket)
            return false;
        unsigned int bit = Io::Socket::Param::WRITE_MASK;
        unsigned int before = on ? found->mask.fetch_or(bit) : found->mask.fetch_and(~bit);
        // A wait in progress was built with the old mask; a paused socket's
        // next wait is built with the new one anyway.
        wake = before != found->mask.load() && watched && m_uState.load() == SELECTING;
    }
    WakeIfSelecting(wake);
    return true;
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::IsFull() const
{
    Core::Lock::WriteScope scope(m_Lock);
    return m_Selecting.size() + m_Pausing.size() + 1 >= MAX_SOCKETS;
}

template <class S, int Invalid>
unsigned int CommonSelect<S, Invalid>::GetSocketCount() const
{
    Core::Lock::WriteScope scope(m_Lock);
    return static_cast<unsigned int>(m_Selecting.size() + m_Pausing.size());
}

template <class S, int Invalid>
bool CommonSelect<S, Invalid>::WakeIfSelecting(bool selecting)
{
    // `selecting` was read under the engine lock together with the list
    // change: a thread that was still building saw the change; one that had
    // reached SELECTING needs the wake-up.
    if (!selecting || IsSelectingThread())
        return true;
    if (m_bWakePending.exchange(true))
        return true;
    if (Internal::TakeFailure(Internal::g_FailWakeUps) || !m_pWakeUp || !m_pWakeUp->Signal()) {
        m_bWakePending.store(false);
        if (Platform::LastError() == 0)
            Platform::SetLastError(EIO);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- selecting thread

template <class S, int Invalid>
void CommonSelect<S, Invalid>::ThreadMain(CommonSelect* engine)
{
    engine->SelectProc();
    engine->m_Backlog.Clear();
    engine->DecRef(); // the reference Init took for this thread
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::SelectProc()
{
    m_uThread.store(Core::Thread::GetID());
    // The records outlive the set: the set's uses point into their objects.
    std::vector<Record> records;
    records.reserve(MAX_SOCKETS);
    SelectSet set;
    unsigned int delay = 0;
    while (m_bRunning.load()) {
        Internal::AwaitBacklog(m_Backlog, Internal::g_SelectTimeout.load());
        unsigned int stale = Collect(set, records);
        unsigned int timeout = stale != 0 ? 0 : Internal::g_SelectTimeout.load();
        if (auto hook = Internal::g_BeforeWait.load())
            hook();
        bool waited = !Internal::TakeFailure(Internal::g_FailSelects) && Select(set, timeout);
        if (!waited && Platform::LastError() == 0)
            Platform::SetLastError(EINVAL);
        int error = Platform::LastError();
        for (unsigned int i = 1; i < set.count; ++i)
            set.uses[i].Drop();
        Platform::SetLastError(error);
        m_uState.store(BUILDING);
        if (!waited) {
            if (!m_bRunning.load())
                break;
            Report() << "Select error " << System::GetError();
            records.clear();
            // The wake-up ends the pause: a change made meanwhile is
            // taken up at once.
            if (Internal::BackOff(*m_pWakeUp, delay))
                m_bWakePending.store(false);
            continue;
        }
        delay = 0;
        Dispatch(set, records);
        records.clear();
    }
    m_uState.store(STOPPED);
}

template <class S, int Invalid>
unsigned int CommonSelect<S, Invalid>::Collect(SelectSet& set, std::vector<Record>& records)
{
    S const invalid = static_cast<S>(Invalid);
    unsigned int stale = 0;
    set.entries[0] = SelectEntry{static_cast<S>(m_pWakeUp->Handle()), Io::Socket::Param::READ_MASK, 0};
    set.count = 1;
    {
        Core::Lock::WriteScope scope(m_Lock);
        for (auto& entry : m_Selecting) {
            SocketInfo* record = entry.second.Raw();
            if (record->stale.load() || set.count >= MAX_SOCKETS)
                continue;
            // A socket closed (or replaced) without a detach is reported
            // once as an exception instead of being waited on: its number
            // may already belong to another socket.
            S socket = record->socket;
            if (static_cast<S>(set.uses[set.count].Take(*record->io)) != socket) {
                set.uses[set.count].Drop();
                socket = invalid;
                ++stale;
            }
            set.entries[set.count++] = SelectEntry{socket, static_cast<unsigned short>(record->mask.load()), 0};
            records.push_back(entry.second);
        }
        // Inside the lock: a change made after this point sees SELECTING and
        // wakes the thread; one made before is in the set.
        m_uState.store(SELECTING);
    }
    return stale;
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::Dispatch(SelectSet& set, std::vector<Record>& records)
{
    if (set.entries[0].got != 0) {
        if (!m_pWakeUp->Drain())
            ReportLine("Can not waitup the selecting thread");
        // Cleared after the drain: a change whose wake-up was skipped
        // because one was pending is seen by the next collection.
        m_bWakePending.store(false);
    }
    for (std::size_t i = 0; i < records.size() && m_bRunning.load(); ++i) {
        SelectEntry const& entry = set.entries[i + 1];
        unsigned short got = entry.socket == static_cast<S>(Invalid) ? INVALID : entry.got;
        if (got == 0)
            continue;
        SocketInfo& record = *records[i];
        // Closed while the wait ran: what was seen may belong to a socket
        // that got the number since.
        if (record.io->GetHandle() != record.socket)
            got = INVALID;
        if (record.selecting.load()) {
            // Reported once: a record closed while paused is not, and its
            // resume (which may have read the socket before the close)
            // brings it to the next wait, which reports it then.
            if (got & INVALID)
                record.stale.store(true);
            // `records` holds the record through the report.
            {
                Internal::Reporting report{this, record.object, record.owner, &record, nullptr, &record, &m_Backlog};
                Internal::ReportScope scope(report);
                Deliver(record, got);
            }
            if (record.held.load())
                Release(record);
        }
    }
    // The workers for the tasks these reports queued, woken together.
    m_Backlog.Wake();
}

template <class S, int Invalid>
void CommonSelect<S, Invalid>::Deliver(SocketInfo& record, unsigned short got)
{
    using Param = Io::Socket::Param;
    unsigned int mask = record.mask.load();
    bool read = (mask & Param::READ_MASK) && (got & (Param::READ_MASK | HANGUP));
    bool write = (mask & Param::WRITE_MASK) && (got & (Param::WRITE_MASK | HANGUP));
    bool except = (got & (Param::EXCEPT_MASK | INVALID)) != 0;
    if (!read && !write && !except)
        return;
    record.activity.store(1, std::memory_order_relaxed);
    // Each watched readiness as this wait saw it, and no idleness: nothing
    // left from an earlier report. An exception is told unwatched too.
    Io::IoHandle& handle = record.handle;
    Internal::SetReadiness(handle, mask | (except ? Param::EXCEPT_MASK : 0), read, write, except, false);
    Internal::CallAttached(record.callback, handle, mask);
}

bool VOR_NATIVE(Select)::Select(SelectSet& set, unsigned int timeout)
{
    Platform::PollEntry entries[MAX_SOCKETS];
    for (unsigned int i = 0; i < set.count; ++i)
        entries[i] = Platform::PollEntry{set.entries[i].socket, Internal::PollBits(set.entries[i].want), 0};
    if (Platform::Poll(entries, set.count, timeout) < 0)
        return false;
    for (unsigned int i = 0; i < set.count; ++i)
        set.entries[i].got = FromPoll<VOR_NATIVE(Select)>(entries[i].got);
    return true;
}

template class CommonSelect<unsigned int, -1>;

} // namespace Sched
} // namespace Vor
