#include "platform/thread.h"

#include <cerrno>
#include <cxxabi.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

namespace {

struct Start {
    ThreadEntry entry;
    void* arg;
};

void* Trampoline(void* p)
{
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    start.entry(start.arg);
    return nullptr;
}

} // namespace

bool StartThread(ThreadEntry entry, void* arg, ThreadHandle* handle)
{
    Start* start = new (std::nothrow) Start{entry, arg};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        errno = rc;
        return false;
    }
    if (handle != nullptr)
        *handle = static_cast<ThreadHandle>(thread);
    return true;
}

std::uint32_t CurrentThreadId()
{
    // The kernel id is cached per thread: gettid is a system call.
    static thread_local std::uint32_t id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return id;
}

ThreadHandle CurrentThread() { return static_cast<ThreadHandle>(pthread_self()); }

bool CancelThread(ThreadHandle handle)
{
    return pthread_cancel(static_cast<pthread_t>(handle)) == 0;
}

bool KillUnwinds() { return true; }

// The cancellation's unwind carries no exception object: the handler that
// recognises it binds a reference to nothing, which the undefined-behaviour
// checker would stop the process for.
__attribute__((no_sanitize("undefined"))) void RethrowIfKilled()
{
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

NoKill::NoKill() : m_iPrevious(PTHREAD_CANCEL_ENABLE)
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_iPrevious);
}

NoKill::~NoKill()
{
    int ignored;
    pthread_setcancelstate(m_iPrevious, &ignored);
}

void YieldThread() { sched_yield(); }

void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace Platform
} // namespace Vor
