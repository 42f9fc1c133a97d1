#include "platform/mutex.h"
#include "platform/win32/native.h"

#include <atomic>
#include <new>

// A critical section, which is recursive already, with its owner and depth
// kept beside it: an unlock by a thread that does not hold the lock must do
// nothing, where a critical section's own count would be corrupted.

namespace Vor {
namespace Platform {

namespace {

struct State {
    CRITICAL_SECTION section;
    std::atomic<DWORD> owner{0}; // 0: nobody (no thread has id 0)
    unsigned int depth{0};       // touched by the owner only
};

State& Native(unsigned char* storage) { return *reinterpret_cast<State*>(storage); }

void Own(State& s, DWORD self)
{
    if (s.depth++ == 0)
        s.owner.store(self, std::memory_order_relaxed);
}

} // namespace

RecursiveMutex::RecursiveMutex()
{
    static_assert(sizeof(State) <= sizeof(m_Storage), "mutex storage too small");
    State* s = new (m_Storage) State;
    InitializeCriticalSection(&s->section);
}

RecursiveMutex::~RecursiveMutex()
{
    State& s = Native(m_Storage);
    DeleteCriticalSection(&s.section);
    s.~State();
}

void RecursiveMutex::Lock()
{
    State& s = Native(m_Storage);
    EnterCriticalSection(&s.section);
    Own(s, GetCurrentThreadId());
}

bool RecursiveMutex::TryLock()
{
    State& s = Native(m_Storage);
    if (!TryEnterCriticalSection(&s.section))
        return false;
    Own(s, GetCurrentThreadId());
    return true;
}

void RecursiveMutex::Unlock()
{
    State& s = Native(m_Storage);
    if (s.owner.load(std::memory_order_relaxed) != GetCurrentThreadId() || s.depth == 0)
        return; // not held by this thread: nothing to release
    if (--s.depth == 0)
        s.owner.store(0, std::memory_order_relaxed);
    LeaveCriticalSection(&s.section);
}

void RecursiveMutex::SpinLock(unsigned int spins)
{
    State& s = Native(m_Storage);
    for (unsigned int i = 0; i < spins; ++i) {
        if (TryEnterCriticalSection(&s.section)) {
            Own(s, GetCurrentThreadId());
            return;
        }
        YieldProcessor();
    }
    Lock();
}

} // namespace Platform
} // namespace Vor
