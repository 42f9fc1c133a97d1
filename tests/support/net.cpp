#include "support/net.h"

#include <utility>

namespace VorTest {

using namespace Vor::Platform;

std::uint32_t LoopbackIp() { return HostToNet32(0x7F000001u); }

Ipv4Address LoopbackAddress(std::uint16_t port)
{
    Ipv4Address address{};
    address.family = kFamilyIpv4;
    address.port = HostToNet16(port);
    address.ip = LoopbackIp();
    return address;
}

std::uint16_t FreeLoopbackPort()
{
    // Bind port 0 and read back what the system chose, for both protocols:
    // a port free for TCP may be taken for UDP and the other way round.
    for (int attempt = 0; attempt < 32; ++attempt) {
        SocketHandle tcp = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
        Ipv4Address address = LoopbackAddress(0);
        std::uint16_t port = BindSocket(tcp, address) && GetSocketName(tcp, &address) ? NetToHost16(address.port) : 0;
        CloseSocket(tcp);
        SocketHandle udp = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
        bool free = port != 0 && BindSocket(udp, LoopbackAddress(port));
        CloseSocket(udp);
        if (free)
            return port;
    }
    return 0;
}

LoopbackListener::LoopbackListener()
{
    SocketHandle s = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    Ipv4Address address = LoopbackAddress(0);
    if (BindSocket(s, address) && ListenSocket(s, 64) && GetSocketName(s, &address)) {
        m_Socket = s;
        m_Port = NetToHost16(address.port);
    } else {
        CloseSocket(s);
    }
}

LoopbackListener::~LoopbackListener() { CloseSocket(m_Socket); }

LoopbackTcpPair::LoopbackTcpPair()
{
    LoopbackListener listener;
    m_Client = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    m_Server = listener.IsValid() && ConnectSocket(m_Client, listener.Address(), 5000)
                   ? AcceptSocket(listener.Socket(), nullptr, nullptr)
                   : kInvalidSocket;
    if (!IsValid()) {
        CloseClient();
        return;
    }
    SetSocketOption(m_Client, SocketOption::NoDelay, 1);
    SetSocketOption(m_Server, SocketOption::NoDelay, 1);
}

LoopbackTcpPair::~LoopbackTcpPair()
{
    CloseClient();
    CloseServer();
}

bool LoopbackTcpPair::IsValid() const { return m_Client != kInvalidSocket && m_Server != kInvalidSocket; }

SocketHandle LoopbackTcpPair::ReleaseServer() { return std::exchange(m_Server, kInvalidSocket); }

void LoopbackTcpPair::CloseClient()
{
    CloseSocket(m_Client); // refuses an invalid handle
    m_Client = kInvalidSocket;
}

void LoopbackTcpPair::CloseServer() { CloseSocket(ReleaseServer()); }

} // namespace VorTest
