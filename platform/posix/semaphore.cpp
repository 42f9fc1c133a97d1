#include "platform/semaphore.h"
#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

namespace {

// A count in a futex word. Taking and giving are one atomic step each and
// make no system call unless a waiter has to block or be woken: a waiter
// that a condition variable woke would, on the way out, unlock a mutex that
// the C library marks contended after every wait, and pay one more system
// call for the wake-up of nobody.
struct SemaphoreState {
    std::atomic<std::uint32_t> count{0};
    // Threads between announcing themselves and leaving the wait: a post
    // makes its wake-up call only when there are any.
    std::atomic<std::uint32_t> waiters{0};
    std::uint32_t maximum = 0;
    // Posts between their count and their wake-up: the last thing a post
    // touches is this count, which the destructor waits to see at zero.
    std::atomic<std::uint32_t> posting{0};
};

SemaphoreState* State(unsigned char* storage) { return reinterpret_cast<SemaphoreState*>(storage); }

bool TryTake(SemaphoreState& s)
{
    // Sequentially consistent, as a post's count is: a waiter that has
    // announced itself and finds no count here is seen by the next post.
    std::uint32_t count = s.count.load(std::memory_order_seq_cst);
    while (count != 0) {
        if (s.count.compare_exchange_weak(count, count - 1, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
    return false;
}

// Blocks while the count is still 0, at most until the deadline on the
// monotonic clock (null: no limit), and is a cancellation point as a
// condition wait is: a kill asked for before or during the block ends the
// thread here. Cancellation is asynchronous only inside this function,
// which holds nothing and has nothing to clean up; the caller's clean-up
// runs from its call. Built without the address sanitizer's guard zones:
// a kill unwinds past this frame without leaving it, and zones left marked
// there would be reported when the stack below the caller is used again.
__attribute__((noinline, no_sanitize_address)) void BlockWhileZero(std::atomic<std::uint32_t>& word, timespec const* deadline)
{
    int type = PTHREAD_CANCEL_DEFERRED;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &type);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, 0u, deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
    pthread_setcanceltype(type, &type);
}

void Wake(std::atomic<std::uint32_t>& word, std::uint32_t count)
{
    int n = count > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, n, nullptr, nullptr, 0);
}

timespec MonotonicDeadline(std::uint64_t deadlineMs)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(deadlineMs / 1000);
    ts.tv_nsec = static_cast<long>((deadlineMs % 1000) * 1000000);
    return ts;
}

} // namespace

Semaphore::Semaphore(std::uint32_t maximum)
{
    static_assert(sizeof(SemaphoreState) <= sizeof(m_Storage), "semaphore storage too small");
    SemaphoreState* s = new (m_Storage) SemaphoreState;
    s->maximum = maximum;
}

Semaphore::~Semaphore()
{
    SemaphoreState* s = State(m_Storage);
    // A waiter that a post woke may destroy the semaphore while the post
    // has still to return from its wake-up.
    while (s->posting.load(std::memory_order_acquire) != 0)
        sched_yield();
    s->~SemaphoreState();
}

bool Semaphore::Post(std::uint32_t count)
{
    SemaphoreState* s = State(m_Storage);
    if (count == 0)
        return false;
    s->posting.fetch_add(1, std::memory_order_acq_rel);
    std::uint32_t old = s->count.load(std::memory_order_relaxed);
    bool ok = false;
    while (count <= s->maximum - old) {
        // Sequentially consistent, as the waiter's announcement is: either
        // the waiter then sees this count, or this post sees the waiter.
        if (s->count.compare_exchange_weak(old, old + count, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            ok = true;
            break;
        }
    }
    if (ok && s->waiters.load(std::memory_order_seq_cst) != 0)
        Wake(s->count, count);
    s->posting.fetch_sub(1, std::memory_order_release);
    if (!ok)
        errno = EOVERFLOW;
    return ok;
}

bool Semaphore::Wait(std::uint32_t timeoutMs)
{
    SemaphoreState* s = State(m_Storage);
    if (TryTake(*s))
        return true;
    if (timeoutMs == 0) {
        errno = ETIMEDOUT;
        return false;
    }
    std::uint64_t deadlineMs = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    timespec deadline = MonotonicDeadline(deadlineMs);
    timespec const* until = timeoutMs == kInfinite ? nullptr : &deadline;
    // A thread killed inside the block withdraws its announcement on the
    // way out.
    struct Announced {
        std::atomic<std::uint32_t>& waiters;
        ~Announced() { waiters.fetch_sub(1, std::memory_order_relaxed); }
    } announced{s->waiters};
    s->waiters.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        if (TryTake(*s))
            return true;
        // Woken, interrupted by a signal (the wait goes on until the same
        // deadline) or timed out: the clock decides.
        if (until != nullptr && MonotonicMs() >= deadlineMs) {
            errno = ETIMEDOUT;
            return false;
        }
        BlockWhileZero(s->count, until);
    }
}

NamedSemaphore::NamedSemaphore(char const* name) : m_pHandle(nullptr)
{
    if (name == nullptr || *name == '\0')
        return;
    std::string path = name[0] == '/' ? std::string(name) : "/" + std::string(name);
    sem_t* sem = sem_open(path.c_str(), O_CREAT, 0600, 0);
    if (sem != SEM_FAILED)
        m_pHandle = sem;
}

NamedSemaphore::~NamedSemaphore()
{
    if (m_pHandle != nullptr)
        sem_close(static_cast<sem_t*>(m_pHandle));
}

bool NamedSemaphore::Post(std::uint32_t count)
{
    if (m_pHandle == nullptr || count == 0)
        return false;
    sem_t* sem = static_cast<sem_t*>(m_pHandle);
    int value = 0;
    if (sem_getvalue(sem, &value) == 0 && static_cast<std::uint64_t>(value) + count > 0x0FFFFFFFu) {
        errno = EOVERFLOW;
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (sem_post(sem) != 0)
            return false;
    }
    return true;
}

bool NamedSemaphore::Wait(std::uint32_t timeoutMs)
{
    if (m_pHandle == nullptr)
        return false;
    sem_t* sem = static_cast<sem_t*>(m_pHandle);
    if (timeoutMs == 0)
        return sem_trywait(sem) == 0;
    if (timeoutMs == kInfinite) {
        while (sem_wait(sem) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    // Named semaphores only wait against the realtime clock; the wait is
    // re-armed from the monotonic remainder after every interruption.
    std::uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        std::uint64_t now = MonotonicMs();
        if (now >= deadline)
            return sem_trywait(sem) == 0;
        std::uint64_t wallDeadline = WallMs() + (deadline - now);
        timespec ts = MonotonicDeadline(wallDeadline);
        if (sem_timedwait(sem, &ts) == 0)
            return true;
        if (errno != EINTR && errno != ETIMEDOUT)
            return false;
    }
}

} // namespace Platform
} // namespace Vor
