// Starting, identifying and cancelling native threads.
#pragma once

#include "platform/export.h"

#include <cstdint>

namespace Vor {
namespace Platform {

// An opaque native thread handle; valid while the thread has not finished.
using ThreadHandle = std::uintptr_t;

using ThreadEntry = void (*)(void* arg);

// Starts a detached thread running entry(arg). False when the system
// refused (the entry then never runs).
VOR_PLATFORM_API bool StartThread(ThreadEntry entry, void* arg, ThreadHandle* handle);

// The kernel's id of the calling thread (never 0xFFFFFFFF).
VOR_PLATFORM_API std::uint32_t CurrentThreadId();

// The handle of the calling thread.
VOR_PLATFORM_API ThreadHandle CurrentThread();

// Asks a running thread to stop at its next cancellation point (a blocking
// system call); it unwinds, running its destructors. The caller must know
// that the thread has not finished. False when the request failed.
VOR_PLATFORM_API bool CancelThread(ThreadHandle handle);

// True when a cancelled thread unwinds (running its destructors, so its own
// exit steps run); false where a cancellation stops the thread outright and
// the canceller must do what the thread would have done on its way out.
VOR_PLATFORM_API bool KillUnwinds();

// Called first in a catch (...) handler. A killed thread unwinds its stack
// with an exception of its own, and a handler that swallowed it would end
// the process: this rethrows that one and returns for any other.
VOR_PLATFORM_API void RethrowIfKilled();

// Holds off the cancellation of the calling thread while it lives: a
// cancellation requested meanwhile stays pending and takes effect at the
// thread's first cancellation point after the scope. For waits a thread
// must not leave half-way, such as a lock hand-off that has already counted
// it in. Restores the state it found, so the scopes nest.
class VOR_PLATFORM_API NoKill {
public:
    NoKill();
    ~NoKill();
    NoKill(NoKill const&) = delete;
    NoKill& operator=(NoKill const&) = delete;

private:
    int m_iPrevious;
};

// Gives up the processor to another ready thread.
VOR_PLATFORM_API void YieldThread();

// Pauses the processor briefly inside a spin loop.
VOR_PLATFORM_API void CpuRelax();

} // namespace Platform
} // namespace Vor
