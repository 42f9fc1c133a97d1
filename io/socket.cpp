#include <vor/io/socket.h>

#include "io/internal/posixsocket.h"
#include "platform/socket.h"

#include <cstring>
#include <new>
#include <typeinfo>

namespace Vor {
namespace Io {

namespace P = Platform;

namespace {

P::Ipv4Address const& Raw(Socket::Address const& address)
{
    return *reinterpret_cast<P::Ipv4Address const*>(&address);
}

P::Ipv4Address* Raw(Socket::Address* address) { return reinterpret_cast<P::Ipv4Address*>(address); }

unsigned int Count(std::int64_t result)
{
    return result < 0 ? IoObject::FAILED : static_cast<unsigned int>(result);
}

// The object as a socket, or null. The library's own sockets are known by
// their exact type, a comparison of two type identities; anything else (an
// application's own socket object) takes the walk of the class tree.
SocketIo* AsSocket(IoObject* object)
{
    std::type_info const& type = typeid(*object);
    if (&type == &typeid(VOR_NATIVE(TcpSocket)) || &type == &typeid(VOR_NATIVE(UdpSocket)) || &type == &typeid(VOR_NATIVE(ListenSocket)))
        return static_cast<VOR_NATIVE(Socket)*>(object);
    return dynamic_cast<SocketIo*>(object);
}

// The socket object held by a handle, with a reference kept for the call.
struct SocketRef {
    explicit SocketRef(IoBase const& handle) : object(handle.GetObject()) {}
    SocketIo* Get() const { return AsSocket(object.Raw()); }
    Core::Guard<IoObject> object;
};

} // namespace

template <>
SocketIo* IoBase::As<SocketIo>() const
{
    return AsSocket(m_pIo);
}

static_assert(sizeof(Socket::Address) == 16, "an address is the system's 16 bytes");

// ---------------------------------------------------------------- Address

Socket::Address::Address() : m_uFamily(P::kFamilyIpv4), m_uPort(0), m_uIp(0), m_Zero() {}

Socket::Address::Address(char const* ip) : Address()
{
    if (!IP(ip))
        m_uIp = 0xFFFFFFFFu;
}

Socket::Address::Address(char const* ip, unsigned short port) : Address(ip) { Port(port); }

Socket::Address::Address(::sockaddr const& other) { std::memcpy(this, &other, sizeof(*this)); }

Socket::Address::Address(::sockaddr_in const& other) { std::memcpy(this, &other, sizeof(*this)); }

Socket::Address& Socket::Address::operator=(::sockaddr const& other)
{
    std::memcpy(this, &other, sizeof(*this));
    return *this;
}

Socket::Address& Socket::Address::operator=(::sockaddr_in const& other)
{
    std::memcpy(this, &other, sizeof(*this));
    return *this;
}

bool Socket::Address::IP(char const* ip)
{
    std::uint32_t parsed = 0;
    if (!P::ParseIpv4(ip, &parsed))
        return false;
    m_uIp = parsed;
    return true;
}

bool Socket::Address::IP(unsigned int ip)
{
    m_uIp = ip;
    return true;
}

unsigned short Socket::Address::Port() const { return P::NetToHost16(m_uPort); }

bool Socket::Address::Port(unsigned short port)
{
    m_uPort = P::HostToNet16(port);
    return true;
}

bool Socket::Address::Family(unsigned short family)
{
    m_uFamily = family;
    return true;
}

std::string Socket::Address::IpString() const { return P::FormatIpv4(m_uIp); }

bool Socket::Address::operator==(Address const& other) const { return std::memcmp(this, &other, sizeof(*this)) == 0; }

// ---------------------------------------------------------------- Param

bool Socket::Param::Copy(IoParam const& other)
{
    Param const* source = dynamic_cast<Param const*>(&other);
    if (source == nullptr)
        return false;
    address = source->address;
    return true;
}

VOR_HOT unsigned int Socket::Param::GetHandle(IoBase const& handle)
{
    // The handle holds the object for the call. A connection, the usual
    // case, by its exact (final) type.
    if (VOR_NATIVE(TcpSocket)* tcp = handle.AsExact<VOR_NATIVE(TcpSocket)>())
        return tcp->GetHandle();
    SocketIo* socket = handle.As<SocketIo>();
    return socket != nullptr ? socket->GetHandle() : 0xFFFFFFFFu;
}

// ---------------------------------------------------------------- Socket

bool Socket::Open(SocketType type, int domain, int protocol) { return IoDevice::Open(CreateParam(type, domain, protocol)); }

IoObject* Socket::Create(IoDevice::Param const& param)
{
    CreateParam const* create = dynamic_cast<CreateParam const*>(&param);
    if (create == nullptr)
        return IoDevice::Create(param);
    switch (create->type) {
    case SOCKET_LISTEN:
        return new (std::nothrow) VOR_NATIVE(ListenSocket)(create->domain, create->protocol);
    case SOCKET_TCP:
        return new (std::nothrow) VOR_NATIVE(TcpSocket)(create->domain, create->protocol);
    case SOCKET_UDP:
        return new (std::nothrow) VOR_NATIVE(UdpSocket)(create->domain, create->protocol);
    default:
        return nullptr;
    }
}

bool Socket::Bind(Address const& address)
{
    SocketRef ref(GetHandle());
    return ref.Get() != nullptr && ref.Get()->Bind(address);
}

bool Socket::Listen(unsigned int backlog)
{
    SocketRef ref(GetHandle());
    int clamped = backlog > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(backlog);
    return ref.Get() != nullptr && ref.Get()->Listen(clamped);
}

bool Socket::Connect(Param const& peer)
{
    SocketRef ref(GetHandle());
    return ref.Get() != nullptr && ref.Get()->Connect(peer);
}

IoHandle Socket::Accept(ReadHandle const& listener, Param& peer)
{
    SocketRef source(listener);
    if (source.Get() == nullptr)
        return IoHandle();
    // The connection's object is made without a system socket of its own:
    // it takes the accepted one.
    VOR_NATIVE(TcpSocket)* made = new (std::nothrow) VOR_NATIVE(TcpSocket);
    if (made == nullptr)
        return IoHandle();
    IoHandle connection(made);
    made->DecRef();
    if (!source.Get()->Accept(made, peer))
        return IoHandle();
    return connection;
}

IoHandle Socket::Accept(ReadHandle const& listener)
{
    Param peer;
    return Accept(listener, peer);
}

bool Socket::ShutDown(IoBase& handle)
{
    SocketRef ref(handle);
    if (ref.Get() == nullptr)
        return false;
    int how = P::kShutBoth;
    if (dynamic_cast<WriteHandle*>(&handle) != nullptr)
        how = P::kShutSend;
    else if (dynamic_cast<ReadHandle*>(&handle) != nullptr)
        how = P::kShutReceive;
    return ref.Get()->ShutDown(how);
}

Socket::Address Socket::GetAddress(IoBase& handle, Param::AddrType type)
{
    SocketRef ref(handle);
    return ref.Get() != nullptr ? ref.Get()->GetAddress(type) : Address();
}

// ---------------------------------------------------------------- SocketIo

SocketIo::SocketIo()
{
    SetAttrib(IoParam::READABLE, false);
    SetAttrib(IoParam::WRITABLE, false);
    SetAttrib(IoParam::LOCAL, false);
}

template <class Once>
unsigned int SocketIo::ReadLoop(unsigned char* buffer, unsigned int n, Once once)
{
    if (n == 0)
        return 0;
    unsigned int done = 0;
    while (done < n) {
        unsigned int got = once(buffer + done, n - done);
        if (got == FAILED || got == 0)
            return got;
        done += got;
    }
    return n;
}

template <class Once>
VOR_HOT unsigned int SocketIo::WriteLoop(unsigned char const* buffer, unsigned int n, Once once)
{
    if (n == 0)
        return 0;
    unsigned int done = 0;
    while (done < n) {
        unsigned int sent = once(buffer + done, n - done);
        if (sent == FAILED)
            return FAILED;
        done += sent;
    }
    return n;
}

unsigned int SocketIo::Read(void* buffer, unsigned int n, IoParam& param) const
{
    Socket::Param* peer = dynamic_cast<Socket::Param*>(&param);
    if (peer == nullptr)
        return FAILED;
    if (GetAttrib(IoParam::DATAGRAM))
        return ReadOnce(buffer, n, *peer, 0);
    return ReadAll(buffer, n, *peer, 0);
}

VOR_HOT unsigned int SocketIo::Read(void* buffer, unsigned int n) const
{
    if (GetAttrib(IoParam::DATAGRAM))
        return ReadOnce(buffer, n, 0);
    return ReadAll(buffer, n, 0);
}

bool SocketIo::Write(void const* buffer, unsigned int n, IoParam& param)
{
    Socket::Param* peer = dynamic_cast<Socket::Param*>(&param);
    return peer != nullptr && WriteAll(buffer, n, *peer, 0) == n;
}

VOR_HOT bool SocketIo::Write(void const* buffer, unsigned int n)
{
    unsigned int sent = GetAttrib(IoParam::DATAGRAM) ? WriteOnce(buffer, n, 0) : WriteAll(buffer, n, 0);
    return sent == n;
}

unsigned int SocketIo::ReadAll(void* buffer, unsigned int n, Socket::Param& param, int flags) const
{
    return ReadLoop(static_cast<unsigned char*>(buffer), n,
                    [&](unsigned char* at, unsigned int left) { return ReadOnce(at, left, param, flags); });
}

unsigned int SocketIo::ReadAll(void* buffer, unsigned int n, int flags) const
{
    return ReadLoop(static_cast<unsigned char*>(buffer), n,
                    [&](unsigned char* at, unsigned int left) { return ReadOnce(at, left, flags); });
}

unsigned int SocketIo::WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags)
{
    return WriteLoop(static_cast<unsigned char const*>(buffer), n,
                     [&](unsigned char const* at, unsigned int left) { return WriteOnce(at, left, param, flags); });
}

unsigned int SocketIo::WriteAll(void const* buffer, unsigned int n, int flags)
{
    return WriteLoop(static_cast<unsigned char const*>(buffer), n,
                     [&](unsigned char const* at, unsigned int left) { return WriteOnce(at, left, flags); });
}

// ---------------------------------------------------------------- PosixSocket / Win32Socket

VOR_NATIVE(Socket)::VOR_NATIVE(Socket)(int domain, bool stream, int protocol)
    : m_uSocket(P::OpenSocket(domain, stream ? P::SocketKind::Stream : P::SocketKind::Datagram, protocol)), m_uUses(0)
{
}

VOR_NATIVE(Socket)::VOR_NATIVE(Socket)() : m_uSocket(INVALID_SOCKET), m_uUses(0) {}

VOR_NATIVE(Socket)::~VOR_NATIVE(Socket)()
{
    // No use can be in progress on an object nobody holds any more.
    unsigned int socket = m_uSocket.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET)
        P::CloseSocket(socket);
}

