#include <vor/util/packet.h>

#include <new>
#include <typeinfo>

namespace Vor {
namespace Util {

namespace {

constexpr unsigned long long MAX_32 = 0xFFFFFFFFull;

// Network order is big-endian; on a big-endian host the values stay as
// they are.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline unsigned short Net16(unsigned short v) { return v; }
#else
inline unsigned short Net16(unsigned short v) { return __builtin_bswap16(v); }
#endif

// The handles are the application's and live across every call that uses
// the pointers taken from them. The exact type is tried first: it is what
// CreateIo makes, and far cheaper to test than a full cast on paths taken
// several times per packet.
bool Rewind(Io::IoBase const& handle)
{
    if (PacketIo* exact = handle.AsExact<PacketIo>())
        return exact->PacketIo::ResetPointer();
    PacketIo* packet = handle.As<PacketIo>();
    return packet != nullptr && packet->ResetPointer();
}

} // namespace

// --------------------------------------------------------------- PacketIo

PacketIo::PacketIo(unsigned int headerSize) : m_uHeaderSize(headerSize)
{
    SetDirectType(typeid(PacketIo), true);
}

PacketIo::~PacketIo() = default;

unsigned short PacketIo::ReadUInt16(unsigned short) const { return Net16(MemoryIo::ReadUInt16()); }
unsigned int PacketIo::ReadUInt32(unsigned int) const { return NetworkOrder(MemoryIo::ReadUInt32()); }

// Checked as a whole first: two word reads would otherwise take the high
// word of a value whose low word is missing.
unsigned long long PacketIo::ReadUInt64(unsigned long long) const
{
    unsigned long long position = MemoryIo::GetPosition();
    unsigned long long size = MemoryIo::GetSize();
    if (position > size || size - position < 8)
        return 0;
    unsigned long long high = ReadUInt32();
    unsigned long long low = ReadUInt32();
    return (high << 32) | low;
}

bool PacketIo::WriteUInt16(unsigned short value) { return MemoryIo::WriteUInt16(Net16(value)); }
bool PacketIo::WriteUInt32(unsigned int value) { return MemoryIo::WriteUInt32(NetworkOrder(value)); }

bool PacketIo::WriteUInt64(unsigned long long value)
{
    if (!WriteUInt32(static_cast<unsigned int>(value >> 32)))
        return false;
    return WriteUInt32(static_cast<unsigned int>(value));
}

bool PacketIo::Seek(long long offset, Io::IoParam::Offset origin)
{
    if (origin == Io::IoParam::BEGIN) {
        // Formed unsigned: the sum may not fit a long long, and the memory
        // seek refuses what lies beyond 4 GiB anyway.
        offset = static_cast<long long>(static_cast<unsigned long long>(offset) + m_uHeaderSize);
    } else if (origin == Io::IoParam::END) {
        unsigned long long body = GetSize();
        if (body <= MAX_32 && (static_cast<unsigned long long>(offset) & MAX_32) > body)
            return false;
    }
    return MemoryIo::Seek(offset, origin);
}

unsigned long long PacketIo::GetPosition() const { return MemoryIo::GetPosition() - m_uHeaderSize; }
unsigned long long PacketIo::GetSize() const { return MemoryIo::GetSize() - m_uHeaderSize; }

// The memory seek to 0 from the start, which always succeeds.
bool PacketIo::ResetPointer()
{
    State().position = 0;
    return true;
}

// No size, and the memory seek to 0 from the start.
void PacketIo::Restart()
{
    Direct& state = State();
    state.size = 0;
    state.position = 0;
}

bool PacketIo::ToBody()
{
    Direct& state = State();
    if (m_uHeaderSize > state.size)
        return PacketIo::Seek(0, Io::IoParam::BEGIN);
    state.position = m_uHeaderSize;
    return true;
}

bool PacketIo::Take(Io::IoObject const& src, unsigned int n, Io::IoParam* p)
{
    unsigned int count = MemoryIo::ReceiveFrom(src, n, p);
    return count != FAILED && count == n;
}

void PacketIo::Return(unsigned int position)
{
    Direct& state = State();
    if (position <= state.size)
        state.position = position;
    else
        MemoryIo::Seek(position, Io::IoParam::BEGIN);
}

// ----------------------------------------------------------------- Steps

// The steps of a send or receive that move the packet. A PacketIo of
// exactly that type, the one CreateIo makes, takes them as its own short
// steps; any other object, an application's subclass of PacketIo among
// them, through its virtual operations, so that its overrides see every
// step.
class PacketUtil::Steps {
public:
    explicit Steps(Io::IoBase const& handle) : m_pObject(handle.As<Io::IoObject>()), m_pExact(handle.AsExact<PacketIo>())
    {
    }

