// Helpers for tests of the notify framework and the readiness engines.
#pragma once

#include <vor/core/callback.h>
#include <vor/io/socket.h>
#if VOR_TEST_HAVE_EPOLL
#include <vor/sched/epoll.h>
#endif
#include <vor/sched/handler.h>
#include <vor/sched/notify.h>
#include <vor/sched/select.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace VorTest {

// The process's thread count once every helper thread of the runtime (a
// sanitizer's, started with the first thread) exists and threads that were
// ending have gone.
unsigned int SettledThreadCount();

// A handler (id 1) that runs its body for every task.
class BodyHandler : public Vor::Sched::Handler {
public:
    explicit BodyHandler(std::function<void()> body) : m_Body(std::move(body)) {}
    unsigned int GetID() override { return 1; }
    bool OnHandle(Vor::Core::Guard<Param>) override
    {
        m_Body();
        return true;
    }

private:
    std::function<void()> m_Body;
};

// A new notify of kind N (SelectNotify, EpollNotify, ...), initialised.
template <class N>
Vor::Core::Guard<N> MakeNotifyOf(unsigned int idleTime = Vor::Sched::Notify::Param::NO_IDLE)
{
    Vor::Core::Guard<N> counted = Vor::Core::New<N>();
    counted->Init(Vor::Sched::Notify::Param(idleTime));
    return counted;
}

// Sets one of the engines' tuning values (selecthooks.h) for a scope.
struct Tune {
    Tune(std::atomic<unsigned int>& value, unsigned int to) : value(value), saved(value.exchange(to)) {}
    ~Tune() { value = saved; }
    std::atomic<unsigned int>& value;
    unsigned int saved;
};

// A SelectNotify that shows the engine recorded for a handle.
class ProbeNotify : public Vor::Sched::SelectNotify {
public:
    Vor::Sched::VOR_NATIVE(Select)* EngineOf(Vor::Io::IoBase const& handle) const;
};

// The two readiness engines, for tests typed over both; `waitError` is the
// line a failing wait writes.
struct SelectKind {
    using Notify = Vor::Sched::SelectNotify;
    using Engine = Vor::Sched::VOR_NATIVE(Select);
    static constexpr char const* name = "Select";
    static constexpr char const* waitError = "Select error \\d+";
};
#if VOR_TEST_HAVE_EPOLL
struct EpollKind {
    using Notify = Vor::Sched::EpollNotify;
    using Engine = Vor::Sched::PosixEpoll;
    static constexpr char const* name = "Epoll";
    static constexpr char const* waitError = "Epoll wait error \\d+";
};
// Both engines where the system has epoll; the select engine alone on others.
using EngineKinds = ::testing::Types<SelectKind, EpollKind>;
#else
using EngineKinds = ::testing::Types<SelectKind>;
#endif
// Names typed-test instances after the engine.
struct EngineName {
    template <class T>
    static std::string GetName(int) { return T::name; }
};

// Holds the thread that calls a hook (the engines' g_BeforeWait or
// g_BeforeIdleCheck) once, after Arm, until Release or destruction.
class HoldHook {
public:
    explicit HoldHook(std::atomic<void (*)()>& hook) : m_Hook(hook)
    {
        s_State = 0;
        m_Hook = &Hold;
    }
    ~HoldHook()
    {
        Release();
        m_Hook = nullptr;
    }
    void Arm() { s_State = 1; }
    // Waits (bounded) until a thread is held.
    bool Holding() { return WaitUntil([] { return s_State.load() == 2; }); }
    void Release() { s_State = 3; }

private:
    static void Hold()
    {
        int armed = 1;
        if (s_State.compare_exchange_strong(armed, 2))
            WaitUntil([] { return s_State.load() == 3; }, std::chrono::milliseconds(5000));
    }
    static inline std::atomic<int> s_State{0}; // 0 idle, 1 armed, 2 holding, 3 released
    std::atomic<void (*)()>& m_Hook;
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

    // Reports so far (for which `pick` holds, when given).
    unsigned int Count(std::function<bool(Entry const&)> const& pick = nullptr) const;
    std::vector<Entry> Entries() const;
    // Waits until at least n reports arrived (bounded); false on time-out.
    bool WaitFor(unsigned int n, unsigned int ms = 5000) const
    {
        return WaitUntil([&] { return Count() >= n; }, std::chrono::milliseconds(ms));
    }
    // True when no report beyond the first n arrives within ms.
    bool Quiet(unsigned int n, unsigned int ms = 300) const { return !WaitFor(n + 1, ms); }

    // Read reports read what is there (up to 4 KiB) when set.
    std::atomic<bool> drain{true};
    // Read reports write back what they read when set (ping-pong).
    std::atomic<bool> echo{false};
    // Called at the end of every report, when set (set it before attaching).
    std::function<void(Vor::Io::IoBase&)> then;

private:
    void OnRead(Vor::Io::ReadHandle handle);
    void OnWrite(Vor::Io::WriteHandle handle);
    void Note(Vor::Io::IoBase& handle, bool read);

    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;
};

} // namespace VorTest
