// The error codes tests expect of the platform layer, by meaning: errno
// values on Linux, Windows Sockets codes on Windows.
#pragma once

#include <cerrno>

namespace VorTest {
namespace Error {

#if defined(_WIN32)
constexpr int InvalidArgument = 10022; // WSAEINVAL
constexpr int TimedOut = 10060;        // WSAETIMEDOUT
constexpr int NotASocket = 10038;      // WSAENOTSOCK
constexpr int MessageTooLong = 10040;  // WSAEMSGSIZE
constexpr int AddressInUse = 10048;    // WSAEADDRINUSE
constexpr int ConnectionRefused = 10061; // WSAECONNREFUSED
#else
constexpr int InvalidArgument = EINVAL;
constexpr int TimedOut = ETIMEDOUT;
constexpr int NotASocket = EBADF;
constexpr int MessageTooLong = EMSGSIZE;
constexpr int AddressInUse = EADDRINUSE;
constexpr int ConnectionRefused = ECONNREFUSED;
#endif

} // namespace Error
} // namespace VorTest