    // Forgets the last packet's content and size when the object is a
    // packet.
    void Restart()
    {
        PacketIo* packet = m_pExact != nullptr ? m_pExact : dynamic_cast<PacketIo*>(m_pObject);
        if (packet != nullptr)
            packet->Restart();
    }
    bool ToBody()
    {
        if (m_pExact != nullptr)
            return m_pExact->ToBody();
        return m_pObject->Seek(0, Io::IoParam::BEGIN);
    }
    // Exactly n bytes from `src` at the position.
    bool Take(Io::IoObject const& src, unsigned int n, Io::IoParam* p)
    {
        if (m_pExact != nullptr)
            return m_pExact->Take(src, n, p);
        unsigned long long before = m_pObject->GetPosition();
        bool written = p != nullptr ? m_pObject->Write(src, n, *p) : m_pObject->Write(src, n);
        return written && m_pObject->GetPosition() - before == n;
    }
    // Whether the packet holds `total` bytes of header and body; an object
    // that is no packet is taken at its word.
    bool Holds(unsigned long long total) const
    {
        if (m_pExact != nullptr)
            return m_pExact->MemoryIo::GetSize() >= total;
        PacketIo* packet = dynamic_cast<PacketIo*>(m_pObject);
        return packet == nullptr || packet->GetSize() + packet->GetHeaderSize() >= total;
    }
    // Hands n bytes at the position to `dst`; true when all of them went.
    bool Give(Io::IoObject& dst, unsigned int n, Io::IoParam* p) const
    {
        unsigned int sent;
        if (m_pExact != nullptr)
            sent = p != nullptr ? m_pExact->MemoryIo::Read(dst, n, *p) : m_pExact->MemoryIo::Read(dst, n);
        else
            sent = p != nullptr ? m_pObject->Read(dst, n, *p) : m_pObject->Read(dst, n);
        return sent == n;
    }

