// The epoll engine: the NotifyBase behind EpollNotify, for services that
// watch many sockets.
//
// One engine serves up to MAX_SOCKETS (8,192) sockets with one thread. The
// kernel keeps the set of watched sockets, so a wait costs the same whatever
// their number and a change (attach, detach, resume) is one system call made
// by the caller, without waking the thread. What bounds an engine is its one
// thread: every callback of its sockets runs there, one after the other. At
// a few microseconds per callback, 8,192 sockets ready at once take some
// tens of milliseconds to go round, which is the longest a ready socket
// waits for its turn; beyond that a second engine (and thread) takes the
// next sockets, so that the load spreads over the processors. The number of
// descriptors a process may open (ulimit -n) is the other limit, usually
// met first.
//
// The contract is the select engine's: callbacks run on the engine's thread
// with a ReadHandle and then a WriteHandle as the attaches asked, after
// READABLE, WRITABLE, EXCEPT and IDLE are set on the object; a second attach
// of one object widens what is watched and keeps the first callback; a
// paused socket is not reported; a socket still ready is reported again
// (after Resume, or at once when the callback did not pause it); idle
// reports come as the select engine's do, every IdleCheckPeriod from an idle
// checker thread that the epoll engines share, so that application code
// behind them never holds up the engine's thread.
//
// Each socket is registered one-shot: a report disarms it, and it is armed
// again after its callback returns (when it was not paused meanwhile) or by
// Resume. Pause therefore costs no system call, and a report followed by
// Pause ... Resume costs one (the arming at Resume).
//
// Records are keyed by the watched object and reach the kernel under a
// number of their own, never the descriptor's: a descriptor number handed
// out again after a close cannot reach an old record, and every call that
// hands a socket's number to the kernel holds the socket open for the call
// (Io::SocketIo::Use). A socket closed without being detached drops out of
// the kernel's set silently; the next idle check finds it and reports it
// once as an exception, and never idle. Detach sockets before closing them.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/sched/notify.h>
#include <vor/sched/select.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace Vor {
namespace Platform {
class Epoll;
class WakeUp;
}
namespace Io {
class SocketIo;
}

namespace Sched {

// The epoll engine (see above): one kernel set and one thread that waits
// on it.
class VOR_API PosixEpoll : public NotifyBase {
public:
    // Sockets one engine watches (see above).
    static constexpr unsigned int MAX_SOCKETS = 8192;
    // The longest single wait.
    static constexpr unsigned int WAIT_TIMEOUT = 10000;

    // Called with a record the idle check found idle.
    struct VOR_API IdleNotify {
        template <class Info>
        void operator()(Info& info) const;
    };
    using TimeOut = SocketTimeOut<unsigned int, IdleNotify>;

    // The engine's record of one attached socket.
    class VOR_API SocketInfo : public TimeOut::SocketInfo {
    public:
        explicit SocketInfo(unsigned int idleTime) : TimeOut::SocketInfo(idleTime) {}

        Io::IoHandle handle;
        std::atomic<unsigned int> mask{0};
        Core::CallBack callback;
        // The watched object as a socket (kept alive by `handle`).
        Io::SocketIo* io = nullptr;
        // The watched object, and the parameter block of the notify that
        // attached it: what a report tells a pause or resume inside it.
        Io::IoObject const* object = nullptr;
        void const* owner = nullptr;
        // The number the kernel reports the socket under: its slot and the
        // count of its attach (see m_Slots), so never that of another.
        std::uint64_t key = 0;
        // Not paused (and attached): reports are delivered only then.
        std::atomic<bool> selecting{false};
        // Still in the engine's lists. Changed under the engine lock; a
        // resume inside the socket's own report reads it without.
        std::atomic<bool> attached{false};
        // Armed in the kernel's set. Changed under the engine lock; the
        // engine thread may read it without.
        std::atomic<bool> armed{false};
        // Guarded by the engine lock: armed one-shot, so the kernel disarms
        // it at its next report. Otherwise it is armed level-triggered and
        // stays so while reports are delivered; one that comes while the
        // socket is paused disarms it then (a pause costs no system call,
        // and a pause and resume within one report none at all).
        bool oneShot = false;
        // The wait during which (or before whose look at its reports) a
        // resume found the socket still armed, 0 for none. A report of that
        // wait may date from before the resume, when the task of the socket
        // had not yet taken what was there. Written by resumes, read by the
        // engine thread under the engine lock.
        std::atomic<std::uint64_t> resumedIn{0};
        // The wait whose report was delivered last. A resume from another
        // thread arms the socket one-shot when the engine has begun a wait
        // since that the pool's backlog did not pace: when such a wait comes
        // before the task has read (as with one connection), it finds a
        // level-triggered socket ready while paused and disarms it, and the
        // resume arms it again, two calls where one-shot costs one.
        // Otherwise the resume arms it level-triggered, and it stays armed
        // through its next report and pause, which then cost no call at
        // all. Written by the engine thread before the report, read by
        // resumes; the report's task is queued under the pool's lock, which
        // orders the two, so the word needs no ordering of its own.
        std::atomic<std::uint64_t> reportedIn{0};
        // Idle checker only: the socket was found closed under the engine
        // and has had its one exception report.
        bool stale = false;

