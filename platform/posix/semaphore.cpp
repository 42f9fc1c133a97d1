#include "platform/semaphore.h"
#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <string>

namespace Vor {
namespace Platform {

namespace {

struct SemaphoreState {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    std::uint32_t count = 0;
    std::uint32_t maximum = 0;
    // Posts between their lock and their wake-up: the last thing a post
    // touches is this count, which the destructor waits to see at zero.
    std::atomic<std::uint32_t> posting{0};
};

SemaphoreState* State(unsigned char* storage) { return reinterpret_cast<SemaphoreState*>(storage); }

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
    pthread_cond_destroy(&s->cond);
    pthread_mutex_destroy(&s->mutex);
    s->~SemaphoreState();
}

bool Semaphore::Post(std::uint32_t count)
{
    SemaphoreState* s = State(m_Storage);
    if (count == 0)
        return false;
    // The waiters are woken after the lock is left: a waiter woken inside
    // it would, on a busy processor, run at once only to block on the
    // lock, and cost two more switches and two more system calls before
    // it got its count. A waiter either saw the count under the lock or was
    // waiting before the post took it, so no wake-up is lost.
    s->posting.fetch_add(1, std::memory_order_acq_rel);
    pthread_mutex_lock(&s->mutex);
    bool ok = count <= s->maximum - s->count;
    if (ok)
        s->count += count;
    pthread_mutex_unlock(&s->mutex);
    if (ok) {
        if (count == 1)
            pthread_cond_signal(&s->cond);
        else
            pthread_cond_broadcast(&s->cond);
    }
    s->posting.fetch_sub(1, std::memory_order_release);
    if (!ok)
        errno = EOVERFLOW;
    return ok;
}

bool Semaphore::Wait(std::uint32_t timeoutMs)
{
    SemaphoreState* s = State(m_Storage);
    std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    timespec ts = MonotonicDeadline(deadline);
    pthread_mutex_lock(&s->mutex);
    // A thread cancelled inside the wait unwinds holding the mutex; the
    // guard releases it.
    struct Unlock {
        pthread_mutex_t* m;
        bool held = true;
        ~Unlock()
        {
            if (held)
                pthread_mutex_unlock(m);
        }
    } unlock{&s->mutex};
    bool timedOut = false;
    while (s->count == 0 && !timedOut) {
        if (timeoutMs == 0) {
            timedOut = true;
        } else if (timeoutMs == kInfinite) {
            pthread_cond_wait(&s->cond, &s->mutex);
        } else {
            int rc = pthread_cond_clockwait(&s->cond, &s->mutex, CLOCK_MONOTONIC, &ts);
            timedOut = rc == ETIMEDOUT && s->count == 0;
        }
    }
    bool taken = s->count > 0;
    if (taken)
        --s->count;
    unlock.held = false;
    pthread_mutex_unlock(&s->mutex);
    if (!taken)
        errno = ETIMEDOUT;
    return taken;
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
