#include <vor/io/memory.h>
#include <vor/io/socket.h>
#include <vor/util/packet.h>

#include "basic/internal/memhooks.h"
#include "support/sockets.h"
#include "support/stubio.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Vor::Io;
using Vor::Basic::Internal::g_FailMemAllocations;
using Vor::Util::PacketIo, Vor::Util::PacketUtil;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned int NO_LIMIT = 0xFFFFFFFFu;

PacketIo* AsPacket(IoBase const& handle) { return handle.As<PacketIo>(); }

// `total` bytes of `fill` behind a length header announcing `announced`.
Bytes Datagram(std::size_t total, unsigned int announced, unsigned char fill = 1)
{
    Bytes bytes(total, fill);
    for (std::size_t i = 0; i < 4 && i < total; ++i)
        bytes[i] = static_cast<unsigned char>(announced >> (8 * (3 - i)));
    return bytes;
}

IoHandle MemoryWith(Bytes const& bytes)
{
    IoHandle memory = VorTest::OpenMemory();
    EXPECT_TRUE(memory.Write(bytes.data(), static_cast<unsigned int>(bytes.size())) && memory.Seek(0, IoParam::BEGIN));
    return memory;
}

// A 4-byte header holding the body size in network order. Sending and
// receiving share one packet unless `separate`.
class LengthFrame : public PacketUtil {
public:
    explicit LengthFrame(bool separate = false)
        : m_Send(CreateIo()), m_Recv(separate ? CreateIo() : m_Send), m_SendView(m_Send), m_RecvView(m_Recv)
    {
    }
    // Sends and receives on the given packet.
    explicit LengthFrame(IoHandle const& packet) : m_Send(packet), m_Recv(packet), m_SendView(m_Send), m_RecvView(m_Recv) {}
    bool SetBody(Bytes const& body)
    {
        m_uBody = static_cast<unsigned int>(body.size());
        return m_Send.Seek(0, IoParam::BEGIN) && m_Send.Write(body.data(), m_uBody);
    }
    Bytes Body()
    {
        Bytes body(m_uBody);
        EXPECT_EQ(m_Recv.Read(body.data(), m_uBody), m_uBody);
        return body;
    }
    using PacketUtil::CreateTcp, PacketUtil::CreateUdp, PacketUtil::Send;

    IoHandle m_Send, m_Recv;
    unsigned int m_uBody = 0, m_uEncodes = 0, m_uResets = 0;
    bool m_bRejectHeaders = false;

protected:
    ReadHandle& GetSendPacket() override { return m_SendView; }
    WriteHandle& GetRecvPacket() override { return m_RecvView; }
    bool DecodeHeader() override
    {
        m_uBody = m_Recv.ReadUInt32();
        return !m_bRejectHeaders;
    }
    bool EncodeHeader() override { return ++m_uEncodes, m_Send.WriteUInt32(m_uBody); }
    unsigned int GetHeaderSize() override { return 4; }
    unsigned int GetBodySize() override { return m_uBody; }
    bool ResetPointer() override { return ++m_uResets, PacketUtil::ResetPointer(); }

private:
    ReadHandle m_SendView;
    WriteHandle m_RecvView;
};

} // namespace

