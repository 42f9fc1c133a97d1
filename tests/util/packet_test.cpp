#include <vor/io/memory.h>
#include <vor/io/socket.h>
#include <vor/util/packet.h>

#include "basic/internal/memhooks.h"
#include "platform/socket.h"
#include "support/sockets.h"
#include "support/stubio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using Vor::Io::IoBase;
using Vor::Io::IoHandle;
using Vor::Io::IoParam;
using Vor::Io::Memory;
using Vor::Io::MemoryIo;
using Vor::Io::ReadHandle;
using Vor::Io::Socket;
using Vor::Io::WriteHandle;
using Vor::Util::PacketIo;
using Vor::Util::PacketUtil;
using TcpPair = VorTest::TcpConnection;
using Udp = VorTest::BoundUdp;

namespace {

using Bytes = std::vector<unsigned char>;

PacketIo* AsPacket(IoBase const& handle) { return dynamic_cast<PacketIo*>(handle.GetObject().Raw()); }

// The bytes of a memory object from its first byte to its size.
Bytes Contents(IoHandle& handle)
{
    MemoryIo* memory = dynamic_cast<MemoryIo*>(handle.GetObject().Raw());
    if (memory == nullptr)
        return Bytes();
    unsigned long long position = memory->MemoryIo::GetPosition();
    Bytes bytes(memory->MemoryIo::GetSize());
    memory->MemoryIo::Seek(0, IoParam::BEGIN);
    if (!bytes.empty())
        memory->Read(bytes.data(), static_cast<unsigned int>(bytes.size()));
    memory->MemoryIo::Seek(static_cast<long long>(position), IoParam::BEGIN);
    return bytes;
}

// A datagram of `total` bytes of `fill` whose length header announces
// `announced` bytes of body.
Bytes Datagram(std::size_t total, unsigned int announced, unsigned char fill)
{
    Bytes bytes(total, fill);
    for (std::size_t i = 0; i < 4 && i < total; ++i)
        bytes[i] = static_cast<unsigned char>(announced >> (8 * (3 - i)));
    return bytes;
}

IoHandle MemoryWith(Bytes const& bytes)
{
    Memory memory;
    EXPECT_TRUE(memory.Open(Memory::MEM_SEQUENTIAL, 16));
    if (!bytes.empty())
        EXPECT_TRUE(memory.GetHandle().Write(bytes.data(), static_cast<unsigned int>(bytes.size())));
    memory.GetHandle().Seek(0, IoParam::BEGIN);
    return memory.GetHandle();
}

// A packet type whose 4-byte header is the body size in network order.
// Sending and receiving share one packet unless `separate` is asked for.
class LengthFrame : public PacketUtil {
public:
    explicit LengthFrame(bool separate = false)
    {
        m_Send = CreateIo();
        m_Recv = separate ? CreateIo() : m_Send;
        m_SendView = ReadHandle(m_Send);
        m_RecvView = WriteHandle(m_Recv);
    }

    // The body to send next.
    bool SetBody(Bytes const& body)
    {
        m_uBody = static_cast<unsigned int>(body.size());
        m_Send.Seek(0, IoParam::BEGIN);
        return body.empty() || m_Send.Write(body.data(), m_uBody);
    }
    Bytes Body()
    {
        Bytes body(m_uBody);
        if (m_uBody > 0)
            EXPECT_EQ(m_Recv.Read(body.data(), m_uBody), m_uBody);
        return body;
    }

    using PacketUtil::CreateTcp;
    using PacketUtil::CreateUdp;
    using PacketUtil::Send;

    IoHandle m_Send;
    IoHandle m_Recv;
    unsigned int m_uBody = 0;
    unsigned int m_uEncodes = 0;
    bool m_bRejectHeaders = false;

protected:
    ReadHandle& GetSendPacket() override { return m_SendView; }
    WriteHandle& GetRecvPacket() override { return m_RecvView; }
    bool DecodeHeader() override
    {
        m_uBody = m_Recv.ReadUInt32();
        return !m_bRejectHeaders;
    }
    bool EncodeHeader() override
    {
        ++m_uEncodes;
        return m_Send.WriteUInt32(m_uBody);
    }
    unsigned int GetHeaderSize() override { return 4; }
    unsigned int GetBodySize() override { return m_uBody; }

private:
    ReadHandle m_SendView;
    WriteHandle m_RecvView;
};

} // namespace

// ---------------------------------------------------------------- PacketIo

