// Plain loopback clients for tests of servers: every wait is bounded, so a
// server that never answers fails the test instead of hanging it.
#pragma once

#include <cstdint>
#include <string>

namespace VorTest {

class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(TcpClient const&) = delete;
    TcpClient& operator=(TcpClient const&) = delete;

    // Connects to 127.0.0.1:port; false when that fails within 5 s.
    bool Connect(std::uint16_t port);
    bool IsConnected() const { return m_iSocket >= 0; }
    bool Send(std::string const& bytes);
    // Sends one byte as urgent (out-of-band) data.
    bool SendUrgent(char byte);
    // Exactly n bytes, or what arrived before the bound, the end of the
    // stream or an error.
    std::string Receive(std::size_t n, unsigned int boundMs = 5000);
    // Whether the peer ends the stream (or resets it) within the bound;
    // bytes that arrive first are discarded.
    bool WaitClosed(unsigned int boundMs = 5000);
    void Close();

private:
    int m_iSocket = -1;
};

class UdpClient {
public:
    UdpClient();
    ~UdpClient();
    UdpClient(UdpClient const&) = delete;
    UdpClient& operator=(UdpClient const&) = delete;

    bool SendTo(std::uint16_t port, std::string const& bytes);
    // One datagram within the bound ("" on time-out); the sender's port
    // goes to `fromPort`.
    std::string Receive(std::uint16_t& fromPort, unsigned int boundMs = 5000);

private:
    int m_iSocket = -1;
};

} // namespace VorTest