    // The position to come back to after a send, and the way back: the
    // body-relative position for any object, the absolute one for a
    // PacketIo of the exact type.
    unsigned long long Mark() const
    {
        return m_pExact != nullptr ? m_pExact->MemoryIo::GetPosition() : m_pObject->GetPosition();
    }
    void Return(unsigned long long mark)
    {
        if (m_pExact != nullptr)
            m_pExact->Return(static_cast<unsigned int>(mark));
        else
            m_pObject->Seek(static_cast<long long>(mark), Io::IoParam::BEGIN);
    }

private:
    Io::IoObject* m_pObject;
    PacketIo* m_pExact;
};

// ---------------------------------------------------------- PacketFactory

Io::IoObject* PacketUtil::PacketFactory::Create(Io::IoDevice::Param const& param)
{
    Param const* packet = dynamic_cast<Param const*>(&param);
    if (packet == nullptr)
        return nullptr;
    return new (std::nothrow) PacketIo(packet->m_uHeaderSize);
}

// ------------------------------------------------------------- PacketUtil

Io::IoHandle PacketUtil::CreateIo()
{
    PacketFactory factory;
    if (!factory.Open(PacketFactory::Param(GetHeaderSize(), Io::Memory::MEM_SEQUENTIAL)))
        return Io::IoHandle();
    return factory.GetHandle();
}

bool PacketUtil::ResetPointer()
{
    if (m_bReceiving)
        return Rewind(GetRecvPacket());
    return Rewind(GetSendPacket());
}

bool PacketUtil::Admits(unsigned long long total) const { return total <= MAX_32 && total <= m_uMaxPacket; }

// Rewinds the receive packet and drops what the previous packet left, so
// that neither its size nor its bytes can pass for this packet's.
bool PacketUtil::StartReceive()
{
    if (!ResetPointer())
        return false;
    Steps(GetRecvPacket()).Restart();
    return true;
}

// Moves n bytes from `src` into the receive packet at its position. A
// source that delivers fewer (a memory stream at its end) fails here as a
// socket that closes early does.
bool PacketUtil::Receive(Io::ReadHandle const& src, unsigned int n, Io::IoParam* p)
{
    return Steps(GetRecvPacket()).Take(*src.As<Io::IoObject>(), n, p);
}

bool PacketUtil::ReceiveTcp(Io::ReadHandle const& src, Io::IoParam* p)
{
    if (!StartReceive())
        return false;
    unsigned int header = GetHeaderSize();
    if (!Admits(header) || !Receive(src, header, p))
        return false;
    if (!ResetPointer() || !DecodeHeader())
        return false;
    // The announced size is the peer's: it is checked before the body is
    // given any room.
    unsigned int body = GetBodySize();
    if (!Admits(static_cast<unsigned long long>(header) + body))
        return false;
    Steps packet(GetRecvPacket());
    if (!packet.ToBody())
        return false;
    if (body == 0)
        return true;
    if (!packet.Take(*src.As<Io::IoObject>(), body, p))
        return false;
    return packet.ToBody();
}

bool PacketUtil::ReceiveUdp(Io::ReadHandle const& src, Io::IoParam* p)
{
    if (!StartReceive())
        return false;
    unsigned int header = GetHeaderSize();
    unsigned int limit = m_uMaxPacket < MAX_DATAGRAM ? m_uMaxPacket : MAX_DATAGRAM;
    if (header > limit)
        return false;
    // One read takes one datagram; what it brought is measured by how far
    // the packet moved, never by the packet's size. It may take one byte
    // more than a packet can have, so that a source which cuts long
    // datagrams short without saying so is caught as well.
    Io::WriteHandle& packet = GetRecvPacket();
    unsigned long long before = packet.GetPosition();
    bool written = p != nullptr ? packet.Write(src, limit + 1, *p) : packet.Write(src, limit + 1);
    unsigned long long count = packet.GetPosition() - before;
    if (!written || count < header || count > limit)
        return false;
    if (!ResetPointer() || !DecodeHeader())
        return false;
    if (!packet.Seek(0, Io::IoParam::BEGIN))
        return false;
    return count - header == GetBodySize();
}

bool PacketUtil::SendPacket(Io::WriteHandle& dst, Io::IoParam* p)
{
    if (!dst.IsValid() || !dst.GetAttrib(Io::IoParam::VALID))
        return false;
    Steps packet(GetSendPacket());
    unsigned long long mark = packet.Mark();
    bool done = ResetPointer() && EncodeHeader();
    unsigned long long total = static_cast<unsigned long long>(GetBodySize()) + GetHeaderSize();
    done = done && total <= MAX_32 && ResetPointer();
    // A packet that holds less than it announces is not sent at all: half
    // a packet would break the peer's framing.
    done = done && packet.Holds(total) && packet.Give(*dst.As<Io::IoObject>(), static_cast<unsigned int>(total), p);
    packet.Return(mark);
    return done;
}

// Tells ResetPointer, while it lasts, whether a receive or a send is in
// progress (a header coder may send from inside a receive).
class PacketUtil::Phase {
public:
    Phase(PacketUtil& util, bool receiving) : m_Util(util), m_bWas(util.m_bReceiving)
    {
        util.m_bReceiving = receiving;
    }
    ~Phase() { m_Util.m_bReceiving = m_bWas; }
    Phase(Phase const&) = delete;
    Phase& operator=(Phase const&) = delete;

private:
    PacketUtil& m_Util;
    bool const m_bWas;
};

bool PacketUtil::CreateTcp(Io::ReadHandle const& src)
{
    Phase receiving(*this, true);
    return ReceiveTcp(src, nullptr);
}

bool PacketUtil::CreateTcp(Io::ReadHandle const& src, Io::IoParam& p)
{
    Phase receiving(*this, true);
    return ReceiveTcp(src, &p);
}

bool PacketUtil::CreateUdp(Io::ReadHandle const& src)
{
    Phase receiving(*this, true);
    return ReceiveUdp(src, nullptr);
}

bool PacketUtil::CreateUdp(Io::ReadHandle const& src, Io::IoParam& p)
{
    Phase receiving(*this, true);
    return ReceiveUdp(src, &p);
}

bool PacketUtil::Send(Io::WriteHandle& dst)
{
    Phase sending(*this, false);
    return SendPacket(dst, nullptr);
}

bool PacketUtil::Send(Io::WriteHandle& dst, Io::IoParam& p)
{
    Phase sending(*this, false);
    return SendPacket(dst, &p);
}

} // namespace Util
} // namespace Vor