TEST(PacketIo, WritesIntegersInNetworkOrderAndFloatsInHostOrder)
{
    LengthFrame frame;
    IoHandle& packet = frame.m_Send;
    ASSERT_TRUE(packet.IsValid());
    ASSERT_TRUE(packet.WriteUInt16(0x1234));
    ASSERT_TRUE(packet.WriteUInt32(0x01020304));
    ASSERT_TRUE(packet.WriteUInt64(0x0102030405060708ull));
    ASSERT_TRUE(packet.WriteFloat(1.0f));
    ASSERT_TRUE(packet.WriteUInt8(0xAB));
    EXPECT_EQ(Contents(packet), (Bytes{0x12, 0x34, 1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x00, 0x80, 0x3F, 0xAB}));

    ASSERT_TRUE(AsPacket(packet)->ResetPointer());
    EXPECT_EQ(packet.ReadUInt16(), 0x1234);
    EXPECT_EQ(packet.ReadUInt32(), 0x01020304u);
    EXPECT_EQ(packet.ReadUInt64(), 0x0102030405060708ull);
    EXPECT_EQ(packet.ReadFloat(), 1.0f);
    EXPECT_EQ(packet.ReadUInt8(), 0xAB);
}

TEST(PacketIo, ShortIntegerReadsGiveZeroAndDoNotMove)
{
    LengthFrame frame;
    IoHandle& packet = frame.m_Send;
    unsigned char seven[7] = {1, 2, 3, 4, 5, 6, 7};
    // 4 to 7 bytes left: the high word is there, the low word is not.
    for (unsigned int left = 0; left <= 7; ++left) {
        AsPacket(packet)->Restart();
        ASSERT_TRUE(packet.Write(seven, left));
        ASSERT_TRUE(AsPacket(packet)->ResetPointer());
        EXPECT_EQ(packet.ReadUInt64(0x77), 0u) << left;
        EXPECT_EQ(AsPacket(packet)->MemoryIo::GetPosition(), 0u) << left;
        if (left < 4)
            EXPECT_EQ(packet.ReadUInt32(0x77), 0u) << left;
        if (left < 2)
            EXPECT_EQ(packet.ReadUInt16(0x77), 0u) << left;
    }
}

TEST(PacketIo, PositionsAndSizesCountFromTheBody)
{
    LengthFrame frame;
    IoHandle& packet = frame.m_Send;
    PacketIo* io = AsPacket(packet);
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->GetHeaderSize(), 4u);
    unsigned char ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(packet.Write(ten, 10));
    EXPECT_EQ(packet.GetSize(), 6u);
    EXPECT_EQ(packet.GetPosition(), 6u);

    ASSERT_TRUE(packet.Seek(0, IoParam::BEGIN));
    EXPECT_EQ(packet.GetPosition(), 0u);
    EXPECT_EQ(io->MemoryIo::GetPosition(), 4u);
    EXPECT_EQ(packet.ReadUInt8(), 4);

    ASSERT_TRUE(io->ResetPointer());
    EXPECT_EQ(packet.GetPosition(), ~0ull - 3); // 2^64 - 4
    EXPECT_EQ(packet.ReadUInt8(), 0);

    EXPECT_FALSE(packet.Seek(7, IoParam::END));
    EXPECT_EQ(io->MemoryIo::GetPosition(), 1u);
    ASSERT_TRUE(packet.Seek(6, IoParam::END));
    EXPECT_EQ(io->MemoryIo::GetPosition(), 4u);
    ASSERT_TRUE(packet.Seek(0, IoParam::END));
    EXPECT_EQ(packet.GetPosition(), 6u);
    ASSERT_TRUE(packet.Seek(-3, IoParam::CURRENT));
    EXPECT_EQ(packet.GetPosition(), 3u);
    EXPECT_EQ(packet.ReadUInt8(), 7);
    ASSERT_TRUE(packet.Seek(2, IoParam::BEGIN));
    EXPECT_EQ(io->MemoryIo::GetPosition(), 6u);

    // An empty packet reports its size below zero, wrapped.
    AsPacket(packet)->Restart();
    EXPECT_EQ(packet.GetSize(), ~0ull - 3);
    // A body offset that passes 4 GiB with the header added is refused.
    EXPECT_FALSE(packet.Seek(0xFFFFFFFDll, IoParam::BEGIN));
}

