// Wall and monotonic clocks in milliseconds.
#pragma once

#include "platform/export.h"

#include <cstdint>

namespace Vor {
namespace Platform {

// Milliseconds since 1970-01-01 UTC; follows clock changes. For time stamps.
VOR_PLATFORM_API std::uint64_t WallMs();

// Milliseconds from an arbitrary fixed start; never steps. For every
// time-out, sleep, due time and idle check.
VOR_PLATFORM_API std::uint64_t MonotonicMs();

// Microseconds on the monotonic clock, for finer measurements.
VOR_PLATFORM_API std::uint64_t MonotonicUs();

// Sleeps at least `ms` milliseconds, resuming after signals.
VOR_PLATFORM_API void SleepMs(std::uint32_t ms);

} // namespace Platform
} // namespace Vor