TEST(PacketIo, IntegersTravelInNetworkOrderFloatsInHostOrder)
{
    LengthFrame frame;
    IoHandle& packet = frame.m_Send;
    ASSERT_TRUE(packet.WriteUInt16(0x1234) && packet.WriteUInt32(0x01020304) &&
                packet.WriteUInt64(0x0102030405060708ull) && packet.WriteFloat(1.0f));
    Bytes wire(18);
    ASSERT_TRUE(AsPacket(packet)->ResetPointer());
    ASSERT_EQ(packet.Read(wire.data(), 18), 18u);
    EXPECT_EQ(wire, (Bytes{0x12, 0x34, 1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x00, 0x80, 0x3F}));
    ASSERT_TRUE(AsPacket(packet)->ResetPointer());
    EXPECT_EQ(packet.ReadUInt16(), 0x1234);
    EXPECT_EQ(packet.ReadUInt32(), 0x01020304u);
    EXPECT_EQ(packet.ReadUInt64(), 0x0102030405060708ull);

    // Too few bytes left: 0, not the default, and no move. With 4 to 7
    // left the high word is there but the low word is not.
    unsigned char seven[7] = {1, 2, 3, 4, 5, 6, 7};
    for (unsigned int left = 0; left <= 7; ++left) {
        AsPacket(packet)->Restart();
        ASSERT_TRUE(packet.Write(seven, left));
        ASSERT_TRUE(AsPacket(packet)->ResetPointer());
        EXPECT_EQ(packet.ReadUInt64(0x77), 0u) << left;
        EXPECT_EQ(packet.ReadUInt32(left < 4 ? 0x77 : 0), left < 4 ? 0u : 0x01020304u) << left;
        EXPECT_EQ(packet.GetPosition(), left < 4 ? ~0ull - 3 : 0u) << left;
    }
}

namespace {
// An application's own memory object: its typed values are its own (one
// more than asked), and it counts every call that reaches it.
template <class Base>
struct Counting : Base {
    template <class... A>
    explicit Counting(A... args) : Base(args...)
    {
    }
    bool WriteUInt32(unsigned int value) override { return ++writes, Base::WriteUInt32(value + 1); }
    unsigned int ReadUInt32(unsigned int value) const override { return ++reads, Base::ReadUInt32(value); }
    int writes = 0;
    mutable int reads = 0;
};

template <class Object, class... A>
void ExpectEveryTypedCallReachesTheOverride(A... args)
{
    auto* object = new Counting<Object>(args...);
    IoHandle handle = VorTest::Adopt(object);
    ReadHandle reader(handle);
    WriteHandle writer(handle);
    ASSERT_TRUE(handle.Seek(0, IoParam::BEGIN)); // a packet's body, past its header
    for (unsigned int i = 0; i < 100; ++i)
        ASSERT_TRUE(i % 2 ? handle.WriteUInt32(i) : writer.WriteUInt32(i));
    ASSERT_TRUE(handle.Seek(0, IoParam::BEGIN));
    unsigned int wrong = 0;
    for (unsigned int i = 0; i < 100; ++i)
        wrong += (i % 2 ? handle.ReadUInt32() : reader.ReadUInt32()) == i + 1 ? 0 : 1;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(object->writes, 100);
    EXPECT_EQ(object->reads, 100);
}
} // namespace

TEST(PacketIo, ASubclassOverridingTypedValuesSeesEveryCallMadeThroughAHandle)
{
    ExpectEveryTypedCallReachesTheOverride<MemoryIo>();
    ExpectEveryTypedCallReachesTheOverride<PacketIo>(4u);
}

