#include "platform/clock.h"
#include "platform/win32/native.h"

namespace Vor {
namespace Platform {

namespace {

// The performance counter never steps and runs at a frequency fixed at boot.
std::uint64_t Ticks(std::uint64_t perSecond)
{
    static LARGE_INTEGER const frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::uint64_t count = static_cast<std::uint64_t>(now.QuadPart);
    std::uint64_t hz = static_cast<std::uint64_t>(frequency.QuadPart);
    return count / hz * perSecond + count % hz * perSecond / hz;
}

} // namespace

std::uint64_t WallMs()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Win32::FileTimeToUnixMs(now);
}

std::uint64_t MonotonicMs() { return Ticks(1000); }

std::uint64_t MonotonicUs() { return Ticks(1000000); }

void SleepMs(std::uint32_t ms)
{
    // SleepEx may wake a tick early: sleep again for what is left.
    std::uint64_t deadline = MonotonicMs() + ms;
    for (;;) {
        std::uint64_t now = MonotonicMs();
        if (now >= deadline)
            return;
        Win32::KillPoint wait;
        SleepEx(static_cast<DWORD>(deadline - now), FALSE);
    }
}

} // namespace Platform
} // namespace Vor
