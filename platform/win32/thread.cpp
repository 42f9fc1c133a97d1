#include "platform/thread.h"
#include "platform/win32/native.h"

#include <atomic>
#include <map>
#include <new>
#include <process.h>

// Where the two builds differ: a killed thread does not unwind (no destructor
// runs), so the caller does the thread's exit bookkeeping itself (see
// KillUnwinds). Stopping a thread anywhere (TerminateThread alone) would
// leave the heap's or the runtime's locks held by a dead thread, so a kill
// here stops the thread only where it waits in the platform layer (a
// semaphore, a socket call, a select, a sleep), as cancellation points do
// on Linux: the killer suspends it, looks whether it is inside such a wait,
// and terminates it there, or lets it run on a moment and looks again.

namespace Vor {
namespace Platform {

namespace {

struct Start {
    ThreadEntry entry;
    void* arg;
};

// What a killer needs to know of a thread started here, by its id. The
// state lives on the thread's stack; it is listed from the thread's start to
// its end, and read by a killer only while the thread is suspended or
// inside the list's lock.
struct KillState {
    std::atomic<int> waiting{0}; // inside a wait of the platform layer
    std::atomic<int> noKill{0};  // NoKill scopes open
    std::atomic<bool> pending{false}; // a kill that found it outside a wait
};

// The unwind of a thread whose kill waited for its next wait.
struct Killed {};

CRITICAL_SECTION& ListLock()
{
    static CRITICAL_SECTION* s_pLock = [] {
        auto* lock = new CRITICAL_SECTION;
        InitializeCriticalSection(lock);
        return lock;
    }();
    return *s_pLock;
}

std::map<DWORD, KillState*>& List()
{
    static auto* s_pList = new std::map<DWORD, KillState*>;
    return *s_pList;
}

thread_local KillState* t_pKillState = nullptr;

struct Listed {
    KillState state;
    explicit Listed(DWORD id) : m_Id(id)
    {
        EnterCriticalSection(&ListLock());
        List()[id] = &state;
        LeaveCriticalSection(&ListLock());
        t_pKillState = &state;
    }
    ~Listed()
    {
        t_pKillState = nullptr;
        EnterCriticalSection(&ListLock());
        List().erase(m_Id);
        LeaveCriticalSection(&ListLock());
    }
    DWORD m_Id;
};

unsigned __stdcall Trampoline(void* p)
{
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    Listed listed(GetCurrentThreadId());
    try {
        start.entry(start.arg);
    } catch (Killed&) {
        // Unwound at a wait after a kill: the thread's own exit steps ran.
    }
    return 0;
}

// Suspends the thread; true when it then stands inside a wait and outside
// every NoKill scope, so that terminating it leaves no lock of the heap or
// the runtime held. The thread stays suspended either way.
bool SuspendAtWait(HANDLE thread, KillState const& state)
{
    if (SuspendThread(thread) == static_cast<DWORD>(-1))
        return false;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context); // returns once the suspension has taken effect
    return state.waiting.load() > 0 && state.noKill.load() == 0;
}

} // namespace

namespace Win32 {

KillPoint::KillPoint() : m_pState(t_pKillState)
{
    KillState* state = static_cast<KillState*>(m_pState);
    if (state == nullptr)
        return;
    if (state->noKill.load() == 0 && state->pending.exchange(false))
        throw Killed(); // a kill asked for before this wait: unwind from here
    state->waiting.fetch_add(1);
}

KillPoint::~KillPoint()
{
    if (m_pState != nullptr)
        static_cast<KillState*>(m_pState)->waiting.fetch_sub(1);
}

} // namespace Win32

// The handle is the thread's id: the handle _beginthreadex returns is closed
// at once (the thread is detached), and a kill opens the thread by its id.
bool StartThread(ThreadEntry entry, void* arg, ThreadHandle* handle)
{
    Start* start = new (std::nothrow) Start{entry, arg};
    if (start == nullptr)
        return false;
    unsigned id = 0;
    std::uintptr_t thread = _beginthreadex(nullptr, 0, Trampoline, start, 0, &id);
    if (thread == 0) {
        DWORD error = ::GetLastError();
        delete start;
        ::SetLastError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    if (handle != nullptr)
        *handle = static_cast<ThreadHandle>(id);
    return true;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(GetCurrentThreadId()); }

ThreadHandle CurrentThread() { return static_cast<ThreadHandle>(GetCurrentThreadId()); }

// Terminates the thread when it stands inside a wait. Otherwise the kill is
// left pending and the thread unwinds at its next wait (a Killed exception),
// as a cancellation does on Linux: its own exit steps then run, and the
// call reports false. A thread that never waits again is never killed.
bool CancelThread(ThreadHandle handle)
{
    DWORD id = static_cast<DWORD>(handle);
    HANDLE thread = OpenThread(THREAD_TERMINATE | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE, FALSE, id);
    if (thread == nullptr)
        return false;
    bool killed = false;
    // A few looks, for a thread on its way into a wait.
    for (int attempt = 0; attempt < 3 && !killed; ++attempt) {
        EnterCriticalSection(&ListLock());
        auto found = List().find(id);
        KillState* state = found != List().end() ? found->second : nullptr;
        // Suspended inside the list's lock: the thread cannot be ending
        // (unlisting itself) meanwhile.
        bool atWait = state != nullptr && SuspendAtWait(thread, *state);
        if (atWait) {
            killed = TerminateThread(thread, 0) != FALSE;
            if (killed)
                List().erase(found); // its state was on the stack that is gone
            else
                ResumeThread(thread);
        } else if (state != nullptr) {
            if (attempt == 2)
                state->pending = true;
            ResumeThread(thread);
        }
        LeaveCriticalSection(&ListLock());
        if (state == nullptr)
            break; // not one of ours, or it has ended
        if (!killed)
            SwitchToThread();
    }
    if (killed)
        WaitForSingleObject(thread, 1000); // the termination completes asynchronously
    CloseHandle(thread);
    return killed;
}

bool KillUnwinds() { return false; }

void RethrowIfKilled()
{
    try {
        throw;
    } catch (Killed&) {
        throw;
    } catch (...) {
    }
}

NoKill::NoKill() : m_iPrevious(0)
{
    if (t_pKillState != nullptr)
        t_pKillState->noKill.fetch_add(1);
}

NoKill::~NoKill()
{
    if (t_pKillState != nullptr)
        t_pKillState->noKill.fetch_sub(1);
}

void YieldThread() { SwitchToThread(); }

void CpuRelax() { YieldProcessor(); }

} // namespace Platform
} // namespace Vor
