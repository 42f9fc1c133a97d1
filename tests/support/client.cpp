#include "support/client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace VorTest {

namespace {

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Waits until the socket is readable or the deadline passes.
bool WaitReadable(int socket, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd entry{socket, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

std::chrono::steady_clock::time_point After(unsigned int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Connect(std::uint16_t port)
{
    Close();
    m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_iSocket < 0)
        return false;
    timeval bound{5, 0};
    setsockopt(m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int on = 1;
    setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (connect(m_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    return true;
}

bool TcpClient::Send(std::string const& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(m_iSocket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool TcpClient::SendUrgent(char byte) { return send(m_iSocket, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1; }

std::string TcpClient::Receive(std::size_t n, unsigned int boundMs)
{
    std::string got;
    auto deadline = After(boundMs);
    char buffer[4096];
    while (got.size() < n && WaitReadable(m_iSocket, deadline)) {
        std::size_t want = n - got.size() < sizeof buffer ? n - got.size() : sizeof buffer;
        ssize_t read = recv(m_iSocket, buffer, want, 0);
        if (read <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(read));
    }
    return got;
}

bool TcpClient::WaitClosed(unsigned int boundMs)
{
    auto deadline = After(boundMs);
    char buffer[4096];
    while (WaitReadable(m_iSocket, deadline)) {
        ssize_t read = recv(m_iSocket, buffer, sizeof buffer, 0);
        if (read <= 0)
            return true;
    }
    return false;
}

void TcpClient::Close()
{
    if (m_iSocket >= 0)
        close(m_iSocket);
    m_iSocket = -1;
}

UdpClient::UdpClient()
{
    m_iSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (m_iSocket >= 0)
        bind(m_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

UdpClient::~UdpClient()
{
    if (m_iSocket >= 0)
        close(m_iSocket);
}

bool UdpClient::SendTo(std::uint16_t port, std::string const& bytes)
{
    sockaddr_in address = Loopback(port);
    return sendto(m_iSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(bytes.size());
}

std::string UdpClient::Receive(std::uint16_t& fromPort, unsigned int boundMs)
{
    fromPort = 0;
    if (!WaitReadable(m_iSocket, After(boundMs)))
        return std::string();
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t read = recvfrom(m_iSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (read < 0)
        return std::string();
    fromPort = ntohs(from.sin_port);
    return std::string(buffer, static_cast<std::size_t>(read));
}

} // namespace VorTest
