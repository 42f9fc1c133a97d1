// Starting, identifying and cancelling native threads.
#pragma once

#include <cstdint>

namespace Vor {
namespace Platform {

// An opaque native thread handle; valid while the thread has not finished.
using ThreadHandle = std::uintptr_t;

using ThreadEntry = void (*)(void* arg);

// Starts a detached thread running entry(arg). False when the system
// refused (the entry then never runs).
bool StartThread(ThreadEntry entry, void* arg, ThreadHandle* handle);

// The kernel's id of the calling thread (never 0xFFFFFFFF).
std::uint32_t CurrentThreadId();

// The handle of the calling thread.
ThreadHandle CurrentThread();

// Asks a running thread to stop at its next cancellation point (a blocking
// system call); it unwinds, running its destructors. The caller must know
// that the thread has not finished. False when the request failed.
bool CancelThread(ThreadHandle handle);

// Called first in a catch (...) handler. A killed thread unwinds its stack
// with an exception of its own, and a handler that swallowed it would end
// the process: this rethrows that one and returns for any other.
void RethrowIfKilled();

// Holds off the cancellation of the calling thread while it lives: a
// cancellation requested meanwhile stays pending and takes effect at the
// thread's first cancellation point after the scope. For waits a thread
// must not leave half-way, such as a lock hand-off that has already counted
// it in. Restores the state it found, so the scopes nest.
class NoKill {
public:
    NoKill();
    ~NoKill();
    NoKill(NoKill const&) = delete;
    NoKill& operator=(NoKill const&) = delete;

private:
    int m_iPrevious;
};

// Gives up the processor to another ready thread.
void YieldThread();

// Pauses the processor briefly inside a spin loop.
void CpuRelax();

} // namespace Platform
} // namespace Vor
