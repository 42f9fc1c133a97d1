// The soak's own plain sockets (its traffic generator and its peers), on
// either system: the few calls it makes, under one set of names.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include "support/windows.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <psapi.h>
#undef GetObject // the library's, not the graphics call
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <fstream>
#include <utility>

namespace Soak {

#if defined(_WIN32)
using PollFd = WSAPOLLFD;
constexpr short kIn = POLLRDNORM, kOut = POLLWRNORM;
#else
using PollFd = pollfd;
constexpr short kIn = POLLIN, kOut = POLLOUT;
#endif
constexpr short kHup = POLLHUP, kErr = POLLERR;

// A socket of the kind (SOCK_STREAM, SOCK_DGRAM), not inherited by
// children; -1 on failure.
inline int Open(int kind, bool nonBlocking = false)
{
#if defined(_WIN32)
    SOCKET s = socket(AF_INET, kind, 0);
    if (s == INVALID_SOCKET)
        return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long on = nonBlocking ? 1 : 0;
    ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(s);
#else
    return socket(AF_INET, kind | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
#endif
}

inline void Close(int fd)
{
#if defined(_WIN32)
    closesocket(static_cast<SOCKET>(fd));
#else
    close(fd);
#endif
}

inline bool Connect(int fd, sockaddr_in const& to)
{
    return connect(fd, reinterpret_cast<sockaddr const*>(&to), sizeof to) == 0;
}

// After a failed call: whether it only would have waited (a connect under
// way, nothing to read, no room to send).
inline bool WouldWait()
{
#if defined(_WIN32)
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return errno == EINPROGRESS || errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

inline long Send(int fd, void const* data, std::size_t size)
{
#if defined(_WIN32)
    return send(static_cast<SOCKET>(fd), static_cast<char const*>(data), static_cast<int>(size), 0);
#else
    return static_cast<long>(send(fd, data, size, MSG_NOSIGNAL));
#endif
}

inline long Receive(int fd, void* buffer, std::size_t size)
{
#if defined(_WIN32)
    return recv(static_cast<SOCKET>(fd), static_cast<char*>(buffer), static_cast<int>(size), 0);
#else
    return static_cast<long>(recv(fd, buffer, size, 0));
#endif
}

inline long SendTo(int fd, void const* data, std::size_t size, sockaddr_in const& to)
{
#if defined(_WIN32)
    return sendto(static_cast<SOCKET>(fd), static_cast<char const*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<sockaddr const*>(&to), sizeof to);
#else
    return static_cast<long>(sendto(fd, data, size, 0, reinterpret_cast<sockaddr const*>(&to), sizeof to));
#endif
}

inline bool ShutWrite(int fd)
{
#if defined(_WIN32)
    return shutdown(static_cast<SOCKET>(fd), SD_SEND) == 0;
#else
    return shutdown(fd, SHUT_WR) == 0;
#endif
}

// Send and receive time-outs, and the send buffer when `buffer` is not 0.
inline void SetLimits(int fd, unsigned int sendMs, unsigned int receiveMs, int buffer = 0)
{
#if defined(_WIN32)
    DWORD sending = sendMs, receiving = receiveMs;
    char const* sendAt = reinterpret_cast<char const*>(&sending);
    char const* receiveAt = reinterpret_cast<char const*>(&receiving);
#else
    timeval sending{static_cast<time_t>(sendMs / 1000), static_cast<suseconds_t>(sendMs % 1000 * 1000)};
    timeval receiving{static_cast<time_t>(receiveMs / 1000), static_cast<suseconds_t>(receiveMs % 1000 * 1000)};
    void const* sendAt = &sending;
    void const* receiveAt = &receiving;
#endif
    if (buffer != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char const*>(&buffer), sizeof buffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, sendAt, sizeof sending);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, receiveAt, sizeof receiving);
}

// The close that follows resets the connection instead of ending it.
inline void ResetOnClose(int fd)
{
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<char const*>(&hard), sizeof hard);
}

inline PollFd Watch(int fd, short events)
{
    PollFd entry{};
#if defined(_WIN32)
    entry.fd = static_cast<SOCKET>(fd);
#else
    entry.fd = fd;
#endif
    entry.events = events;
    return entry;
}

// With no entries, a wait of `ms` (as poll does; WSAPoll refuses it).
inline int Poll(PollFd* entries, std::size_t count, int ms)
{
#if defined(_WIN32)
    if (count == 0)
        return Sleep(static_cast<DWORD>(ms)), 0;
    return WSAPoll(entries, static_cast<ULONG>(count), ms);
#else
    return poll(entries, count, ms);
#endif
}

inline unsigned long ProcessId()
{
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// Resident bytes, and the bytes the heap holds for live blocks (0 where the
// system does not tell).
inline std::pair<std::uint64_t, std::uint64_t> Memory()
{
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {counters.WorkingSetSize, 0};
#else
    malloc_trim(0);
    std::uint64_t pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    struct mallinfo2 heap = mallinfo2();
    return {resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)), heap.uordblks + heap.hblkhd};
#endif
}

} // namespace Soak