VOR_HOT unsigned int VOR_NATIVE(Socket)::GetHandle() const
{
    if (m_uUses.load(std::memory_order_acquire) & RETIRED)
        return INVALID_SOCKET;
    return m_uSocket.load(std::memory_order_acquire);
}

VOR_HOT unsigned int VOR_NATIVE(Socket)::AcquireHandle() const
{
    unsigned int uses = m_uUses.fetch_add(1, std::memory_order_acquire);
    unsigned int socket = m_uSocket.load(std::memory_order_acquire);
    if ((uses & RETIRED) == 0 && socket != INVALID_SOCKET)
        return socket;
    ReleaseHandle();
    return INVALID_SOCKET;
}

VOR_HOT void VOR_NATIVE(Socket)::ReleaseHandle() const
{
    // The last use after the retirement gives the number back.
    if (m_uUses.fetch_sub(1, std::memory_order_acq_rel) - 1 != RETIRED)
        return;
    unsigned int socket = const_cast<std::atomic<unsigned int>&>(m_uSocket).exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET)
        P::CloseSocket(socket);
}

bool VOR_NATIVE(Socket)::TakeSocket(unsigned int socket)
{
    // Only an object that nobody uses and whose own socket, if it had one,
    // is given back already.
    if ((m_uUses.load() & ~RETIRED) != 0 || m_uSocket.load() != INVALID_SOCKET)
        return false;
    m_uSocket.store(socket, std::memory_order_release);
    m_uUses.store(0, std::memory_order_release);
    return true;
}

