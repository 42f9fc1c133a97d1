#include <vor/basic/basic.h>

#include "basic/internal/memhooks.h"
#include "platform/clock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Vor {
namespace Basic {

namespace Internal {
std::atomic<int> g_FailMemAllocations{0};
} // namespace Internal

namespace {

std::atomic<unsigned int> s_uSequence{0};

bool InjectedFailure()
{
    int pending = Internal::g_FailMemAllocations.load(std::memory_order_relaxed);
    while (pending > 0) {
        if (Internal::g_FailMemAllocations.compare_exchange_weak(pending, pending - 1))
            return true;
    }
    return false;
}

} // namespace

unsigned int GetSequence() { return s_uSequence.fetch_add(1, std::memory_order_relaxed) + 1; }

bool Sleep(unsigned int& ms, Core::Signal& signal)
{
    // Measured on the monotonic clock: a wall-clock step must not make the
    // time left jump.
    std::uint64_t start = Platform::MonotonicMs();
    bool signalled = signal.Wait(ms);
    std::uint64_t elapsed = Platform::MonotonicMs() - start;
    bool forever = ms == Core::Signal::INFINITE_WAIT;
    if (!signalled && !forever && elapsed >= ms) {
        ms = 0;
        return true;
    }
    // Woken (or the wait failed) before the deadline. The time left is
    // clamped at 0: a wake-up noticed after the deadline must not wrap it.
    if (!forever)
        ms = elapsed >= ms ? 0 : ms - static_cast<unsigned int>(elapsed);
    return false;
}

void* AllocMem(unsigned int size)
{
    if (InjectedFailure())
        return nullptr;
    return std::malloc(size);
}

bool FreeMem(void* p)
{
    std::free(p);
    return true;
}

void* ReAllocMem(void* p, unsigned int oldSize, unsigned int newSize)
{
    void* block = AllocMem(newSize);
    if (block == nullptr)
        return nullptr;
    if (p != nullptr) {
        // Shrinking copies only what fits.
        std::memcpy(block, p, oldSize < newSize ? oldSize : newSize);
        std::free(p);
    }
    return block;
}

} // namespace Basic
} // namespace Vor
