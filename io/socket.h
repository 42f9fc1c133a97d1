// IPv4 sockets as I/O objects: the device that opens them, their address and
// parameter blocks, and the socket operations every socket object offers.
//
// Three objects stand behind a Socket device: a listening TCP socket, a
// connected TCP socket and a UDP socket. Sockets stay in blocking mode;
// readiness is learnt from the select engine, which sets and clears the
// READABLE, WRITABLE, IDLE and EXCEPT attributes of these objects.
#pragma once

#include <vor/core/export.h>

#include <vor/io/iobase.h>

#include <string>

struct sockaddr;
struct sockaddr_in;

namespace Vor {
namespace Io {

class SocketIo;

// The device of sockets: opens listening, stream and datagram sockets and
// holds their addresses and parameters.
class VOR_API Socket : public IoDevice {
public:
    // The kinds of socket.
    enum SocketType {
        SOCKET_LISTEN = 0, // a stream socket for listening
        SOCKET_TCP = 1,    // a stream socket
        SOCKET_UDP = 2,    // a datagram socket
    };

    // An IPv4 endpoint, laid out exactly as the system's 16-byte address:
    // family (host order), port and address (network order), 8 zero bytes.
    class VOR_API Address {
    public:
        // 0.0.0.0, port 0.
        Address();
        // The address from dotted text; text that is not a dotted address
        // gives 255.255.255.255, which no bind or connect accepts.
        explicit Address(char const* ip);
        Address(char const* ip, unsigned short port);
        Address(Address const& other) = default;
        Address(::sockaddr const& other);
        Address(::sockaddr_in const& other);
        Address& operator=(Address const& other) = default;
        Address& operator=(::sockaddr const& other);
        Address& operator=(::sockaddr_in const& other);

        operator ::sockaddr const*() const { return reinterpret_cast<::sockaddr const*>(this); }
        operator ::sockaddr_in const*() const { return reinterpret_cast<::sockaddr_in const*>(this); }
        operator ::sockaddr*() { return reinterpret_cast<::sockaddr*>(this); }
        operator ::sockaddr_in*() { return reinterpret_cast<::sockaddr_in*>(this); }

        // The raw address field (network order).
        unsigned int IP() const { return m_uIp; }
        // Sets the address from dotted text. False, with nothing changed,
        // when the text is not a dotted IPv4 address.
        bool IP(char const* ip);
        bool IP(unsigned int ip);
        // The port in host order.
        unsigned short Port() const;
        bool Port(unsigned short port);
        unsigned short Family() const { return m_uFamily; }
        bool Family(unsigned short family);
        // The address as dotted text.
        std::string IpString() const;
        int GetLen() const { return 16; }

        bool operator==(Address const& other) const;
        bool operator!=(Address const& other) const { return !(*this == other); }

    private:
        unsigned short m_uFamily;
        unsigned short m_uPort;
        unsigned int m_uIp;
        [[maybe_unused]] unsigned char m_Zero[8]; // the system's padding, always zero
    };

    // The per-operation parameter of socket transfers: the peer address.
    class VOR_API Param : public IoParam {
    public:
        // Readiness masks of the notify framework.
        static constexpr unsigned int READ_MASK = 0x1;
        static constexpr unsigned int WRITE_MASK = 0x2;
        static constexpr unsigned int EXCEPT_MASK = 0x4;
        static constexpr unsigned int ACCEPT_MASK = 0x8;
        static constexpr unsigned int CONNECT_MASK = 0x10;

        // Which address of a socket to read.
        enum AddrType {
            PEER_ADDR = 0,  // the connected peer
            LOCAL_ADDR = 1, // the local end (so is any other value)
        };

        Param() = default;
        explicit Param(Address const& address) : address(address) {}
        Param(Param const& other) : IoParam(other), address(other.address) {}
        Param& operator=(Param const& other)
        {
            address = other.address;
            return *this;
        }
        ~Param() override = default;

        // Succeeds only for another Socket::Param: copies its address.
        bool Copy(IoParam const& other) override;

        // The system socket of the handle's object, or 0xFFFFFFFF when the
        // handle holds no socket object.
        static unsigned int GetHandle(IoBase const& handle);

        Address address;
    };

    // The kind of socket to create, with its domain and protocol.
    class VOR_API CreateParam : public IoDevice::Param {
    public:
        CreateParam(SocketType type = SOCKET_TCP, int domain = 2, int protocol = 0)
            : type(type), domain(domain), protocol(protocol)
        {
        }
        SocketType type;
        int domain;
        int protocol;
    };

    Socket() = default;
    ~Socket() override = default;

    using IoDevice::Open;
    bool Open(SocketType type, int domain = 2, int protocol = 0);

    // The socket object's own operations; false when the device holds no
    // socket object.
    bool Bind(Address const& address);
    bool Listen(unsigned int backlog);
    bool Connect(Param const& peer);