unsigned int VOR_NATIVE(Socket)::ReadAll(void*, unsigned int, Socket::Param&, int) const { return FAILED; }
unsigned int VOR_NATIVE(Socket)::ReadOnce(void*, unsigned int, Socket::Param&, int) const { return FAILED; }
unsigned int VOR_NATIVE(Socket)::ReadOnce(void*, unsigned int, int) const { return FAILED; }
unsigned int VOR_NATIVE(Socket)::WriteAll(void const*, unsigned int, Socket::Param&, int) { return FAILED; }
unsigned int VOR_NATIVE(Socket)::WriteOnce(void const*, unsigned int, Socket::Param&, int) { return FAILED; }
unsigned int VOR_NATIVE(Socket)::WriteOnce(void const*, unsigned int, int) { return FAILED; }

bool VOR_NATIVE(Socket)::Bind(Socket::Address const& address)
{
    Use use(*this);
    return P::BindSocket(use.Handle(), Raw(address));
}

bool VOR_NATIVE(Socket)::Listen(int) { return false; }
bool VOR_NATIVE(Socket)::Connect(Socket::Param const&) { return false; }
bool VOR_NATIVE(Socket)::Accept(IoObject*, Socket::Param&) { return false; }
bool VOR_NATIVE(Socket)::ShutDown(int) { return true; }

