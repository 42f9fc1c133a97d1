// The select engine: the NotifyBase behind SelectNotify.
//
// Each engine owns one selecting thread that waits on up to 64 entries: 63
// attached sockets and the engine's wake-up, through which other threads end
// a wait when the set of watched sockets grows. When sockets become ready the
// thread sets READABLE, WRITABLE or EXCEPT on their objects and calls the
// callback that came with each socket's first attach. All engines share one
// idle checker thread, started with the first engine and stopped with the
// last, which every 10 seconds reports sockets that showed no activity for
// their idle time (setting IDLE).
//
// Records are keyed by the watched object, never by the descriptor number:
// a number the system hands out again after a close cannot reach an old
// record.
#pragma once

#include <vor/core/export.h>

#include <vor/basic/threadpool.h>
#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/io/socket.h>
#include <vor/sched/notify.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace Vor {
namespace Platform {
class WakeUp;
}
namespace Io {
class SocketIo;
}

namespace Sched {

namespace Internal {
template <class Info>
class IdleChecker;
}

// The idle checker's period in milliseconds: SocketTimeOut::CHECK_PERIOD
// outside the library's own tests.
VOR_API unsigned int IdleCheckPeriod();

// Idle bookkeeping of one watched socket.
template <class S, class IdleNotify>
class SocketTimeOut {
public:
    // The idle checker looks at every watched socket this often.
    static constexpr unsigned int CHECK_PERIOD = 10000;

    // The idle checker's record of one attached socket.
    class SocketInfo : public Core::LocalRef {
    public:
        // `idleTime` in milliseconds; Notify::Param::NO_IDLE means never.
        explicit SocketInfo(unsigned int idleTime, IdleNotify notifier = IdleNotify())
            : socket(0), notifier(notifier), periods(0), activity(0), remaining(0)
        {
            // "No idle time" must never come round: as a count of periods it
            // would report every socket idle after 49.7 days.
            if (idleTime != Notify::Param::NO_IDLE)
                periods = idleTime / IdleCheckPeriod();
            remaining.store(static_cast<int>(periods));
        }

        S socket;
        IdleNotify notifier;
        // The idle time in whole check periods; 0: never idle.
        unsigned int periods;
        // Non-zero when the socket showed activity since the last check:
        // set to 1 by a plain store, which costs no locked step per report.
        std::atomic<int> activity;
        // Checks left before the socket counts as idle.
        std::atomic<int> remaining;

    protected:
        ~SocketInfo() override = default;
    };

    // One check of a record: clears its activity or counts it down, and
    // calls its notifier when the count reaches 0. True when it did.
    static bool Check(SocketInfo& info)
    {
        if (info.activity.exchange(0) != 0) {
            info.remaining.store(static_cast<int>(info.periods));
            return false;
        }
        if (info.periods == 0 || info.remaining.fetch_sub(1) - 1 != 0)
            return false;
        info.notifier(info);
        info.remaining.store(static_cast<int>(info.periods));
        return true;
    }
};

// The select engine over a socket type S whose invalid value is Invalid:
// waits on up to MAX_SOCKETS sockets in a thread of its own.
template <class S, int Invalid>
class VOR_API CommonSelect : public NotifyBase {
public:
    // Sockets one engine waits on, its own wake-up included.
    static constexpr unsigned int MAX_SOCKETS = 64;
    // The longest single wait.
    static constexpr unsigned int SELECT_TIMEOUT = 10000;

    // Where the engine's thread is.
    enum State : unsigned int {
        BUILDING = 0,  // collecting the sockets to wait on, or dispatching
        SELECTING = 1, // waiting (or about to wait) on the collected sockets
        SLEEPING = 2,  // not used by this engine: an empty list waits on the wake-up alone
        STOPPED = 3,   // no selecting thread
    };

    // Called with a record the idle checker found idle.
    struct VOR_API IdleNotify {
        template <class Info>
        void operator()(Info& info) const;
    };
    using TimeOut = SocketTimeOut<S, IdleNotify>;

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
        // True while the record is in the selecting list: reports (ready or
        // idle) are delivered only then, so a paused or detached socket is
        // never reported by a wait that began before it left.
        std::atomic<bool> selecting{false};
        // Set once the socket was found closed or replaced under the engine:
        // it is reported once as an exception and no longer waited on.
        std::atomic<bool> stale{false};
        // Paused inside its own report and still in the selecting list: the
        // report's end moves it to the pausing list unless a resume came
        // first. Other threads take it only under the engine lock.
        std::atomic<bool> held{false};

    protected:
        ~SocketInfo() override = default;
    };