TEST(PacketIo, SeeksAndSizesCountFromTheBody)
{
    PacketUtil::PacketFactory factory;
    EXPECT_FALSE(factory.Open(Memory::MEM_SEQUENTIAL, 16)); // not its parameter
    ASSERT_TRUE(factory.Open(PacketUtil::PacketFactory::Param(4)));
    IoHandle packet = factory.GetHandle();
    PacketIo* io = AsPacket(packet);
    ASSERT_TRUE(io != nullptr && io->MemoryIo::GetSize() == 0);
    EXPECT_EQ(packet.GetSize(), ~0ull - 3); // empty: below zero, wrapped
    unsigned char ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(packet.Write(ten, 10));
    EXPECT_EQ(packet.GetSize(), 6u);

    struct Step { long long offset; IoParam::Offset origin; bool ok; unsigned long long absolute; };
    Step const steps[] = {
        {0, IoParam::BEGIN, true, 4},   {7, IoParam::END, false, 4},   {6, IoParam::END, true, 4},
        {0, IoParam::END, true, 10},    {-3, IoParam::CURRENT, true, 7}, {2, IoParam::BEGIN, true, 6},
        {0xFFFFFFFDll, IoParam::BEGIN, false, 6}, // passes 4 GiB with the header
    };
    for (Step const& step : steps) {
        EXPECT_EQ(packet.Seek(step.offset, step.origin), step.ok) << step.offset;
        EXPECT_EQ(io->MemoryIo::GetPosition(), step.absolute) << step.offset;
        EXPECT_EQ(packet.GetPosition(), step.absolute - 4) << step.offset;
    }
    ASSERT_TRUE(io->ResetPointer());
    EXPECT_EQ(packet.GetPosition(), ~0ull - 3); // 2^64 - 4

    // A write beyond the data of a restarted packet: the gap before it reads
    // as zeros, never as the bytes the buffer held before.
    io->Restart();
    ASSERT_TRUE(packet.Seek(2, IoParam::BEGIN) && packet.Write(ten + 9, 1));
    unsigned char back[7];
    ASSERT_TRUE(io->ResetPointer());
    ASSERT_EQ(packet.Read(back, 7), 7u);
    EXPECT_EQ(Bytes(back, back + 7), (Bytes{0, 0, 0, 0, 0, 0, 9}));
}

TEST(PacketSocket, TravelsWholeOverLoopbackTcpAndUdp)
{
    VorTest::TcpConnection pair;
    ASSERT_TRUE(pair.IsValid());
    LengthFrame sender;
    ASSERT_TRUE(sender.SetBody({1, 2, 3, 4, 5, 6}));
    WriteHandle out(pair.client.GetHandle());
    ASSERT_TRUE(sender.Send(out));
    unsigned char wire[10] = {};
    ASSERT_EQ(pair.server.Read(wire, 10), 10u);
    EXPECT_EQ(Bytes(wire, wire + 10), (Bytes{0, 0, 0, 6, 1, 2, 3, 4, 5, 6}));

    ASSERT_TRUE(sender.SetBody({9, 8, 7}));
    ASSERT_TRUE(sender.Send(out));
    // A receiver with a send packet of its own: the receive rewinds the
    // receive packet, through an override of ResetPointer, and leaves the
    // send packet where it was.
    LengthFrame receiver(true);
    ASSERT_TRUE(receiver.SetBody({1, 2}));
    Socket::Param from;
    ASSERT_TRUE(receiver.CreateTcp(ReadHandle(pair.server), from));
    EXPECT_EQ(receiver.Body(), (Bytes{9, 8, 7}));
    EXPECT_GE(receiver.m_uResets, 2u);
    EXPECT_EQ(receiver.m_Send.GetPosition(), 2u);
    EXPECT_EQ(from.address, Socket::GetAddress(pair.client.GetHandle(), Socket::Param::LOCAL_ADDR));

    // One datagram per packet, with the sender's address; a datagram longer
    // than any packet is refused and the next one still arrives.
    VorTest::BoundUdp a, b;
    Socket::Param to(b.address);
    WriteHandle udp(a.device.GetHandle());
    ASSERT_TRUE(sender.Send(udp, to));
    ASSERT_TRUE(receiver.CreateUdp(b.device.GetReadHandle(), from));
    EXPECT_EQ(receiver.Body(), (Bytes{9, 8, 7}));
    EXPECT_EQ(from.address, a.address);
    std::vector<char> big(PacketUtil::MAX_DATAGRAM + 1, 0);
    ASSERT_TRUE(a.device.GetHandle().Write(big.data(), static_cast<unsigned int>(big.size()), to));
    EXPECT_FALSE(receiver.CreateUdp(b.device.GetReadHandle(), from));
    ASSERT_TRUE(sender.Send(udp, to));
    EXPECT_TRUE(receiver.CreateUdp(b.device.GetReadHandle(), from));
}