Socket::Address VOR_NATIVE(Socket)::GetAddress(Socket::Param::AddrType type) const
{
    Use use(*this);
    Socket::Address address;
    bool read = type == Socket::Param::PEER_ADDR ? P::GetPeerName(use.Handle(), Raw(&address))
                                                 : P::GetSocketName(use.Handle(), Raw(&address));
    return read ? address : Socket::Address();
}

bool VOR_NATIVE(Socket)::Close()
{
    // Closed under a use of its own, so that the shutdown below cannot
    // reach a number given back meanwhile by the last other use.
    unsigned int socket = AcquireHandle();
    if (socket == INVALID_SOCKET)
        return true;
    SetAttrib(IoParam::READABLE, false);
    SetAttrib(IoParam::WRITABLE, false);
    unsigned int uses = m_uUses.fetch_or(RETIRED, std::memory_order_acq_rel);
    // Calls blocked on the socket (a receive, an accept, a connect, a wait
    // for readiness) would hold it for as long as they wait.
    if ((uses & RETIRED) == 0 && (uses & ~RETIRED) > 1)
        P::ShutdownSocket(socket, P::kShutBoth);
    ReleaseHandle();
    return true;
}

// ---------------------------------------------------------------- listening

VOR_NATIVE(ListenSocket)::VOR_NATIVE(ListenSocket)(int domain, int protocol) : VOR_NATIVE(Socket)(domain, true, protocol)
{
    m_pOwnAttribs = &typeid(VOR_NATIVE(ListenSocket));
}

bool VOR_NATIVE(ListenSocket)::Bind(Socket::Address const& address)
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET || !P::SetSocketOption(use.Handle(), P::SocketOption::ReuseAddress, 1))
        return false;
    if (!P::BindSocket(use.Handle(), Raw(address)))
        return false;
    m_Address = address;
    return true;
}

bool VOR_NATIVE(ListenSocket)::Listen(int backlog)
{
    Use use(*this);
    return use.Handle() != INVALID_SOCKET && P::ListenSocket(use.Handle(), backlog);
}

bool VOR_NATIVE(ListenSocket)::Accept(IoObject* target, Socket::Param& peer)
{
    VOR_NATIVE(TcpSocket)* connection = dynamic_cast<VOR_NATIVE(TcpSocket)*>(target);
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET || connection == nullptr)
        return false;
    // A target that has a socket of its own gives it up first.
    if (!connection->Close())
        return false;
    unsigned int length = sizeof(Socket::Address);
    unsigned int socket = P::AcceptSocket(use.Handle(), Raw(&peer.address), &length);
    if (socket == INVALID_SOCKET)
        return false;
    // Not an IPv4 peer, or a target still in use elsewhere: refused, and
    // the connection is not leaked.
    if (length > sizeof(Socket::Address) || !connection->Adopt(socket, peer.address)) {
        P::CloseSocket(socket);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- TCP

VOR_NATIVE(TcpSocket)::VOR_NATIVE(TcpSocket)(int domain, int protocol) : VOR_NATIVE(Socket)(domain, true, protocol)
{
    m_pOwnAttribs = &typeid(VOR_NATIVE(TcpSocket));
    SetAttrib(IoParam::DATAGRAM, false);
}

VOR_NATIVE(TcpSocket)::VOR_NATIVE(TcpSocket)()
{
    m_pOwnAttribs = &typeid(VOR_NATIVE(TcpSocket));
    SetAttrib(IoParam::DATAGRAM, false);
}

VOR_NATIVE(TcpSocket)::~VOR_NATIVE(TcpSocket)() { Close(); }

bool VOR_NATIVE(TcpSocket)::Adopt(unsigned int socket, Socket::Address const& peer)
{
    if (!TakeSocket(socket))
        return false;
    m_Address = peer;
    SetAttrib(IoParam::READABLE, true);
    SetAttrib(IoParam::WRITABLE, true);
    return true;
}

unsigned int VOR_NATIVE(TcpSocket)::ReadAll(void* buffer, unsigned int n, Socket::Param& param, int flags) const
{
    param.address = m_Address;
    return SocketIo::ReadAll(buffer, n, flags);
}

unsigned int VOR_NATIVE(TcpSocket)::ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const
{
    param.address = m_Address;
    return ReadOnce(buffer, n, flags);
}

VOR_HOT unsigned int VOR_NATIVE(TcpSocket)::ReadOnce(void* buffer, unsigned int n, int flags) const
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET)
        return FAILED;
    std::int64_t got = P::ReceiveSocket(use.Handle(), buffer, n, flags);
    return got <= 0 ? FAILED : Count(got);
}

