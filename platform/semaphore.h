// Counting semaphores with timed waits.
#pragma once

#include "platform/export.h"

#include <cstdint>

namespace Vor {
namespace Platform {

// Wait forever.
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// A process-local counting semaphore. The count never exceeds the maximum
// given at construction: Post refuses a release that would pass it.
// Waits are measured on the monotonic clock and restart after signals with
// the remaining time.
class VOR_PLATFORM_API Semaphore {
public:
    explicit Semaphore(std::uint32_t maximum = 0x0FFFFFFFu);
    ~Semaphore();
    Semaphore(Semaphore const&) = delete;
    Semaphore& operator=(Semaphore const&) = delete;

    // Adds `count` wake-ups; false (and no change) when the maximum would
    // be exceeded or count is 0.
    bool Post(std::uint32_t count = 1);
    // Takes one wake-up, waiting at most `timeoutMs` (kInfinite: no limit).
    bool Wait(std::uint32_t timeoutMs);

private:
    alignas(16) unsigned char m_Storage[112];
};

// A semaphore shared between processes by name. `IsValid` is false when
// the name could not be opened or created.
class VOR_PLATFORM_API NamedSemaphore {
public:
    explicit NamedSemaphore(char const* name);
    ~NamedSemaphore();
    NamedSemaphore(NamedSemaphore const&) = delete;
    NamedSemaphore& operator=(NamedSemaphore const&) = delete;

    bool IsValid() const { return m_pHandle != nullptr; }
    bool Post(std::uint32_t count = 1);
    bool Wait(std::uint32_t timeoutMs);

private:
    void* m_pHandle;
};

} // namespace Platform
} // namespace Vor
