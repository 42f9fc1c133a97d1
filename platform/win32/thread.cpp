#include "platform/thread.h"
#include "platform/win32/native.h"

#include <new>
#include <process.h>

// Where the two builds differ: a kill here is TerminateThread, which stops
// the thread where it stands. Nothing unwinds and no destructor runs, so the
// caller does the thread's exit bookkeeping itself (see KillUnwinds), and a
// thread killed while it holds a lock leaves it held. NoKill cannot hold a
// termination off and does nothing.

namespace Vor {
namespace Platform {

namespace {

struct Start {
    ThreadEntry entry;
    void* arg;
};

unsigned __stdcall Trampoline(void* p)
{
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    start.entry(start.arg);
    return 0;
}

} // namespace

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

bool CancelThread(ThreadHandle handle)
{
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, static_cast<DWORD>(handle));
    if (thread == nullptr)
        return false;
    BOOL done = TerminateThread(thread, 0);
    if (done)
        WaitForSingleObject(thread, 1000); // the termination completes asynchronously
    CloseHandle(thread);
    return done != FALSE;
}

bool KillUnwinds() { return false; }

void RethrowIfKilled() {}

NoKill::NoKill() : m_iPrevious(0) {}

NoKill::~NoKill() {}

void YieldThread() { SwitchToThread(); }

void CpuRelax() { YieldProcessor(); }

} // namespace Platform
} // namespace Vor