    protected:
        ~SocketInfo() override = default;
    };

    PosixEpoll();

    bool Init() override;
    bool UnInit(unsigned int timeout) override;
    bool Attach(Io::WriteHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    bool Detach(Io::IoBase const& handle) override;
    bool Pause(Io::IoBase const& handle) override;
    bool Resume(Io::IoBase const& handle) override;
    bool MoveReported(void* record, bool resume) override;
    bool ResumeRecord(Core::LocalRef& record) override;
    bool MoveOpen(Io::IoBase const& handle, bool resume) override;
    bool WatchWrite(Io::IoBase const& handle, bool on) override;
    bool IsFull() const override;

    // Attached sockets, paused ones included.
    unsigned int GetSocketCount() const;
    unsigned int GetThread() const { return m_uThread.load(); }

protected:
    ~PosixEpoll() override;

private:
    using Record = Core::Guard<SocketInfo>;
    // The idle checker the epoll engines share (sched/internal/idle.h).
    using Idle = Internal::IdleChecker<TimeOut::SocketInfo>;

    bool AttachMask(Io::IoBase const& handle, Core::CallBack const& callback, Notify::Param const& param,
                    unsigned int mask);
    // Arms the record in the kernel's set unless it is armed, paused,
    // detached or its object no longer holds the socket, one-shot or
    // level-triggered (see SocketInfo::reportedIn). Engine lock held.
    void ArmLocked(SocketInfo& record, bool oneShot);
    // Disarms a level-triggered record reported while paused. Engine lock
    // held.
    void DisarmLocked(SocketInfo& record);
    bool IsEngineThread() const;
    bool ResumeLocked(SocketInfo& record, bool& paused);
    // Pause and Resume, saying nothing of a closed socket when `quiet`.
    bool PauseOf(Io::IoBase const& handle, bool quiet);
    bool ResumeOf(Io::IoBase const& handle, bool quiet);
    static void ThreadMain(PosixEpoll* engine);
    void WaitProc();
    // The slot table, under the engine lock.
    std::uint64_t TakeSlotLocked();
    void FreeSlotLocked(std::uint64_t key) noexcept;
    SocketInfo* FindSlotLocked(std::uint64_t key) const;
    static void Deliver(SocketInfo& record, unsigned short got);
    static void CheckRecord(TimeOut::SocketInfo& record);

    std::atomic<bool> m_bRunning;
    std::atomic<unsigned int> m_uThread;
    std::unique_ptr<Platform::Epoll> m_pEpoll;
    std::unique_ptr<Platform::WakeUp> m_pWakeUp;
    // Guards both maps, every record's `attached` and `armed`, and every
    // change of the kernel's set, so that a registration always matches
    // the record that holds the socket.
    mutable Core::Lock m_Lock;
    std::unordered_map<std::uintptr_t, Record> m_Objects;
    // The records by the number the kernel reports them under. Its low 32
    // bits name a slot (counted from 1), its high ones the attach that took
    // the slot, so that a report of a record detached since the wait finds
    // nothing even where the slot holds another record by then.
    std::vector<Record> m_Slots;
    std::vector<unsigned int> m_FreeSlots;
    std::uint64_t m_uNextKey;
    // The number of the wait in progress, counted up before each wait.
    std::atomic<std::uint64_t> m_uWaits{0};
    // The number of the last wait not paced by the pool's backlog: such a
    // wait disarms a paused socket that it finds ready.
    std::atomic<std::uint64_t> m_uUnpaced{0};
    // The pool the reports' tasks went to; the engine thread's alone.
    Basic::ThreadPool::Backlog m_Backlog;
};

// The notify whose engines are epoll engines (8,192 sockets each).
class VOR_API EpollNotify : public TypeNotify<EpollNotify> {
public:
    EpollNotify() = default;

protected:
    ~EpollNotify() override;

private:
    Core::Guard<NotifyBase> CreateNotify() const override;
};

extern template class TypeNotify<EpollNotify>;

} // namespace Sched
} // namespace Vor
