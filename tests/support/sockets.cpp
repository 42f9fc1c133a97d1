#include "support/sockets.h"

namespace VorTest {

using Vor::Io::Socket;

SocketListener::SocketListener()
{
    if (device.Open(Socket::SOCKET_LISTEN, 2, 0) && device.Bind(Socket::Address("127.0.0.1", 0)) && device.Listen(64))
        address = Socket::GetAddress(device.GetHandle(), Socket::Param::LOCAL_ADDR);
}

TcpConnection::TcpConnection()
{
    if (client.Open(Socket::SOCKET_TCP, 2, 0) && client.Connect(Socket::Param(listener.address)))
        server = Socket::Accept(listener.device.GetReadHandle(), peer);
}

BoundUdp::BoundUdp()
{
    if (device.Open(Socket::SOCKET_UDP, 2, 0) && device.Bind(Socket::Address("127.0.0.1", 0)))
        address = Socket::GetAddress(device.GetHandle(), Socket::Param::LOCAL_ADDR);
}

} // namespace VorTest
