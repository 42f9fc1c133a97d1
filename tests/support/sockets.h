// Loopback sockets made through the library's Socket device.
#pragma once

#include <vor/io/socket.h>

namespace VorTest {

// A listening socket on 127.0.0.1 with a system-chosen port.
struct SocketListener {
    SocketListener();
    Vor::Io::Socket device;
    Vor::Io::Socket::Address address;
};

// A connected TCP pair: the client device and the accepted handle. `peer`
// holds the client's address as the accept reported it.
struct TcpConnection {
    TcpConnection();
    bool IsValid() { return server.IsValid() && client.GetHandle().IsValid(); }
    SocketListener listener;
    Vor::Io::Socket client;
    Vor::Io::Socket::Param peer;
    Vor::Io::IoHandle server;
};

// A UDP socket bound to 127.0.0.1 with a system-chosen port.
struct BoundUdp {
    BoundUdp();
    Vor::Io::Socket device;
    Vor::Io::Socket::Address address;
};

} // namespace VorTest
