// The socket objects behind a Socket device. Not part of the installed
// interface: applications reach them through handles and SocketIo.
#pragma once

#include <vor/core/export.h>

#include <vor/io/socket.h>

#include <atomic>

namespace Vor {
namespace Io {

// Holds the system socket and the address it is bound or connected to.
class VOR_API VOR_NATIVE(Socket) : public SocketIo {
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
    unsigned int GetHandle() const override;
    // Retires the number at once and wakes the calls in progress on it
    // (shutdown); the system gets the socket back when the last use ends,
    // here or in that use.
    bool Close() override;

protected:
    // Creates the system socket at once; a failure leaves INVALID_SOCKET and
    // every later operation fails.
    VOR_NATIVE(Socket)(int domain, bool stream, int protocol);
    // An object without a system socket, to be given one (an accepted
    // connection).
    VOR_NATIVE(Socket)();
    ~VOR_NATIVE(Socket)() override;

    unsigned int AcquireHandle() const override;
    void ReleaseHandle() const override;
    // Gives an object whose socket is closed (or that never had one) a new
    // system socket. False when the object is still in use.
    bool TakeSocket(unsigned int socket);

    // The number stays this object's from the system's socket() (or
    // accept) until the last use after Close releases it.
    std::atomic<unsigned int> m_uSocket;
    // RETIRED once closed; below it, the uses in progress.
    mutable std::atomic<unsigned int> m_uUses;
    static constexpr unsigned int RETIRED = 0x80000000u;
    Socket::Address m_Address;
};

class VOR_API VOR_NATIVE(ListenSocket) final : public VOR_NATIVE(Socket) {
public:
    VOR_NATIVE(ListenSocket)(int domain, int protocol);

    // Sets SO_REUSEADDR first, so a listener can reopen while connections of
    // its predecessor sit in TIME_WAIT.
    bool Bind(Socket::Address const& address) override;
    bool Listen(int backlog) override;
    bool Accept(IoObject* target, Socket::Param& peer) override;

private:
    ~VOR_NATIVE(ListenSocket)() override = default;
};

class VOR_API VOR_NATIVE(TcpSocket) final : public VOR_NATIVE(Socket) {
public:
    // How long Connect waits for the handshake.
    static constexpr unsigned int CONNECT_TIMEOUT = 10000;

    VOR_NATIVE(TcpSocket)(int domain, int protocol);
    // Without a system socket: the target of an accept.
    VOR_NATIVE(TcpSocket)();

    using VOR_NATIVE(Socket)::ReadAll;
    using VOR_NATIVE(Socket)::WriteAll;

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
    friend class VOR_NATIVE(ListenSocket);
    ~VOR_NATIVE(TcpSocket)() override;
    // Takes over an accepted connection.
    bool Adopt(unsigned int socket, Socket::Address const& peer);
};

class VOR_API VOR_NATIVE(UdpSocket) final : public VOR_NATIVE(Socket) {
public:
    VOR_NATIVE(UdpSocket)(int domain, int protocol);

    using VOR_NATIVE(Socket)::ReadAll;
    using VOR_NATIVE(Socket)::WriteAll;

    unsigned int ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const override;
    unsigned int ReadOnce(void* buffer, unsigned int n, int flags) const override;
    unsigned int WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags) override;
    unsigned int WriteOnce(void const* buffer, unsigned int n, int flags) override;
    // Remembers the default destination; no system call.
    bool Connect(Socket::Param const& peer) override;

private:
    ~VOR_NATIVE(UdpSocket)() override = default;
};

} // namespace Io
} // namespace Vor
