#include "platform/mutex.h"
#include "platform/thread.h"

#include <atomic>
#include <climits>
#include <linux/futex.h>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

// A futex word with the owner beside it, instead of a pthread recursive
// mutex: the uncontended lock and unlock are one atomic operation each and
// no call into the C library, which matters on the report road where a
// handful of locks are taken per message. Like pthread_mutex_lock, the wait
// is not a cancellation point.

namespace Vor {
namespace Platform {

namespace {

struct State {
    std::atomic<int> word{0}; // 0 free, 1 held, 2 held with waiters
    unsigned int depth{0};    // touched by the owner only
    std::atomic<void const*> owner{nullptr};
};

State& Native(unsigned char* storage) { return *reinterpret_cast<State*>(storage); }

// The calling thread's identity: the address of a thread-local byte, read
// without a call.
#if defined(__ELF__)
thread_local char t_Self __attribute__((tls_model("initial-exec")));
#else
thread_local char t_Self;
#endif
void const* Self() { return &t_Self; }

void Wait(std::atomic<int>& word, int value)
{
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void Wake(std::atomic<int>& word)
{
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool Reenter(State& s, void const* self)
{
    if (s.owner.load(std::memory_order_relaxed) != self)
        return false;
    ++s.depth;
    return true;
}

void Own(State& s, void const* self)
{
    s.owner.store(self, std::memory_order_relaxed);
    s.depth = 1;
}

void LockSlow(State& s)
{
    int c = s.word.exchange(2, std::memory_order_acquire);
    while (c != 0) {
        Wait(s.word, 2);
        c = s.word.exchange(2, std::memory_order_acquire);
    }
}

} // namespace

RecursiveMutex::RecursiveMutex()
{
    static_assert(sizeof(State) <= sizeof(m_Storage), "mutex storage too small");
    static_assert(std::atomic<void const*>::is_always_lock_free, "owner must be lock-free");
    new (m_Storage) State;
}

RecursiveMutex::~RecursiveMutex() { Native(m_Storage).~State(); }

void RecursiveMutex::Lock()
{
    State& s = Native(m_Storage);
    void const* self = Self();
    if (Reenter(s, self))
        return;
    int c = 0;
    if (!s.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed))
        LockSlow(s);
    Own(s, self);
}

bool RecursiveMutex::TryLock()
{
    State& s = Native(m_Storage);
    void const* self = Self();
    if (Reenter(s, self))
        return true;
    int c = 0;
    if (!s.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed))
        return false;
    Own(s, self);
    return true;
}

void RecursiveMutex::Unlock()
{
    State& s = Native(m_Storage);
    if (s.owner.load(std::memory_order_relaxed) != Self() || s.depth == 0)
        return; // not held by this thread: nothing to release
    if (--s.depth > 0)
        return;
    s.owner.store(nullptr, std::memory_order_relaxed);
    if (s.word.exchange(0, std::memory_order_release) == 2)
        Wake(s.word);
}

void RecursiveMutex::SpinLock(unsigned int spins)
{
    State& s = Native(m_Storage);
    void const* self = Self();
    if (Reenter(s, self))
        return;
    for (unsigned int i = 0; i < spins; ++i) {
        int c = s.word.load(std::memory_order_relaxed);
        if (c == 0 && s.word.compare_exchange_weak(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            Own(s, self);
            return;
        }
        CpuRelax();
    }
    int c = 0;
    if (!s.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed))
        LockSlow(s);
    Own(s, self);
}

} // namespace Platform
} // namespace Vor