// One packet from a stream, on a packet that already held one. Lengths the
// peer announces beyond the limit, or beyond 32 bits with the header, are
// refused before any memory is asked for and before the body is read.
TEST(PacketTcp, StreamsOfEveryShape)
{
    unsigned int const usual = PacketUtil::DEFAULT_MAX_PACKET;
    struct Case { char const* what; Bytes stream; unsigned int limit; bool ok; unsigned int body; unsigned long long consumed; };
    Case const cases[] = {
        {"empty body", {0, 0, 0, 0, 0xEE, 0xEE}, usual, true, 0, 4},
        {"ends in the body", {0, 0, 0, 6, 1, 2, 3}, usual, false, 6, 7},
        {"ends in the header", {0, 0}, usual, false, 2, 2},
        {"hostile", {0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3}, usual, false, 0xFFFFFFF0u, 4},
        {"16 MiB + 1", {0x00, 0xFF, 0xFF, 0xFD}, usual, false, 0xFFFFFDu, 4},
        {"leaves 32 bits", {0xFF, 0xFF, 0xFF, 0xFD, 1}, NO_LIMIT, false, 0xFFFFFFFDu, 4},
        {"at the limit", {0, 0, 0, 6, 1, 2, 3, 4, 5, 6}, 10, true, 6, 10},
        {"above the limit", {0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7}, 10, false, 7, 4},
        {"header refused", {0, 0, 0, 1, 0xEE}, 0xBAD, false, 1, 4},
    };
    for (Case const& c : cases) {
        LengthFrame frame;
        ASSERT_TRUE(frame.CreateTcp(ReadHandle(MemoryWith({0, 0, 0, 2, 1, 2}))));
        if (c.limit != usual) // the usual limit is the one a packet util starts with
            frame.SetMaxPacketSize(c.limit);
        frame.m_bRejectHeaders = c.limit == 0xBAD;
        IoHandle stream = MemoryWith(c.stream);
        bool hostile = c.body > c.limit - 4;
        g_FailMemAllocations = hostile ? 1 : 0;
        EXPECT_EQ(frame.CreateTcp(ReadHandle(stream)), c.ok) << c.what;
        EXPECT_EQ(g_FailMemAllocations.exchange(0), hostile ? 1 : 0) << c.what << ": memory was asked for";
        EXPECT_EQ(stream.GetPosition(), c.consumed) << c.what;
        if (c.ok)
            EXPECT_EQ(frame.m_Recv.GetSize(), c.body) << c.what;
    }
}

// Datagrams in turn into one reused packet: each must be exactly as long as
// its header says, judged by what that datagram brought.
TEST(PacketUdp, DatagramMustBeAsLongAsItsHeaderSays)
{
    unsigned int const most = PacketUtil::MAX_DATAGRAM;
    struct Case { char const* what; Bytes datagram; unsigned int limit; bool ok; };
    Case const cases[] = {
        {"exact", Datagram(100, 96), NO_LIMIT, true},
        {"shorter packet", Datagram(50, 46, 0x6B), NO_LIMIT, true},
        {"runt announcing an earlier length", Datagram(30, 96), NO_LIMIT, false},
        {"longer than announced", Datagram(20, 10), NO_LIMIT, false},
        {"shorter than the header", {0, 0, 0}, NO_LIMIT, false},
        {"longer than a datagram may be", Datagram(most + 10, most - 4), NO_LIMIT, false},
        {"largest datagram", Datagram(most, most - 4), NO_LIMIT, true},
        {"above the limit", Datagram(9, 5), 8, false},
        {"at the limit", Datagram(8, 4), 8, true},
    };
    LengthFrame frame;
    for (Case const& c : cases) {
        frame.SetMaxPacketSize(c.limit);
        ASSERT_EQ(frame.CreateUdp(ReadHandle(MemoryWith(c.datagram))), c.ok) << c.what;
        if (c.ok) // read from the body's start, as long as announced
            EXPECT_EQ(frame.Body(), Bytes(c.datagram.begin() + 4, c.datagram.end())) << c.what;
    }
}

