#include "platform/socket.h"
#include "platform/clock.h"
#include "platform/win32/native.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <unordered_map>

// Where the two builds differ: Windows Sockets need WSAStartup before the
// first call (done once here on first use; the library's Init and UnInit
// count it again), sends raise no SIGPIPE and need no flag for it, a
// datagram longer than the buffer fails by itself with WSAEMSGSIZE, and there
// is no receive flag for "do not wait" (see DontWaitFlag). Errors are the
// Windows Sockets codes (WSAECONNREFUSED 10061 and so on).

namespace Vor {
namespace Platform {

static_assert(sizeof(sockaddr_in) == sizeof(Ipv4Address), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(Ipv4Address, family), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(Ipv4Address, port), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(Ipv4Address, ip), "layout of sockaddr_in");
static_assert(AF_INET == kFamilyIpv4, "address family number");
static_assert(sizeof(SOCKET) == sizeof(SocketHandle), "socket handles are 32 bits on this platform");
static_assert(INVALID_SOCKET == kInvalidSocket, "one value for no socket");

namespace Win32 {

bool EnsureSockets()
{
    static bool const s_bStarted = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bStarted;
}

} // namespace Win32

bool StartNetwork()
{
    WSADATA data;
    return Win32::EnsureSockets() && WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetwork() { WSACleanup(); }

namespace {

// The private flag DontWaitFlag gives: no Windows Sockets flag uses it.
constexpr int kDontWait = 0x40000000;

SOCKET S(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Started first, so that a bad handle fails as not being a socket rather
// than as a call before the start.
bool Usable(SocketHandle socket)
{
    Win32::EnsureSockets();
    if (socket == kInvalidSocket) {
        ::SetLastError(WSAENOTSOCK);
        return false;
    }
    return true;
}

int Length(std::size_t size) { return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

sockaddr const* Raw(Ipv4Address const& address) { return reinterpret_cast<sockaddr const*>(&address); }
sockaddr* Raw(Ipv4Address* address) { return reinterpret_cast<sockaddr*>(address); }

bool SetBlocking(SOCKET s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

// A receive that must not wait: the socket is non-blocking while such
// receives run on it. Several threads may read one datagram socket this
// way at once; the mode is counted per socket, so that the last of them,
// not the first to finish, makes the socket blocking again (a reader left
// in a blocking receive would not hear a wake-up). A blocking call on the
// same socket meanwhile fails with WSAEWOULDBLOCK; the library makes none.
class DontWaitTable {
public:
    DontWaitTable() { InitializeCriticalSection(&m_Lock); }
    bool Enter(SOCKET s)
    {
        EnterCriticalSection(&m_Lock);
        bool ok = true;
        unsigned int& count = m_Counts[s];
        if (count == 0)
            ok = SetBlocking(s, false);
        if (ok)
            ++count;
        else
            m_Counts.erase(s);
        LeaveCriticalSection(&m_Lock);
        return ok;
    }
    void Leave(SOCKET s)
    {
        EnterCriticalSection(&m_Lock);
        auto found = m_Counts.find(s);
        if (found != m_Counts.end() && --found->second == 0) {
            m_Counts.erase(found);
            SetBlocking(s, true);
        }
        LeaveCriticalSection(&m_Lock);
    }

private:
    CRITICAL_SECTION m_Lock;
    std::unordered_map<SOCKET, unsigned int> m_Counts;
};

DontWaitTable& DontWaits()
{
    static DontWaitTable* s_pTable = new DontWaitTable; // used until the process ends
    return *s_pTable;
}

// The call itself is where a kill may stop the thread; the table's lock is
// never held there.
template <class Call>
int WithoutWaiting(SOCKET s, int flags, Call call)
{
    if ((flags & kDontWait) == 0) {
        Win32::KillPoint wait;
        return call(flags);
    }
    if (!DontWaits().Enter(s))
        return SOCKET_ERROR;
    int result = call(flags & ~kDontWait);
    DWORD error = ::GetLastError();
    DontWaits().Leave(s);
    ::SetLastError(error);
    return result;
}

std::atomic<std::uint64_t> s_uOpened{0};

} // namespace

std::uint64_t OpenedSocketCount() { return s_uOpened.load(std::memory_order_relaxed); }

SocketHandle OpenSocket(int domain, SocketKind kind, int protocol)
{
    s_uOpened.fetch_add(1, std::memory_order_relaxed);
    if (!Win32::EnsureSockets())
        return kInvalidSocket;
    SOCKET s = socket(domain, kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM, protocol);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    // Not inherited by child processes, like close-on-exec.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(s);
}

bool CloseSocket(SocketHandle socket) { return Usable(socket) && closesocket(S(socket)) == 0; }

bool BindSocket(SocketHandle socket, Ipv4Address const& address)
{
    return Usable(socket) && bind(S(socket), Raw(address), sizeof(sockaddr_in)) == 0;
}

bool ListenSocket(SocketHandle socket, int backlog) { return Usable(socket) && listen(S(socket), backlog) == 0; }

int MaxListenBacklog() { return SOMAXCONN; }

bool IsDescriptorExhaustion(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

SocketHandle AcceptSocket(SocketHandle socket, Ipv4Address* peer, unsigned int* length)
{
    if (!Usable(socket))
        return kInvalidSocket;
    sockaddr_in scratch{};
    int size = sizeof(scratch);
    SOCKET s;
    {
        Win32::KillPoint wait;
        s = accept(S(socket), reinterpret_cast<sockaddr*>(&scratch), &size);
    }
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (peer != nullptr)
        *reinterpret_cast<sockaddr_in*>(peer) = scratch;
    if (length != nullptr)
        *length = static_cast<unsigned int>(size);
    return static_cast<SocketHandle>(s);
}

namespace {

// The connects under way, and whether a shutdown has been asked for each:
// a shutdown does not end a handshake's select here, as it ends the other
// build's poll, so the connect waits in slices and looks.
class Connects {
public:
    Connects() { InitializeCriticalSection(&m_Lock); }
    void Begin(SOCKET s) { Set(s, 0); }
    void End(SOCKET s) { Set(s, -1); }
    void Abort(SOCKET s)
    {
        EnterCriticalSection(&m_Lock);
        auto found = m_Aborted.find(s);
        if (found != m_Aborted.end())
            found->second = true;
        LeaveCriticalSection(&m_Lock);
    }
    bool Aborted(SOCKET s)
    {
        EnterCriticalSection(&m_Lock);
        auto found = m_Aborted.find(s);
        bool aborted = found != m_Aborted.end() && found->second;
        LeaveCriticalSection(&m_Lock);
        return aborted;
    }

private:
    void Set(SOCKET s, int state)
    {
        EnterCriticalSection(&m_Lock);
        if (state < 0)
            m_Aborted.erase(s);
        else
            m_Aborted[s] = false;
        LeaveCriticalSection(&m_Lock);
    }

    CRITICAL_SECTION m_Lock;
    std::unordered_map<SOCKET, bool> m_Aborted;
};

Connects& ConnectsUnderWay()
{
    static Connects* s_pConnects = new Connects; // used until the process ends
    return *s_pConnects;
}

// A slice of a handshake's wait.
constexpr std::uint32_t kConnectSliceMs = 20;

} // namespace

bool ConnectSocket(SocketHandle socket, Ipv4Address const& address, std::uint32_t timeoutMs)
{
    if (!Usable(socket))
        return false;
    SOCKET s = S(socket);
    if (!SetBlocking(s, false))
        return false;
    bool connected = connect(s, Raw(address), sizeof(sockaddr_in)) == 0;
    int error = connected ? 0 : WSAGetLastError();
    if (!connected && error == WSAEWOULDBLOCK) {
        // A refused connection is reported in the exception set.
        fd_set writable, failed;
        int ready = 0;
        std::uint64_t deadline = MonotonicMs() + timeoutMs;
        ConnectsUnderWay().Begin(s);
        for (;;) {
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            std::uint64_t now = MonotonicMs();
            std::uint64_t slice = std::min<std::uint64_t>(now >= deadline ? 0 : deadline - now, kConnectSliceMs);
            timeval wait;
            wait.tv_sec = 0;
            wait.tv_usec = static_cast<long>(slice) * 1000;
            {
                Win32::KillPoint killable;
                ready = select(0, nullptr, &writable, &failed, &wait);
            }
            if (ready != 0 || MonotonicMs() >= deadline)
                break;
            if (ConnectsUnderWay().Aborted(s)) {
                ready = SOCKET_ERROR;
                WSASetLastError(WSAECONNABORTED);
                break;
            }
        }
        ConnectsUnderWay().End(s);
        if (ready > 0) {
            int size = sizeof(error);
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
                error = WSAGetLastError();
            connected = error == 0 && FD_ISSET(s, &writable);
            if (!connected && error == 0)
                error = WSAECONNREFUSED;
        } else {
            error = ready == 0 ? WSAETIMEDOUT : WSAGetLastError();
        }
    }
    SetBlocking(s, true);
    if (!connected)
        ::SetLastError(static_cast<DWORD>(error));
    return connected;
}

bool ShutdownSocket(SocketHandle socket, int how)
{
    if (how != kShutReceive && how != kShutSend && how != kShutBoth) {
        ::SetLastError(WSAEINVAL);
        return false;
    }
    static int const directions[] = {SD_RECEIVE, SD_SEND, SD_BOTH};
    if (!Usable(socket))
        return false;
    // A handshake under way ends at its next slice.
    if (how != kShutSend)
        ConnectsUnderWay().Abort(S(socket));
    return shutdown(S(socket), directions[how]) == 0;
}

std::int64_t SendSocket(SocketHandle socket, void const* data, std::size_t size, int flags)
{
    if (!Usable(socket))
        return -1;
    if (flags & kDontWait) {
        // The socket stays blocking (a receive may be waiting on it in
        // another thread): asked first whether it has room, and then sent
        // no more than room for a little always takes at once.
        fd_set out;
        FD_ZERO(&out);
        FD_SET(S(socket), &out);
        timeval now{0, 0};
        int ready = select(0, nullptr, &out, nullptr, &now);
        if (ready == SOCKET_ERROR)
            return -1;
        if (ready == 0) {
            ::SetLastError(WSAEWOULDBLOCK);
            return -1;
        }
        size = std::min(size, kDontWaitSend);
    }
    Win32::KillPoint wait;
    int n = send(S(socket), static_cast<char const*>(data), Length(size), flags & ~kDontWait);
    return n == SOCKET_ERROR ? -1 : n;
}

std::int64_t ReceiveSocket(SocketHandle socket, void* data, std::size_t size, int flags)
{
    if (!Usable(socket))
        return -1;
    int n = WithoutWaiting(S(socket), flags,
                           [&](int f) { return recv(S(socket), static_cast<char*>(data), Length(size), f); });
    return n == SOCKET_ERROR ? -1 : n;
}

std::int64_t SendToSocket(SocketHandle socket, void const* data, std::size_t size, int flags, Ipv4Address const& to)
{
    if (!Usable(socket))
        return -1;
    int n = sendto(S(socket), static_cast<char const*>(data), Length(size), flags & ~kDontWait, Raw(to),
                   sizeof(sockaddr_in));
    return n == SOCKET_ERROR ? -1 : n;
}

std::int64_t ReceiveFromSocket(SocketHandle socket, void* data, std::size_t size, int flags, Ipv4Address* from,
                               unsigned int* length)
{
    if (!Usable(socket))
        return -1;
    sockaddr_in scratch{};
    int room = sizeof(scratch);
    // A datagram longer than the buffer fails with WSAEMSGSIZE (and is
    // consumed) by itself.
    int n = WithoutWaiting(S(socket), flags, [&](int f) {
        return recvfrom(S(socket), static_cast<char*>(data), Length(size), f, reinterpret_cast<sockaddr*>(&scratch),
                        &room);
    });
    if (n == SOCKET_ERROR)
        return -1;
    if (from != nullptr)
        *reinterpret_cast<sockaddr_in*>(from) = scratch;
    if (length != nullptr)
        *length = static_cast<unsigned int>(room);
    return n;
}

int OutOfBandFlag() { return MSG_OOB; }
int DontWaitFlag() { return kDontWait; }

bool IsWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

ReceiveError ClassifyReceiveError(int error)
{
    switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
    case WSAETIMEDOUT: // a receive time-out ran out
        return ReceiveError::NothingWaiting;
    case WSAEMSGSIZE:
    case WSAECONNREFUSED:
    case WSAECONNRESET: // an ICMP refusal of an earlier send, reported here
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
    case WSAENETRESET:
        return ReceiveError::BadDatagram;
    default:
        return ReceiveError::BrokenSocket;
    }
}

bool GetSocketName(SocketHandle socket, Ipv4Address* address)
{
    int size = sizeof(sockaddr_in);
    return Usable(socket) && getsockname(S(socket), Raw(address), &size) == 0 && size <= static_cast<int>(sizeof(sockaddr_in));
}

bool GetPeerName(SocketHandle socket, Ipv4Address* address)
{
    int size = sizeof(sockaddr_in);
    return Usable(socket) && getpeername(S(socket), Raw(address), &size) == 0 && size <= static_cast<int>(sizeof(sockaddr_in));
}

bool SetSocketOption(SocketHandle socket, SocketOption option, int value)
{
    if (!Usable(socket))
        return false;
    int level = SOL_SOCKET;
    int name = 0;
    switch (option) {
    case SocketOption::ReuseAddress:
        // Windows lets SO_REUSEADDR take over a port another socket is
        // listening on, and a listener reopens while old connections sit in
        // TIME_WAIT without it: the exclusive form keeps an active listener's
        // port its own, as on Linux.
        name = SO_EXCLUSIVEADDRUSE;
        break;
    case SocketOption::NoDelay:
        level = IPPROTO_TCP;
        name = TCP_NODELAY;
        break;
    case SocketOption::ReceiveBuffer:
        name = SO_RCVBUF;
        break;
    case SocketOption::SendBuffer:
        name = SO_SNDBUF;
        break;
    case SocketOption::ReceiveTimeout:
        name = SO_RCVTIMEO; // a DWORD of milliseconds here
        break;
    case SocketOption::SendTimeout:
        name = SO_SNDTIMEO;
        break;
    default:
        ::SetLastError(WSAEINVAL);
        return false;
    }
    return setsockopt(S(socket), level, name, reinterpret_cast<char const*>(&value), sizeof(value)) == 0;
}

// Dotted quads are parsed here rather than by the system, so that both
// builds accept exactly four decimal parts of 0..255.
bool ParseIpv4(char const* text, std::uint32_t* ip)
{
    unsigned char parts[4];
    char const* c = text;
    bool ok = c != nullptr;
    for (int part = 0; ok && part < 4; ++part) {
        unsigned int value = 0;
        int digits = 0;
        char const* first = c;
        while (*c >= '0' && *c <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned int>(*c - '0');
            ++c;
            ++digits;
        }
        ok = digits > 0 && digits <= 3 && value <= 255 && !(digits > 1 && *first == '0') && (part == 3 ? *c == '\0' : *c == '.');
        if (ok && part < 3)
            ++c;
        parts[part] = static_cast<unsigned char>(value);
    }
    if (!ok) {
        ::SetLastError(WSAEINVAL);
        return false;
    }
    std::uint32_t value;
    std::memcpy(&value, parts, sizeof(value));
    *ip = value;
    return true;
}

std::string FormatIpv4(std::uint32_t ip)
{
    unsigned char parts[4];
    std::memcpy(parts, &ip, sizeof(parts));
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            text.push_back('.');
        text += std::to_string(parts[i]);
    }
    return text;
}

} // namespace Platform
} // namespace Vor
