#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace Vor {
namespace Platform {

namespace {
std::uint64_t Read(clockid_t clock, std::uint64_t divisor)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * (1000000000ull / divisor) +
           static_cast<std::uint64_t>(ts.tv_nsec) / divisor;
}
} // namespace

std::uint64_t WallMs() { return Read(CLOCK_REALTIME, 1000000); }

std::uint64_t MonotonicMs() { return Read(CLOCK_MONOTONIC, 1000000); }

std::uint64_t MonotonicUs() { return Read(CLOCK_MONOTONIC, 1000); }

void SleepMs(std::uint32_t ms)
{
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace Platform
} // namespace Vor