// The framing takes an application's subclass of PacketIo for a packet as
// it takes the library's own, and every step that moves the packet reaches
// the subclass's overrides.
TEST(PacketTcp, AnApplicationsOwnPacketClassIsFramedToo)
{
    struct OwnPacket : PacketIo {
        OwnPacket() : PacketIo(4) {}
        bool Seek(long long offset, IoParam::Offset origin) override { return ++seeks, PacketIo::Seek(offset, origin); }
        unsigned long long GetPosition() const override { return ++positions, PacketIo::GetPosition(); }
        bool Write(IoObject const& src, unsigned int n) override { return ++takes, PacketIo::Write(src, n); }
        unsigned int Read(IoObject& dst, unsigned int n) const override { return ++gives, PacketIo::Read(dst, n); }
        int seeks = 0, takes = 0;
        mutable int positions = 0, gives = 0;
    };
    auto* own = new OwnPacket;
    LengthFrame frame(VorTest::Adopt(own));
    ASSERT_TRUE(frame.SetBody({7, 8, 9}));
    IoHandle wire = VorTest::OpenMemory();
    WriteHandle out(wire);
    own->seeks = 0;
    ASSERT_TRUE(frame.Send(out) && wire.Seek(0, IoParam::BEGIN));
    // The position is taken before and put back after; the bytes go out
    // through the object's own read.
    EXPECT_EQ(own->positions, 1);
    EXPECT_EQ(own->seeks, 1);
    EXPECT_EQ(own->gives, 1);
    own->seeks = own->positions = 0;
    ASSERT_TRUE(frame.CreateTcp(ReadHandle(wire)));
    EXPECT_EQ(frame.Body(), (Bytes{7, 8, 9}));
    // Header and body come in through the object's own write, each measured
    // by its position, and the packet is moved to its body twice.
    EXPECT_EQ(own->takes, 2);
    EXPECT_EQ(own->positions, 4);
    EXPECT_EQ(own->seeks, 2);
}

TEST(PacketSend, WritesEveryByteOrFails)
{
    LengthFrame frame;
    ASSERT_TRUE(frame.SetBody({0xC1, 0xC2}));
    ASSERT_TRUE(frame.m_Send.Seek(1, IoParam::BEGIN));
    auto* stub = new VorTest::StubIo;
    IoHandle target = VorTest::Adopt(stub);
    WriteHandle out(target), empty;
    ASSERT_TRUE(frame.Send(out));
    EXPECT_EQ(stub->m_Written, std::string("\0\0\0\x02\xC1\xC2", 6));
    EXPECT_EQ(frame.m_Send.GetPosition(), 1u); // as the send found it
    stub->m_Written.clear();

    // No destination, or an invalid one: refused before the header is made.
    unsigned int encodes = frame.m_uEncodes;
    Socket::Param to;
    EXPECT_FALSE(frame.Send(empty, to));
    target.SetAttrib(IoParam::VALID, false);
    EXPECT_FALSE(frame.Send(out));
    EXPECT_EQ(frame.m_uEncodes, encodes);
    target.SetAttrib(IoParam::VALID, true);
    // A packet holding less than it announces sends nothing at all.
    ASSERT_TRUE(frame.SetBody({1, 2, 3}));
    frame.m_uBody = 8;
    EXPECT_FALSE(frame.Send(out));
    EXPECT_TRUE(stub->m_Written.empty());
    // A destination that refuses the bytes.
    frame.m_uBody = 3;
    stub->m_bFailWrites = true;
    EXPECT_FALSE(frame.Send(out));
    EXPECT_EQ(frame.m_Send.GetPosition(), 3u);
}