unsigned int VOR_NATIVE(TcpSocket)::WriteAll(void const* buffer, unsigned int n, Socket::Param&, int flags)
{
    return SocketIo::WriteAll(buffer, n, flags);
}

unsigned int VOR_NATIVE(TcpSocket)::WriteOnce(void const* buffer, unsigned int n, Socket::Param&, int flags)
{
    return WriteOnce(buffer, n, flags);
}

VOR_HOT unsigned int VOR_NATIVE(TcpSocket)::WriteOnce(void const* buffer, unsigned int n, int flags)
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET)
        return FAILED;
    std::int64_t sent = P::SendSocket(use.Handle(), buffer, n, flags);
    return sent <= 0 ? FAILED : Count(sent);
}

bool VOR_NATIVE(TcpSocket)::Connect(Socket::Param const& peer)
{
    // A Close from another thread ends the wait for the handshake at once.
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET || !P::ConnectSocket(use.Handle(), Raw(peer.address), CONNECT_TIMEOUT))
        return false;
    m_Address = peer.address;
    SetAttrib(IoParam::WRITABLE, true);
    return true;
}

bool VOR_NATIVE(TcpSocket)::ShutDown(int how)
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET)
        return true;
    if (how != P::kShutReceive && how != P::kShutSend && how != P::kShutBoth)
        return P::ShutdownSocket(use.Handle(), how); // refused: EINVAL, nothing changed
    if (how != P::kShutSend)
        SetAttrib(IoParam::READABLE, false);
    if (how != P::kShutReceive)
        SetAttrib(IoParam::WRITABLE, false);
    return P::ShutdownSocket(use.Handle(), how);
}

bool VOR_NATIVE(TcpSocket)::Close()
{
    ShutDown(P::kShutBoth);
    return VOR_NATIVE(Socket)::Close();
}

// ---------------------------------------------------------------- UDP

VOR_NATIVE(UdpSocket)::VOR_NATIVE(UdpSocket)(int domain, int protocol) : VOR_NATIVE(Socket)(domain, false, protocol)
{
    m_pOwnAttribs = &typeid(VOR_NATIVE(UdpSocket));
    SetAttrib(IoParam::DATAGRAM, true);
    bool open = GetHandle() != INVALID_SOCKET;
    SetAttrib(IoParam::READABLE, open);
    SetAttrib(IoParam::WRITABLE, open);
}

unsigned int VOR_NATIVE(UdpSocket)::ReadOnce(void* buffer, unsigned int n, Socket::Param& param, int flags) const
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET)
        return FAILED;
    unsigned int length = sizeof(Socket::Address);
    std::int64_t got = P::ReceiveFromSocket(use.Handle(), buffer, n, flags, Raw(&param.address), &length);
    if (got <= 0 || length > sizeof(Socket::Address))
        return FAILED;
    return Count(got);
}

unsigned int VOR_NATIVE(UdpSocket)::ReadOnce(void* buffer, unsigned int n, int flags) const
{
    Socket::Param scratch;
    return ReadOnce(buffer, n, scratch, flags);
}

unsigned int VOR_NATIVE(UdpSocket)::WriteAll(void const* buffer, unsigned int n, Socket::Param& param, int flags)
{
    Socket::Param to(param.address);
    return SocketIo::WriteAll(buffer, n, to, flags);
}

unsigned int VOR_NATIVE(UdpSocket)::WriteOnce(void const* buffer, unsigned int n, Socket::Param& param, int flags)
{
    Use use(*this);
    if (use.Handle() == INVALID_SOCKET)
        return FAILED;
    std::int64_t sent = P::SendToSocket(use.Handle(), buffer, n, flags, Raw(param.address));
    return sent <= 0 ? FAILED : Count(sent);
}

unsigned int VOR_NATIVE(UdpSocket)::WriteOnce(void const* buffer, unsigned int n, int flags)
{
    Socket::Param to(m_Address);
    return WriteOnce(buffer, n, to, flags);
}

bool VOR_NATIVE(UdpSocket)::Connect(Socket::Param const& peer)
{
    m_Address = peer.address;
    return true;
}

} // namespace Io
} // namespace Vor
