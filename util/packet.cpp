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

// The packet object behind a handle, when it is one. The handles are the
// application's and live across every call that uses the pointer. The exact
// type is tried first: it is what CreateIo makes, and far cheaper to test
// than a full cast on paths taken several times per packet.
PacketIo* AsPacket(Io::IoBase const& handle)
{
    if (PacketIo* exact = handle.AsExact<PacketIo>())
        return exact;
    return handle.As<PacketIo>();
}

bool Rewind(Io::IoBase const& handle)
{
    PacketIo* packet = AsPacket(handle);
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

bool PacketIo::ResetPointer() { return MemoryIo::Seek(0, Io::IoParam::BEGIN); }

void PacketIo::Restart()
{
    Truncate(0);
    MemoryIo::Seek(0, Io::IoParam::BEGIN);
}

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
    PacketIo* packet = AsPacket(GetRecvPacket());
    if (packet != nullptr)
        packet->Restart();
    return true;
}

// Moves n bytes from `src` into the receive packet at its position. A
// source that delivers fewer (a memory stream at its end) fails here as a
// socket that closes early does.
bool PacketUtil::Receive(Io::ReadHandle const& src, unsigned int n, Io::IoParam* p)
{
    Io::WriteHandle& packet = GetRecvPacket();
    unsigned long long before = packet.GetPosition();
    bool written = p != nullptr ? packet.Write(src, n, *p) : packet.Write(src, n);
    return written && packet.GetPosition() - before == n;
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
    Io::WriteHandle& packet = GetRecvPacket();
    if (!packet.Seek(0, Io::IoParam::BEGIN))
        return false;
    if (body == 0)
        return true;
    if (!Receive(src, body, p))
        return false;
    return packet.Seek(0, Io::IoParam::BEGIN);
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
    Io::ReadHandle& packet = GetSendPacket();
    unsigned long long position = packet.GetPosition();
    bool done = ResetPointer() && EncodeHeader();
    unsigned long long total = static_cast<unsigned long long>(GetBodySize()) + GetHeaderSize();
    done = done && total <= MAX_32 && ResetPointer();
    if (done) {
        // A packet that holds less than it announces is not sent at all:
        // half a packet would break the peer's framing.
        PacketIo* io = AsPacket(packet);
        if (io != nullptr && io->GetSize() + io->GetHeaderSize() < total)
            done = false;
    }
    if (done) {
        unsigned int n = static_cast<unsigned int>(total);
        unsigned int sent = p != nullptr ? packet.Read(dst, n, *p) : packet.Read(dst, n);
        done = sent == n;
    }
    packet.Seek(static_cast<long long>(position), Io::IoParam::BEGIN);
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