TEST(PacketFactory, MakesPacketsOnlyFromItsOwnParameter)
{
    PacketUtil::PacketFactory factory;
    EXPECT_FALSE(factory.Open(Memory::MEM_SEQUENTIAL, 16));
    EXPECT_FALSE(factory.GetHandle().IsValid());
    ASSERT_TRUE(factory.Open(PacketUtil::PacketFactory::Param(12)));
    PacketIo* io = AsPacket(factory.GetHandle());
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->GetHeaderSize(), 12u);
    EXPECT_EQ(io->MemoryIo::GetSize(), 0u);
}

// ------------------------------------------------------------ receiving TCP

TEST(PacketTcp, TravelsWholeOverLoopbackWithTheLengthInFront)
{
    TcpPair pair;
    ASSERT_TRUE(pair.server.IsValid());
    LengthFrame sender;
    ASSERT_TRUE(sender.SetBody({1, 2, 3, 4, 5, 6}));
    WriteHandle out(pair.client.GetHandle());
    ASSERT_TRUE(sender.Send(out));
    EXPECT_EQ(sender.m_Send.GetPosition(), 6u); // as the send found it

    unsigned char wire[10] = {};
    ASSERT_EQ(pair.server.Read(wire, 10), 10u);
    EXPECT_EQ(Bytes(wire, wire + 10), (Bytes{0, 0, 0, 6, 1, 2, 3, 4, 5, 6}));

    // And back through the framing, with the peer's address reported.
    ASSERT_TRUE(sender.SetBody({9, 8, 7}));
    ASSERT_TRUE(sender.Send(out));
    LengthFrame receiver;
    Socket::Param from;
    ASSERT_TRUE(receiver.CreateTcp(ReadHandle(pair.server), from));
    EXPECT_EQ(receiver.m_uBody, 3u);
    EXPECT_EQ(receiver.m_Recv.GetPosition(), 0u);
    EXPECT_EQ(receiver.m_Recv.GetSize(), 3u);
    EXPECT_EQ(receiver.Body(), (Bytes{9, 8, 7}));
    EXPECT_EQ(from.address, Socket::GetAddress(pair.client.GetHandle(), Socket::Param::LOCAL_ADDR));
}

TEST(PacketTcp, ZeroLengthBodyReadsOnlyTheHeader)
{
    IoHandle stream = MemoryWith({0, 0, 0, 0, 0xEE, 0xEE});
    LengthFrame frame;
    ASSERT_TRUE(frame.CreateTcp(ReadHandle(stream)));
    EXPECT_EQ(frame.m_uBody, 0u);
    EXPECT_EQ(stream.GetPosition(), 4u);
    EXPECT_EQ(frame.m_Recv.GetSize(), 0u);
}

TEST(PacketTcp, StreamEndingInsideAPacketFails)
{
    // Inside the body, then inside the header.
    IoHandle body = MemoryWith({0, 0, 0, 6, 1, 2, 3});
    LengthFrame frame;
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(body)));
    IoHandle header = MemoryWith({0, 0});
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(header)));

    // Over a socket whose peer closes after part of the body.
    TcpPair pair;
    ASSERT_TRUE(pair.server.IsValid());
    unsigned char part[] = {0, 0, 0, 6, 1, 2};
    ASSERT_TRUE(pair.client.GetHandle().Write(part, sizeof(part)));
    ASSERT_TRUE(pair.client.GetHandle().Close());
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(pair.server)));
}

TEST(PacketTcp, PacketsFollowEachOtherIntoASeparateReceivePacket)
{
    // The receive packet is not the send packet: each receive must rewind
    // the packet it fills.
    IoHandle stream = MemoryWith({0, 0, 0, 2, 0xA1, 0xA2, 0, 0, 0, 1, 0xB1});
    LengthFrame frame(true);
    ASSERT_TRUE(frame.SetBody({1, 2, 3}));
    ASSERT_TRUE(frame.CreateTcp(ReadHandle(stream)));
    EXPECT_EQ(frame.Body(), (Bytes{0xA1, 0xA2}));
    ASSERT_TRUE(frame.CreateTcp(ReadHandle(stream)));
    EXPECT_EQ(frame.m_uBody, 1u);
    EXPECT_EQ(frame.Body(), (Bytes{0xB1}));
    EXPECT_EQ(frame.m_Recv.GetSize(), 1u);
    // The send packet was left alone.
    EXPECT_EQ(frame.m_Send.GetPosition(), 3u);
}

TEST(PacketTcp, RejectedHeaderFails)
{
    IoHandle stream = MemoryWith({0, 0, 0, 1, 7});
    LengthFrame frame;
    frame.m_bRejectHeaders = true;
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(stream)));
}