    // One entry of a wait; `want` and `got` use the Socket::Param masks,
    // `got` also HANGUP and INVALID.
    struct VOR_API SelectEntry {
        S socket;
        unsigned short want;
        unsigned short got;
    };
    static constexpr unsigned short HANGUP = 0x100;
    static constexpr unsigned short INVALID = 0x200;

    // The selecting thread's working block: the entries to wait on, and
    // the sockets held open while they are waited on (so that a number
    // given back by a close meanwhile cannot be waited on for another
    // socket).
    struct VOR_API SelectSet {
        SelectEntry entries[MAX_SOCKETS];
        Io::SocketIo::Use uses[MAX_SOCKETS];
        unsigned int count = 0;
    };

    bool Init() override;
    bool UnInit(unsigned int timeout) override;
    bool Attach(Io::WriteHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    bool Detach(Io::IoBase const& handle) override;
    bool Pause(Io::IoBase const& handle) override;
    bool Resume(Io::IoBase const& handle) override;
    bool MoveReported(void* record, bool resume) override;
    bool MoveOpen(Io::IoBase const& handle, bool resume) override;
    bool WatchWrite(Io::IoBase const& handle, bool on) override;
    bool IsFull() const override;

    // Attached sockets (selecting and paused), the wake-up not counted.
    unsigned int GetSocketCount() const;
    unsigned int GetState() const { return m_uState.load(); }
    unsigned int GetThread() const { return m_uThread.load(); }
    // Engines initialised and not yet uninitialised, process-wide.
    static unsigned int GetEngineCount();

protected:
    CommonSelect();
    ~CommonSelect() override;

    // Waits on the set for at most `timeout` ms, filling every `got`. False
    // when the wait itself failed.
    virtual bool Select(SelectSet& set, unsigned int timeout) = 0;

private:
    using Record = Core::Guard<SocketInfo>;
    using RecordMap = std::unordered_map<std::uintptr_t, Record>;

    bool AttachMask(Io::IoBase const& handle, Core::CallBack const& callback, Notify::Param const& param,
                    unsigned int mask);
    // Moves the handle's record between the selecting and pausing lists
    // (to selecting when `resume`), reporting misuse (a closed socket only
    // unless `quiet`); `selecting` tells whether the thread had reached
    // SELECTING. Empty when nothing moved.
    Record Move(Io::IoBase const& handle, bool resume, bool& selecting, bool quiet);
    bool PauseOf(Io::IoBase const& handle, bool quiet);
    bool ResumeOf(Io::IoBase const& handle, bool quiet);
    // After a report: a record paused in it and not resumed there leaves
    // the selecting list.
    void Release(SocketInfo& record);
    // Ends a wait in progress so that a socket added to the selecting list
    // is waited on. Not needed from the selecting thread itself.
    bool WakeIfSelecting(bool selecting);
    bool IsSelectingThread() const;
    static void ThreadMain(CommonSelect* engine);
    void SelectProc();
    unsigned int Collect(SelectSet& set, std::vector<Record>& records);
    void Dispatch(SelectSet& set, std::vector<Record>& records);
    void Deliver(SocketInfo& record, unsigned short got);

    // The idle checker this kind of engine shares (sched/internal/idle.h).
    using Idle = Internal::IdleChecker<typename TimeOut::SocketInfo>;
    static bool AddIdle(Record const& record);
    static void RemoveIdle(SocketInfo const* record);
    static void CheckRecord(typename TimeOut::SocketInfo& record);
    static bool StartIdleChecker();
    static bool StopIdleChecker(unsigned int timeout);

    std::atomic<bool> m_bRunning;
    std::atomic<unsigned int> m_uState;
    std::atomic<unsigned int> m_uThread;
    // Guards both lists and the step from building a wait to SELECTING.
    Core::Lock m_Lock;
    std::unique_ptr<Platform::WakeUp> m_pWakeUp;
    // A wake-up was sent and not yet drained: further ones are not needed.
    std::atomic<bool> m_bWakePending;
    RecordMap m_Selecting;
    RecordMap m_Pausing;
    // The pool the reports' tasks went to; the engine thread's alone.
    Basic::ThreadPool::Backlog m_Backlog;
};

// The select engine of this system: waits with poll(), so descriptor numbers
// of any size are fine; the 64-entry limit and the 10-second wait stay.
class VOR_API VOR_NATIVE(Select) : public CommonSelect<unsigned int, -1> {
public:
    VOR_NATIVE(Select)() = default;

protected:
    ~VOR_NATIVE(Select)() override = default;
    bool Select(SelectSet& set, unsigned int timeout) override;
};

extern template class CommonSelect<unsigned int, -1>;

} // namespace Sched
} // namespace Vor