    // Accepts one connection on the listening socket `listener`; the
    // peer's address goes to `peer`. An empty handle on failure.
    static IoHandle Accept(ReadHandle const& listener, Param& peer);
    static IoHandle Accept(ReadHandle const& listener);
    // Shuts down the direction the handle stands for: a WriteHandle
    // sending, a ReadHandle receiving, any other handle both. False when
    // the handle holds no socket object.
    static bool ShutDown(IoBase& handle);
    // The local or peer address; a default Address when the handle holds
    // no socket object or the address cannot be read.
    static Address GetAddress(IoBase& handle, Param::AddrType type);

protected:
    IoObject* Create(IoDevice::Param const& param) override;
};

// The base of socket objects. Plain reads and writes of a stream socket
// move the whole count (looping); of a datagram socket one datagram.
class VOR_API SocketIo : public IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override;
    unsigned int Read(void* buffer, unsigned int n) const override;
    // Sends nothing and fails when `param` is not a Socket::Param.
    bool Write(void const* buffer, unsigned int n, IoParam& param) override;
    bool Write(void const* buffer, unsigned int n) override;

    // Exactly n bytes, or the failure marker (also when the peer closed
    // before all arrived; the bytes received are then dropped). 0 for n 0.
    virtual unsigned int ReadAll(void* buffer, unsigned int n, Socket::Param& param, int flags) const;
    virtual unsigned int ReadAll(void* buffer, unsigned int n, int flags) const;
    virtual unsigned int ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const = 0;
    virtual unsigned int ReadOnce(void* buffer, unsigned int n, int flags) const = 0;
    virtual unsigned int WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags);
    virtual unsigned int WriteAll(void const* buffer, unsigned int n, int flags);
    virtual unsigned int WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags) = 0;
    virtual unsigned int WriteOnce(void const* buffer, unsigned int n, int flags) = 0;
    virtual bool Bind(Socket::Address const& address) = 0;
    virtual bool Listen(int backlog) = 0;
    virtual bool Connect(Socket::Param const& peer) = 0;
    virtual bool Accept(IoObject* target, Socket::Param& peer) = 0;
    // 0 receiving, 1 sending, 2 both; any other value is refused.
    virtual bool ShutDown(int how) = 0;
    virtual Socket::Address GetAddress(Socket::Param::AddrType type) const = 0;
    // The system socket, or 0xFFFFFFFF once closed. The number names the
    // socket, it does not hold it: a system call on it needs a Use.
    virtual unsigned int GetHandle() const = 0;

    // Holds the system socket open while it lives. The system hands a
    // closed socket's number to the next socket any thread opens, so
    // whoever takes the number for a call holds a Use around the call: a
    // Close meanwhile retires the number at once (no new Use gets it), wakes
    // the calls in progress, and the last Use gives it back to the system.
    // Handle() is 0xFFFFFFFF when the socket is closed (nothing is held).
    class VOR_API Use {
    public:
        Use() = default;
        explicit Use(SocketIo const& io) { Take(io); }
        ~Use() { Drop(); }
        Use(Use const&) = delete;
        Use& operator=(Use const&) = delete;

        // Ends the use held, if any, and begins one on `io` (which must
        // outlive it): the number, or 0xFFFFFFFF.
        unsigned int Take(SocketIo const& io)
        {
            Drop();
            m_uHandle = io.AcquireHandle();
            if (m_uHandle != 0xFFFFFFFFu)
                m_pIo = &io;
            return m_uHandle;
        }
        void Drop()
        {
            SocketIo const* io = m_pIo;
            m_pIo = nullptr;
            m_uHandle = 0xFFFFFFFFu;
            if (io != nullptr)
                io->ReleaseHandle();
        }
        unsigned int Handle() const { return m_uHandle; }

    private:
        SocketIo const* m_pIo = nullptr;
        unsigned int m_uHandle = 0xFFFFFFFFu;
    };

protected:
    SocketIo();
    ~SocketIo() override = default;

    // A use of the system socket for one call (see Use): the number, or
    // 0xFFFFFFFF with nothing held. A socket object without uses of its own
    // hands out GetHandle() and holds nothing.
    virtual unsigned int AcquireHandle() const { return GetHandle(); }
    // Ends a use that AcquireHandle began.
    virtual void ReleaseHandle() const {}

    template <class Once>
    static unsigned int ReadLoop(unsigned char* buffer, unsigned int n, Once once);
    template <class Once>
    static unsigned int WriteLoop(unsigned char const* buffer, unsigned int n, Once once);
};

// The socket object of a handle without a walk of the class tree for the
// library's own sockets (the hot paths ask this per message).
template <>
VOR_API SocketIo* IoBase::As<SocketIo>() const;

} // namespace Io
} // namespace Vor
