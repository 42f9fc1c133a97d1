// IPv4 sockets: the few system operations the socket objects and the select
// engine need, with the decisions this system wants applied in one place
// (no SIGPIPE on writes, oversized datagrams refused, bounded connects).
//
// Socket handles are unsigned 32-bit numbers with kInvalidSocket
// (0xFFFFFFFF) meaning none. Counts are 64-bit with -1 as failure; the
// reason is left in the calling thread's last error (platform/error.h).
#pragma once

#include "platform/export.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vor {
namespace Platform {

using SocketHandle = std::uint32_t;
constexpr SocketHandle kInvalidSocket = 0xFFFFFFFFu;

// The system's 16-byte IPv4 socket address, byte for byte: family in host
// order, port and address in network order, eight bytes of zero padding.
struct Ipv4Address {
    std::uint16_t family;
    std::uint16_t port;
    std::uint32_t ip;
    unsigned char zero[8];
};
static_assert(sizeof(Ipv4Address) == 16, "the IPv4 socket address is 16 bytes");

constexpr std::uint16_t kFamilyIpv4 = 2;
constexpr unsigned int kIpv4AddressSize = 16;

enum class SocketKind { Stream, Datagram };

// Directions for ShutdownSocket; any other value is refused.
constexpr int kShutReceive = 0;
constexpr int kShutSend = 1;
constexpr int kShutBoth = 2;

// Options SetSocketOption understands.
enum class SocketOption {
    ReuseAddress,  // set on listeners before bind only
    NoDelay,       // TCP_NODELAY
    ReceiveBuffer, // SO_RCVBUF in bytes
    SendBuffer,    // SO_SNDBUF in bytes
    ReceiveTimeout, // a blocking receive fails after this many ms (0: never)
    SendTimeout,    // a blocking send fails after this many ms (0: never)
};

// Byte order, without system headers.
constexpr std::uint16_t HostToNet16(std::uint16_t v)
{
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint16_t NetToHost16(std::uint16_t v) { return HostToNet16(v); }
constexpr std::uint32_t HostToNet32(std::uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr std::uint32_t NetToHost32(std::uint32_t v) { return HostToNet32(v); }

// Starts and stops the system's socket service where it has one (counted:
// each start needs one stop). The library's initialisation calls them;
// sockets work before it too.
VOR_PLATFORM_API bool StartNetwork();
VOR_PLATFORM_API void StopNetwork();

// A new blocking socket (close-on-exec), or kInvalidSocket.
VOR_PLATFORM_API SocketHandle OpenSocket(int domain, SocketKind kind, int protocol);
// How many sockets OpenSocket has made in this process (for tests that
// check a path opens none).
VOR_PLATFORM_API std::uint64_t OpenedSocketCount();
// Closes the socket. False leaves it open (the handle stays the caller's).
VOR_PLATFORM_API bool CloseSocket(SocketHandle socket);

VOR_PLATFORM_API bool BindSocket(SocketHandle socket, Ipv4Address const& address);
VOR_PLATFORM_API bool ListenSocket(SocketHandle socket, int backlog);
// The longest queue of pending connections the system allows a listener.
VOR_PLATFORM_API int MaxListenBacklog();
// Accepts one connection (close-on-exec); the peer's address goes to
// `peer` when given, its length to `length` (in: the room, out: the size).
VOR_PLATFORM_API SocketHandle AcceptSocket(SocketHandle socket, Ipv4Address* peer, unsigned int* length);
// True for an error saying the process or the system has no descriptor
// left: an accept failing so succeeds again only once some are closed.
VOR_PLATFORM_API bool IsDescriptorExhaustion(int error);
// Connects, waiting at most `timeoutMs` for the handshake, and leaves the
// socket blocking again. A time-out fails with ETIMEDOUT.
VOR_PLATFORM_API bool ConnectSocket(SocketHandle socket, Ipv4Address const& address, std::uint32_t timeoutMs);
VOR_PLATFORM_API bool ShutdownSocket(SocketHandle socket, int how);

// One transfer each. Sends never raise SIGPIPE: a write to a reset peer
// fails with EPIPE or ECONNRESET. A datagram longer than the buffer is
// refused with EMSGSIZE (the datagram is consumed). A 0-byte datagram
// gives 0.
VOR_PLATFORM_API std::int64_t SendSocket(SocketHandle socket, void const* data, std::size_t size, int flags);
VOR_PLATFORM_API std::int64_t ReceiveSocket(SocketHandle socket, void* data, std::size_t size, int flags);
VOR_PLATFORM_API std::int64_t SendToSocket(SocketHandle socket, void const* data, std::size_t size, int flags,
                          Ipv4Address const& to);
VOR_PLATFORM_API std::int64_t ReceiveFromSocket(SocketHandle socket, void* data, std::size_t size, int flags,
                               Ipv4Address* from, unsigned int* length);

// The flag for urgent (out-of-band) data on send and receive.
VOR_PLATFORM_API int OutOfBandFlag();
// The flag that makes one receive return at once (failing with a
// NothingWaiting error) when nothing has arrived, and one stream send take
// only what the system has room for at once (failing with an error that
// IsWouldBlock knows when it has none). On Windows such a send first asks
// whether the socket is writable and then sends at most kDontWaitSend bytes.
VOR_PLATFORM_API int DontWaitFlag();
constexpr std::size_t kDontWaitSend = 16384;
// True for the error of a transfer that did not wait and found nothing to
// do (no room to send, nothing to receive).
VOR_PLATFORM_API bool IsWouldBlock(int error);

// Why a receive failed, by the error it left.
enum class ReceiveError {
    NothingWaiting, // nothing to take (another reader took it), or interrupted
    BadDatagram,    // this one datagram: too long, or an earlier send was refused
    BrokenSocket,   // the socket itself cannot receive
};
VOR_PLATFORM_API ReceiveError ClassifyReceiveError(int error);

VOR_PLATFORM_API bool GetSocketName(SocketHandle socket, Ipv4Address* address);
VOR_PLATFORM_API bool GetPeerName(SocketHandle socket, Ipv4Address* address);
VOR_PLATFORM_API bool SetSocketOption(SocketHandle socket, SocketOption option, int value);

// Dotted-quad text to an address in network order. False for anything but
// four decimal parts of 0..255 (a null pointer included).
VOR_PLATFORM_API bool ParseIpv4(char const* text, std::uint32_t* ip);
// An address in network order as dotted-quad text.
VOR_PLATFORM_API std::string FormatIpv4(std::uint32_t ip);

} // namespace Platform
} // namespace Vor
