// What the Windows files of the platform layer share: the system headers in
// the order Windows Sockets needs them (winsock2.h before windows.h), without
// the macros that would rename the library's own functions.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

namespace Vor {
namespace Platform {
namespace Win32 {

// Windows Sockets are started once for the process on first use and counted
// again by the library's initialisation; see socket.cpp.
bool EnsureSockets();

// Marks the calling thread, while it lives, as waiting in the platform
// layer: a place where a kill may stop it (see thread.cpp). Only around
// the blocking call itself, never where a lock is held.
class KillPoint {
public:
    KillPoint();
    ~KillPoint();
    KillPoint(KillPoint const&) = delete;
    KillPoint& operator=(KillPoint const&) = delete;

private:
    void* m_pState;
};

// A FILETIME count (100 ns since 1601) as milliseconds since 1970.
inline std::uint64_t FileTimeToUnixMs(FILETIME const& ft)
{
    std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr std::uint64_t kFrom1601 = 116444736000000000ull;
    return ticks < kFrom1601 ? 0 : (ticks - kFrom1601) / 10000;
}

} // namespace Win32
} // namespace Platform
} // namespace Vor