TEST(PacketTcp, HostileLengthIsRefusedBeforeAnyAllocation)
{
    LengthFrame frame;
    // A first packet gives the receive packet room for its header.
    IoHandle good = MemoryWith({0, 0, 0, 2, 1, 2});
    ASSERT_TRUE(frame.CreateTcp(ReadHandle(good)));

    IoHandle hostile = MemoryWith({0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3});
    Vor::Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(hostile)));
    int left = Vor::Basic::Internal::g_FailMemAllocations.exchange(0);
    EXPECT_EQ(left, 1) << "memory was asked for";
    EXPECT_EQ(hostile.GetPosition(), 4u); // nothing of the body was read

    // One byte above the default limit of 16 MiB.
    EXPECT_EQ(frame.GetMaxPacketSize(), 16u * 1024 * 1024);
    IoHandle above = MemoryWith({0x00, 0xFF, 0xFF, 0xFD}); // 16 MiB - 3, plus 4
    Vor::Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(above)));
    EXPECT_EQ(Vor::Basic::Internal::g_FailMemAllocations.exchange(0), 1);
}

TEST(PacketTcp, MaximumPacketSizeIsSetPerPacketType)
{
    LengthFrame frame;
    frame.SetMaxPacketSize(10);
    Bytes six = {0, 0, 0, 6, 1, 2, 3, 4, 5, 6};
    IoHandle fits = MemoryWith(six);
    EXPECT_TRUE(frame.CreateTcp(ReadHandle(fits)));
    IoHandle larger = MemoryWith({0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(larger)));

    // A header and body whose sum leaves 32 bits, with no limit below it.
    frame.SetMaxPacketSize(0xFFFFFFFFu);
    IoHandle wraps = MemoryWith({0xFF, 0xFF, 0xFF, 0xFD, 1});
    Vor::Basic::Internal::g_FailMemAllocations = 1;
    EXPECT_FALSE(frame.CreateTcp(ReadHandle(wraps)));
    EXPECT_EQ(Vor::Basic::Internal::g_FailMemAllocations.exchange(0), 1);

    // Another packet type keeps its own limit.
    LengthFrame other;
    EXPECT_EQ(other.GetMaxPacketSize(), PacketUtil::DEFAULT_MAX_PACKET);
}

// ------------------------------------------------------------ receiving UDP

TEST(PacketUdp, DatagramMustBeAsLongAsItsHeaderSays)
{
    LengthFrame frame;
    IoHandle exact = MemoryWith(Datagram(100, 96, 0x5A));
    ASSERT_TRUE(frame.CreateUdp(ReadHandle(exact)));
    EXPECT_EQ(frame.m_Recv.GetSize(), 96u);
    EXPECT_EQ(frame.m_Recv.GetPosition(), 0u);

    // Shorter but valid on the packet that held 100 bytes.
    IoHandle shorter = MemoryWith(Datagram(50, 46, 0x6B));
    ASSERT_TRUE(frame.CreateUdp(ReadHandle(shorter)));
    EXPECT_EQ(frame.m_Recv.GetSize(), 46u);
    EXPECT_EQ(frame.Body(), Bytes(46, 0x6B));

    // A runt announcing the earlier length must not borrow its stale bytes.
    IoHandle stale = MemoryWith(Datagram(30, 96, 0x7C));
    EXPECT_FALSE(frame.CreateUdp(ReadHandle(stale)));

    // Longer than announced, and shorter than the header itself.
    IoHandle extra = MemoryWith(Datagram(20, 10, 0));
    EXPECT_FALSE(frame.CreateUdp(ReadHandle(extra)));
    IoHandle tiny = MemoryWith({0, 0, 0});
    EXPECT_FALSE(frame.CreateUdp(ReadHandle(tiny)));
}

TEST(PacketUdp, DatagramLongerThanAPacketCanBeIsRefused)
{
    // A source that hands out a long datagram in part must not pass off
    // its first 8192 bytes as a packet.
    LengthFrame frame;
    unsigned int body = PacketUtil::MAX_DATAGRAM - 4;
    IoHandle cut = MemoryWith(Datagram(PacketUtil::MAX_DATAGRAM + 10, body, 1));
    EXPECT_FALSE(frame.CreateUdp(ReadHandle(cut)));
    IoHandle whole = MemoryWith(Datagram(PacketUtil::MAX_DATAGRAM, body, 1));
    EXPECT_TRUE(frame.CreateUdp(ReadHandle(whole)));

    // The maximum packet size caps datagrams too.
    frame.SetMaxPacketSize(8);
    IoHandle nine = MemoryWith(Datagram(9, 5, 1));
    EXPECT_FALSE(frame.CreateUdp(ReadHandle(nine)));
    IoHandle eight = MemoryWith(Datagram(8, 4, 1));
    EXPECT_TRUE(frame.CreateUdp(ReadHandle(eight)));
}

