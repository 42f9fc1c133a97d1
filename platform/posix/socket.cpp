#include "platform/socket.h"

#include "platform/clock.h"
#include "platform/export.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

static_assert(sizeof(sockaddr_in) == sizeof(Ipv4Address), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(Ipv4Address, family), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(Ipv4Address, port), "layout of sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(Ipv4Address, ip), "layout of sockaddr_in");
static_assert(AF_INET == kFamilyIpv4, "address family number");

namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

// Descriptors are small non-negative ints; anything else is not a socket of
// ours and is refused before it reaches the system.
bool Usable(SocketHandle socket)
{
    if (socket == kInvalidSocket || socket > static_cast<SocketHandle>(INT_MAX)) {
        errno = EBADF;
        return false;
    }
    return true;
}

sockaddr const* Raw(Ipv4Address const& address) { return reinterpret_cast<sockaddr const*>(&address); }
sockaddr* Raw(Ipv4Address* address) { return reinterpret_cast<sockaddr*>(address); }

// Restarts a call interrupted by a signal.
template <class Call>
auto Retry(Call call) -> decltype(call())
{
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

// In a process with more than one thread the C library wraps each recv and
// send in a switch to asynchronous cancellation and back: two locked steps
// around every transfer. A transfer that does not wait has nothing to be
// cancelled in, so each is first made straight to the kernel without
// waiting; only one that finds no data or no room is made again through the
// C library, where it waits as a cancellation point. The sanitizers watch
// the C library's calls (the thread checker learns from them the order a
// transfer sets up between threads, the address checker the bytes it
// writes), so under them every transfer goes through the C library.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VOR_DIRECT_TRANSFER 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VOR_DIRECT_TRANSFER 0
#endif
#endif
#ifndef VOR_DIRECT_TRANSFER
#define VOR_DIRECT_TRANSFER 1
#endif

constexpr bool kDirect = VOR_DIRECT_TRANSFER != 0;

// One system call of six arguments: the result, or -errno on failure.
inline long Call6(long number, long a, long b, long c, long d, long e, long f)
{
#if defined(__x86_64__)
    long result;
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
#else
    long result = syscall(number, a, b, c, d, e, f);
    return result < 0 ? -errno : result;
#endif
}

// Sets errno from a failed call's result; passes the result on otherwise.
inline std::int64_t Result(long result)
{
    if (result >= 0)
        return result;
    errno = static_cast<int>(-result);
    return -1;
}

inline std::int64_t DirectReceive(int fd, void* data, std::size_t size, int flags, sockaddr* from, socklen_t* room)
{
    long got;
    do
        got = Call6(SYS_recvfrom, fd, reinterpret_cast<long>(data), static_cast<long>(size), flags | MSG_DONTWAIT,
                    reinterpret_cast<long>(from), reinterpret_cast<long>(room));
    while (got == -EINTR);
    return Result(got);
}

inline std::int64_t DirectSend(int fd, void const* data, std::size_t size, int flags, sockaddr const* to,
                               socklen_t length)
{
    long sent;
    do
        sent = Call6(SYS_sendto, fd, reinterpret_cast<long>(data), static_cast<long>(size), flags | MSG_DONTWAIT,
                     reinterpret_cast<long>(to), static_cast<long>(length));
    while (sent == -EINTR);
    return Result(sent);
}

// True when a transfer made without waiting is the caller's whole answer:
// the caller asked not to wait, or the transfer did not fail for want of
// data or room.
bool Answered(std::int64_t result, int flags)
{
    return (flags & MSG_DONTWAIT) != 0 || result >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

bool WaitWritable(int fd, std::uint32_t timeoutMs)
{
    std::uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        std::uint64_t now = MonotonicMs();
        int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        pollfd entry{fd, POLLOUT, 0};
        int rc = poll(&entry, 1, wait);
        if (rc > 0)
            return true;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

} // namespace

namespace {
std::atomic<std::uint64_t> s_uOpened{0};
}

// Sockets need no service started here.
bool StartNetwork() { return true; }
void StopNetwork() {}

std::uint64_t OpenedSocketCount() { return s_uOpened.load(std::memory_order_relaxed); }

SocketHandle OpenSocket(int domain, SocketKind kind, int protocol)
{
    s_uOpened.fetch_add(1, std::memory_order_relaxed);
    int type = (kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC;
    int fd = socket(domain, type, protocol);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

bool CloseSocket(SocketHandle socket)
{
    if (!Usable(socket))
        return false;
    // close() is a point where a kill takes effect, and sockets are closed
    // from destructors and by the last use, where an unwind must not start:
    // a kill waits for the next such point.
    int state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    // Linux releases the descriptor even when close reports EINTR; retrying
    // could close a descriptor another thread has just been given.
    bool closed = close(Fd(socket)) == 0 || errno == EINTR;
    int error = errno;
    pthread_setcancelstate(state, &state);
    errno = error;
    return closed;
}

bool BindSocket(SocketHandle socket, Ipv4Address const& address)
{
    return Usable(socket) && bind(Fd(socket), Raw(address), sizeof(sockaddr_in)) == 0;
}

bool ListenSocket(SocketHandle socket, int backlog)
{
    return Usable(socket) && listen(Fd(socket), backlog) == 0;
}

int MaxListenBacklog() { return SOMAXCONN; }

bool IsDescriptorExhaustion(int error) { return error == EMFILE || error == ENFILE; }

SocketHandle AcceptSocket(SocketHandle socket, Ipv4Address* peer, unsigned int* length)
{
    if (!Usable(socket))
        return kInvalidSocket;
    sockaddr_in scratch{};
    socklen_t size = sizeof(scratch);
    int fd = Retry([&] { return accept4(Fd(socket), reinterpret_cast<sockaddr*>(&scratch), &size, SOCK_CLOEXEC); });
    if (fd < 0)
        return kInvalidSocket;
    if (peer != nullptr)
        *reinterpret_cast<sockaddr_in*>(peer) = scratch;
    if (length != nullptr)
        *length = static_cast<unsigned int>(size);
    return static_cast<SocketHandle>(fd);
}

bool ConnectSocket(SocketHandle socket, Ipv4Address const& address, std::uint32_t timeoutMs)
{
    if (!Usable(socket))
        return false;
    int fd = Fd(socket);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    bool connected = connect(fd, Raw(address), sizeof(sockaddr_in)) == 0;
    int error = connected ? 0 : errno;
    if (!connected && (error == EINPROGRESS || error == EINTR)) {
        if (WaitWritable(fd, timeoutMs)) {
            socklen_t size = sizeof(error);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            connected = error == 0;
        } else {
            error = errno;
        }
    }
    fcntl(fd, F_SETFL, flags);
    if (!connected)
        errno = error;
    return connected;
}

bool ShutdownSocket(SocketHandle socket, int how)
{
    if (how != kShutReceive && how != kShutSend && how != kShutBoth) {
        errno = EINVAL;
        return false;
    }
    static int const directions[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
    return Usable(socket) && shutdown(Fd(socket), directions[how]) == 0;
}

VOR_HOT std::int64_t SendSocket(SocketHandle socket, void const* data, std::size_t size, int flags)
{
    if (!Usable(socket))
        return -1;
    int fd = Fd(socket);
    flags |= MSG_NOSIGNAL;
    std::size_t done = 0;
    if (kDirect) {
        std::int64_t sent = DirectSend(fd, data, size, flags, nullptr, 0);
        // A stream takes what it has room for: the rest is still to go.
        bool part = sent >= 0 && static_cast<std::size_t>(sent) < size && (flags & MSG_DONTWAIT) == 0;
        if (Answered(sent, flags) && !part)
            return sent;
        done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    // What found no room waits for it. Bytes already gone are reported even
    // when the rest fails; the failure comes back at the next send.
    std::int64_t rest =
        Retry([&] { return send(fd, static_cast<char const*>(data) + done, size - done, flags); });
    if (rest < 0)
        return done > 0 ? static_cast<std::int64_t>(done) : -1;
    return static_cast<std::int64_t>(done) + rest;
}

VOR_HOT std::int64_t ReceiveSocket(SocketHandle socket, void* data, std::size_t size, int flags)
{
    if (!Usable(socket))
        return -1;
    int fd = Fd(socket);
    // MSG_WAITALL waits for the whole size, which a transfer without waiting
    // would cut short.
    if (kDirect && (flags & MSG_WAITALL) == 0) {
        std::int64_t got = DirectReceive(fd, data, size, flags, nullptr, nullptr);
        if (Answered(got, flags))
            return got;
    }
    return Retry([&] { return recv(fd, data, size, flags); });
}

std::int64_t SendToSocket(SocketHandle socket, void const* data, std::size_t size, int flags, Ipv4Address const& to)
{
    if (!Usable(socket))
        return -1;
    int fd = Fd(socket);
    flags |= MSG_NOSIGNAL;
    // A datagram goes whole or not at all.
    if (kDirect) {
        std::int64_t sent = DirectSend(fd, data, size, flags, Raw(to), sizeof(sockaddr_in));
        if (Answered(sent, flags))
            return sent;
    }
    return Retry([&] { return sendto(fd, data, size, flags, Raw(to), sizeof(sockaddr_in)); });
}

std::int64_t ReceiveFromSocket(SocketHandle socket, void* data, std::size_t size, int flags, Ipv4Address* from,
                               unsigned int* length)
{
    if (!Usable(socket))
        return -1;
    sockaddr_in scratch{};
    socklen_t room = sizeof(scratch);
    // MSG_TRUNC makes the call report the datagram's real length, so one
    // that did not fit is told apart from one that filled the buffer.
    int fd = Fd(socket);
    flags |= MSG_TRUNC;
    std::int64_t got = -1;
    if (kDirect)
        got = DirectReceive(fd, data, size, flags, reinterpret_cast<sockaddr*>(&scratch), &room);
    if (!kDirect || !Answered(got, flags)) {
        room = sizeof(scratch);
        got = Retry([&] { return recvfrom(fd, data, size, flags, reinterpret_cast<sockaddr*>(&scratch), &room); });
    }
    if (got < 0)
        return -1;
    if (static_cast<std::size_t>(got) > size) {
        errno = EMSGSIZE;
        return -1;
    }
    if (from != nullptr)
        *reinterpret_cast<sockaddr_in*>(from) = scratch;
    if (length != nullptr)
        *length = static_cast<unsigned int>(room);
    return got;
}

int OutOfBandFlag() { return MSG_OOB; }
int DontWaitFlag() { return MSG_DONTWAIT; }

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

ReceiveError ClassifyReceiveError(int error)
{
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
        return ReceiveError::NothingWaiting;
    case EMSGSIZE:
    case ECONNREFUSED: // an ICMP refusal of an earlier send, reported here
    case ECONNRESET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return ReceiveError::BadDatagram;
    default:
        return ReceiveError::BrokenSocket;
    }
}

bool GetSocketName(SocketHandle socket, Ipv4Address* address)
{
    socklen_t size = sizeof(sockaddr_in);
    return Usable(socket) && getsockname(Fd(socket), Raw(address), &size) == 0 && size <= sizeof(sockaddr_in);
}

bool GetPeerName(SocketHandle socket, Ipv4Address* address)
{
    socklen_t size = sizeof(sockaddr_in);
    return Usable(socket) && getpeername(Fd(socket), Raw(address), &size) == 0 && size <= sizeof(sockaddr_in);
}

bool SetSocketOption(SocketHandle socket, SocketOption option, int value)
{
    if (!Usable(socket))
        return false;
    int level = SOL_SOCKET;
    int name = 0;
    switch (option) {
    case SocketOption::ReuseAddress:
        name = SO_REUSEADDR;
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
    case SocketOption::SendTimeout: {
        if (value < 0) {
            errno = EINVAL;
            return false;
        }
        timeval bound{value / 1000, (value % 1000) * 1000};
        name = option == SocketOption::ReceiveTimeout ? SO_RCVTIMEO : SO_SNDTIMEO;
        return setsockopt(Fd(socket), level, name, &bound, sizeof(bound)) == 0;
    }
    default:
        errno = EINVAL;
        return false;
    }
    return setsockopt(Fd(socket), level, name, &value, sizeof(value)) == 0;
}

bool ParseIpv4(char const* text, std::uint32_t* ip)
{
    in_addr parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) {
        errno = EINVAL;
        return false;
    }
    *ip = parsed.s_addr;
    return true;
}

std::string FormatIpv4(std::uint32_t ip)
{
    in_addr value{};
    value.s_addr = ip;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &value, text, sizeof(text)) == nullptr)
        return std::string();
    return text;
}

} // namespace Platform
} // namespace Vor
