#include "support/net.h"

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
        std::uint16_t port = 0;
        if (BindSocket(tcp, address) && GetSocketName(tcp, &address))
            port = NetToHost16(address.port);
        CloseSocket(tcp);
        if (port == 0)
            continue;
        SocketHandle udp = OpenSocket(kFamilyIpv4, SocketKind::Datagram, 0);
        bool free = BindSocket(udp, LoopbackAddress(port));
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
    } else if (s != kInvalidSocket) {
        CloseSocket(s);
    }
}

LoopbackListener::~LoopbackListener()
{
    if (IsValid())
        CloseSocket(m_Socket);
}

LoopbackTcpPair::LoopbackTcpPair()
{
    LoopbackListener listener;
    if (!listener.IsValid())
        return;
    SocketHandle client = OpenSocket(kFamilyIpv4, SocketKind::Stream, 0);
    if (!ConnectSocket(client, listener.Address(), 5000)) {
        CloseSocket(client);
        return;
    }
    SocketHandle server = AcceptSocket(listener.Socket(), nullptr, nullptr);
    if (server == kInvalidSocket) {
        CloseSocket(client);
        return;
    }
    SetSocketOption(client, SocketOption::NoDelay, 1);
    SetSocketOption(server, SocketOption::NoDelay, 1);
    m_Client = client;
    m_Server = server;
}

LoopbackTcpPair::~LoopbackTcpPair()
{
    CloseClient();
    CloseServer();
}

bool LoopbackTcpPair::IsValid() const { return m_Client != kInvalidSocket && m_Server != kInvalidSocket; }

SocketHandle LoopbackTcpPair::ReleaseClient()
{
    SocketHandle s = m_Client;
    m_Client = kInvalidSocket;
    return s;
}

SocketHandle LoopbackTcpPair::ReleaseServer()
{
    SocketHandle s = m_Server;
    m_Server = kInvalidSocket;
    return s;
}

void LoopbackTcpPair::CloseClient()
{
    if (m_Client != kInvalidSocket)
        CloseSocket(ReleaseClient());
}

void LoopbackTcpPair::CloseServer()
{
    if (m_Server != kInvalidSocket)
        CloseSocket(ReleaseServer());
}

} // namespace VorTest
