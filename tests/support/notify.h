// Helpers for tests of the notify framework and the select engine.
#pragma once

#include <vor/core/callback.h>
#include <vor/io/socket.h>
#include <vor/sched/epoll.h>
#include <vor/sched/notify.h>
#include <vor/sched/select.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace VorTest {

// A SelectNotify that shows the engines of its kind and the engine recorded
// for a handle.
class ProbeNotify : public Vor::Sched::SelectNotify {
public:
    static std::vector<Vor::Core::Guard<Vor::Sched::NotifyBase>> Engines();
    // The select engine recorded for the handle, or null.
    Vor::Sched::PosixSelect* EngineOf(Vor::Io::IoBase const& handle) const;
};

// The process's thread count once every helper thread of the runtime (a
// sanitizer's, started with the first thread) exists.
unsigned int SettledThreadCount();

// A new, initialised notify with the given idle time.
Vor::Core::Guard<ProbeNotify> MakeNotify(unsigned int idleTime = Vor::Sched::Notify::Param::NO_IDLE);

// Holds the thread that calls a hook (the engine's g_BeforeWait or
// g_BeforeIdleCheck) once, after Arm, until Release or destruction.
class HoldHook {
public:
    explicit HoldHook(std::atomic<void (*)()>& hook);
    ~HoldHook();
    void Arm();
    // Waits (bounded) until a thread is held.
    bool Holding();
    void Release();

private:
    std::atomic<void (*)()>& m_Hook;
};

// A new, initialised notify of kind N (SelectNotify, EpollNotify).
template <class N>
Vor::Core::Guard<N> MakeNotifyOf(unsigned int idleTime = Vor::Sched::Notify::Param::NO_IDLE)
{
    N* notify = new N;
    Vor::Core::Guard<N> counted(notify);
    notify->DecRef();
    counted->Init(Vor::Sched::Notify::Param(idleTime));
    return counted;
}

// The two readiness engines, for tests typed over both.
struct SelectKind {
    using Notify = Vor::Sched::SelectNotify;
    using Engine = Vor::Sched::PosixSelect;
    static constexpr char const* name = "Select";
};
struct EpollKind {
    using Notify = Vor::Sched::EpollNotify;
    using Engine = Vor::Sched::PosixEpoll;
    static constexpr char const* name = "Epoll";
};
// Names typed-test instances after the engine.
struct EngineName {
    template <class T>
    static std::string GetName(int) { return T::name; }
};

// Records the reports a callback receives. Read reports can drain what
// arrived and answer, so that level-triggered readiness does not repeat.
class Recorder {
public:
    struct Entry {
        bool read; // a ReadHandle (else a WriteHandle)
        bool readable, writable, except, idle;
        unsigned int thread;
    };

    // A callback taking ReadHandles (Reads) or WriteHandles (Writes).
    Vor::Core::CallBack Reads();
    Vor::Core::CallBack Writes();

    unsigned int Count() const;
    std::vector<Entry> Entries() const;
    // Waits until at least n reports arrived (bounded); false on time-out.
    bool WaitFor(unsigned int n, unsigned int ms = 5000) const;

    // Read reports read what is there (up to 4 KiB) when set.
    std::atomic<bool> drain{true};
    // Read reports write back what they read when set (ping-pong).
    std::atomic<bool> echo{false};
    // Called at the end of every report, when set.
    std::function<void(Vor::Io::IoBase&)> then;

private:
    void OnRead(Vor::Io::ReadHandle handle);
    void OnWrite(Vor::Io::WriteHandle handle);
    void Note(Vor::Io::IoBase& handle, bool read);

    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;
};

} // namespace VorTest
