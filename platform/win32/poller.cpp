#include "platform/poller.h"
#include "platform/clock.h"
#include "platform/semaphore.h"
#include "platform/win32/native.h"

// Where the two builds differ: the wait is select over fd_sets of 64 sockets
// (the system's own set size), and the wake-up is a datagram socket
// connected to itself, since select waits on sockets only. select knows no
// hang-up: a closed or reset peer shows as readable. A handle that is not an
// open socket fails the whole wait, so such entries are found one by one and
// reported invalid instead, as the other build does.

namespace Vor {
namespace Platform {

static_assert(FD_SETSIZE >= kMaxPollEntries, "one fd_set holds every entry of a wait");

namespace {

bool IsSocket(SocketHandle socket)
{
    int type = 0;
    int size = sizeof(type);
    return socket != kInvalidSocket &&
           getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

// Marks the entries that are no sockets; their number.
int MarkInvalid(PollEntry* entries, unsigned int count)
{
    int invalid = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (!IsSocket(entries[i].socket)) {
            entries[i].got = kPollInvalid;
            ++invalid;
        }
    }
    return invalid;
}

} // namespace

int Poll(PollEntry* entries, unsigned int count, std::uint32_t timeoutMs)
{
    if (count > kMaxPollEntries || (count > 0 && entries == nullptr)) {
        ::SetLastError(WSAEINVAL);
        return -1;
    }
    Win32::EnsureSockets();
    fd_set read, write, except;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&except);
    unsigned int watched = 0;
    for (unsigned int i = 0; i < count; ++i) {
        entries[i].got = 0;
        SOCKET s = static_cast<SOCKET>(entries[i].socket);
        if (entries[i].want & kPollRead)
            FD_SET(s, &read);
        if (entries[i].want & kPollWrite)
            FD_SET(s, &write);
        if (entries[i].want & kPollExcept)
            FD_SET(s, &except);
        if (entries[i].want & (kPollRead | kPollWrite | kPollExcept))
            ++watched;
    }
    std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    if (watched == 0) {
        // select refuses empty sets: the wait is a sleep.
        if (timeoutMs != kInfinite) {
            SleepMs(timeoutMs);
        } else {
            Win32::KillPoint wait;
            SleepEx(INFINITE, FALSE);
        }
        return 0;
    }
    timeval wait{};
    timeval* limit = nullptr;
    if (timeoutMs != kInfinite) {
        std::uint64_t now = MonotonicMs();
        std::uint64_t left = now >= deadline ? 0 : deadline - now;
        wait.tv_sec = static_cast<long>(left / 1000);
        wait.tv_usec = static_cast<long>(left % 1000) * 1000;
        limit = &wait;
    }
    int ready;
    {
        Win32::KillPoint wait;
        ready = select(0, &read, &write, &except, limit);
    }
    if (ready == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAENOTSOCK)
            return -1;
        return MarkInvalid(entries, count);
    }
    if (ready == 0)
        return 0;
    int entriesReady = 0;
    for (unsigned int i = 0; i < count; ++i) {
        SOCKET s = static_cast<SOCKET>(entries[i].socket);
        std::uint16_t got = 0;
        if (FD_ISSET(s, &read) && (entries[i].want & kPollRead))
            got |= kPollRead;
        if (FD_ISSET(s, &write) && (entries[i].want & kPollWrite))
            got |= kPollWrite;
        if (FD_ISSET(s, &except) && (entries[i].want & kPollExcept))
            got |= kPollExcept;
        entries[i].got = got;
        if (got != 0)
            ++entriesReady;
    }
    return entriesReady;
}

WakeUp::WakeUp() : m_Handle(kInvalidSocket)
{
    if (!Win32::EnsureSockets())
        return;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    self.sin_port = 0;
    int size = sizeof(self);
    u_long nonBlocking = 1;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &size) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        DWORD error = ::GetLastError();
        closesocket(s);
        ::SetLastError(error);
        return;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    m_Handle = static_cast<SocketHandle>(s);
}

WakeUp::~WakeUp() { Close(); }

bool WakeUp::Signal()
{
    if (!IsValid()) {
        ::SetLastError(WSAENOTSOCK);
        return false;
    }
    char const one = 1;
    if (send(static_cast<SOCKET>(m_Handle), &one, 1, 0) == 1)
        return true;
    // A full buffer means the socket is readable already, which is all a
    // signal has to achieve.
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool WakeUp::Drain()
{
    if (!IsValid()) {
        ::SetLastError(WSAENOTSOCK);
        return false;
    }
    bool drained = false;
    char scratch[64];
    for (;;) {
        int n = recv(static_cast<SOCKET>(m_Handle), scratch, sizeof(scratch), 0);
        if (n >= 0 || WSAGetLastError() == WSAEMSGSIZE) {
            drained = true;
            continue;
        }
        // WSAECONNRESET: an ICMP report of an earlier datagram; keep going.
        if (WSAGetLastError() == WSAECONNRESET)
            continue;
        break;
    }
    if (!drained)
        ::SetLastError(WSAEWOULDBLOCK);
    return drained;
}

void WakeUp::Close()
{
    if (IsValid()) {
        closesocket(static_cast<SOCKET>(m_Handle));
        m_Handle = kInvalidSocket;
    }
}

} // namespace Platform
} // namespace Vor
