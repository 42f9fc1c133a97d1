// The socket objects behind a Socket device. Not part of the installed
// interface: applications reach them through handles and SocketIo.
#pragma once

#include <vor/io/socket.h>

#include <atomic>

namespace Vor {
namespace Io {

// Holds the system socket and the address it is bound or connected to.
class PosixSocket : public SocketIo {
public:
    static constexpr unsigned int INVALID_SOCKET = 0xFFFFFFFFu;

    using SocketIo::ReadAll;
    using SocketIo::WriteAll;

    unsigned int ReadAll(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, int flags) const override;
    unsigned int WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, int flags) override;
    bool Bind(Socket::Address const& address) override;
    bool Listen(int backlog) override;
    bool Connect(Socket::Param const& peer) override;
    bool Accept(IoObject* target, Socket::Param& peer) override;
    bool ShutDown(int how) override;
    Socket::Address GetAddress(Socket::Param::AddrType type) const override;
    unsigned int GetHandle() const override { return m_uSocket.load(std::memory_order_acquire); }
    bool Close() override;

protected:
    // Creates the system socket at once; a failure leaves INVALID_SOCKET and
    // every later operation fails.
    PosixSocket(int domain, bool stream, int protocol);
    ~PosixSocket() override;

    // Read by the select engine's thread while the owner may close: atomic.
    std::atomic<unsigned int> m_uSocket;
    Socket::Address m_Address;
};

class PosixListenSocket final : public PosixSocket {
public:
    PosixListenSocket(int domain, int protocol);

    // Sets SO_REUSEADDR first, so a listener can reopen while connections of
    // its predecessor sit in TIME_WAIT.
    bool Bind(Socket::Address const& address) override;
    bool Listen(int backlog) override;
    bool Accept(IoObject* target, Socket::Param& peer) override;

private:
    ~PosixListenSocket() override = default;
};

class PosixTcpSocket final : public PosixSocket {
public:
    // How long Connect waits for the handshake.
    static constexpr unsigned int CONNECT_TIMEOUT = 10000;

    PosixTcpSocket(int domain, int protocol);

    using PosixSocket::ReadAll;
    using PosixSocket::WriteAll;

    unsigned int ReadAll(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, int flags) const override;
    unsigned int WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, int flags) override;
    bool Connect(Socket::Param const& peer) override;
    bool ShutDown(int how) override;
    bool Close() override;

private:
    friend class PosixListenSocket;
    ~PosixTcpSocket() override;
    // Takes over an accepted connection.
    void Adopt(unsigned int socket, Socket::Address const& peer);
};

class PosixUdpSocket final : public PosixSocket {
public:
    PosixUdpSocket(int domain, int protocol);

    using PosixSocket::ReadAll;
    using PosixSocket::WriteAll;

    unsigned int ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, int flags) const override;
    unsigned int WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, int flags) override;
    // Remembers the default destination; no system call.
    bool Connect(Socket::Param const& peer) override;

private:
    ~PosixUdpSocket() override = default;
};

} // namespace Io
} // namespace Vor
