// Loopback network fixtures: free ports and connected socket pairs, built
// on the platform layer so that they work before any library object does.
#pragma once

#include "platform/socket.h"

#include <cstdint>

namespace VorTest {

// 127.0.0.1 in network order.
std::uint32_t LoopbackIp();

// The address 127.0.0.1:port (port in host order).
Vor::Platform::Ipv4Address LoopbackAddress(std::uint16_t port);

// A port on 127.0.0.1 that was free a moment ago (TCP and UDP).
std::uint16_t FreeLoopbackPort();

// A connected TCP pair over 127.0.0.1; both ends are closed by the
// destructor unless taken with Release. IsValid is false when it could not
// be made.
class LoopbackTcpPair {
public:
    LoopbackTcpPair();
    ~LoopbackTcpPair();
    LoopbackTcpPair(LoopbackTcpPair const&) = delete;
    LoopbackTcpPair& operator=(LoopbackTcpPair const&) = delete;

    bool IsValid() const;
    Vor::Platform::SocketHandle Client() const { return m_Client; }
    Vor::Platform::SocketHandle Server() const { return m_Server; }
    // Gives up ownership of the server end (the destructor then leaves it open).
    Vor::Platform::SocketHandle ReleaseServer();
    // Closes one end now.
    void CloseClient();
    void CloseServer();

private:
    Vor::Platform::SocketHandle m_Client = Vor::Platform::kInvalidSocket;
    Vor::Platform::SocketHandle m_Server = Vor::Platform::kInvalidSocket;
};

// A listening TCP socket on 127.0.0.1 with a system-chosen port.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(LoopbackListener const&) = delete;
    LoopbackListener& operator=(LoopbackListener const&) = delete;

    bool IsValid() const { return m_Socket != Vor::Platform::kInvalidSocket; }
    Vor::Platform::SocketHandle Socket() const { return m_Socket; }
    std::uint16_t Port() const { return m_Port; }
    // The listener's address (127.0.0.1:Port()).
    Vor::Platform::Ipv4Address Address() const { return LoopbackAddress(m_Port); }

private:
    Vor::Platform::SocketHandle m_Socket = Vor::Platform::kInvalidSocket;
    std::uint16_t m_Port = 0;
};

} // namespace VorTest