TEST(PacketUdp, TravelsAsOneDatagramWithTheSendersAddress)
{
    Udp a, b;
    LengthFrame sender;
    ASSERT_TRUE(sender.SetBody({1, 2, 3, 4, 5}));
    Socket::Param to(b.address);
    WriteHandle out(a.device.GetHandle());
    ASSERT_TRUE(sender.Send(out, to));

    LengthFrame receiver;
    Socket::Param from;
    ASSERT_TRUE(receiver.CreateUdp(b.device.GetReadHandle(), from));
    EXPECT_EQ(receiver.Body(), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(from.address, a.address);

    // A datagram longer than any packet is refused, and the next one is
    // still received.
    std::vector<char> big(PacketUtil::MAX_DATAGRAM + 1, 0);
    ASSERT_TRUE(a.device.GetHandle().Write(big.data(), static_cast<unsigned int>(big.size()), to));
    EXPECT_FALSE(receiver.CreateUdp(b.device.GetReadHandle(), from));
    ASSERT_TRUE(sender.Send(out, to));
    EXPECT_TRUE(receiver.CreateUdp(b.device.GetReadHandle(), from));
}

// ---------------------------------------------------------------- sending

TEST(PacketSend, EmptyOrInvalidDestinationFailsBeforeEncoding)
{
    LengthFrame frame;
    ASSERT_TRUE(frame.SetBody({1}));
    WriteHandle empty;
    EXPECT_FALSE(frame.Send(empty));
    Socket::Param to;
    EXPECT_FALSE(frame.Send(empty, to));
    auto* stub = new VorTest::StubIo;
    IoHandle invalid = VorTest::Adopt(stub);
    invalid.SetAttrib(IoParam::VALID, false);
    WriteHandle out(invalid);
    EXPECT_FALSE(frame.Send(out));
    EXPECT_EQ(frame.m_uEncodes, 0u);
}

TEST(PacketSend, WritesHeaderAndBodyAndKeepsThePosition)
{
    LengthFrame frame;
    ASSERT_TRUE(frame.SetBody({0xC1, 0xC2}));
    ASSERT_TRUE(frame.m_Send.Seek(1, IoParam::BEGIN));
    auto* stub = new VorTest::StubIo;
    IoHandle target = VorTest::Adopt(stub);
    WriteHandle out(target);
    ASSERT_TRUE(frame.Send(out));
    EXPECT_EQ(stub->m_Written, std::string("\0\0\0\x02\xC1\xC2", 6));
    EXPECT_EQ(frame.m_Send.GetPosition(), 1u);

    // No body at all: the header alone.
    LengthFrame bare;
    ASSERT_TRUE(bare.SetBody({}));
    stub->m_Written.clear();
    ASSERT_TRUE(bare.Send(out));
    EXPECT_EQ(stub->m_Written, std::string("\0\0\0\0", 4));
}

TEST(PacketSend, PacketHoldingLessThanItAnnouncesIsNotSent)
{
    LengthFrame frame;
    ASSERT_TRUE(frame.SetBody({1, 2, 3}));
    frame.m_uBody = 8;
    auto* stub = new VorTest::StubIo;
    IoHandle target = VorTest::Adopt(stub);
    WriteHandle out(target);
    EXPECT_FALSE(frame.Send(out));
    EXPECT_TRUE(stub->m_Written.empty());

    // A destination that refuses the bytes.
    frame.m_uBody = 3;
    stub->m_bFailWrites = true;
    EXPECT_FALSE(frame.Send(out));
    EXPECT_EQ(frame.m_Send.GetPosition(), 3u);
}

TEST(PacketSend, ShortSendToAStreamFails)
{
    TcpPair pair;
    ASSERT_TRUE(pair.server.IsValid());
    LengthFrame frame;
    ASSERT_TRUE(frame.SetBody(Bytes(64, 1)));
    WriteHandle out(pair.client.GetHandle());
    ASSERT_TRUE(pair.client.GetHandle().Close());
    EXPECT_FALSE(frame.Send(out));
}
