// Packet framing against hand-written code. Read each pair as a ratio of
// items per second:
//   PacketEncodeDecode64 / HandEncodeDecode64
//     a 64-byte packet (4-byte length header, fifteen 32-bit numbers) encoded,
//     sent into a memory stream, received and decoded, against htonl and
//     memcpy doing the same into plain buffers (goal >= 0.3);
//   UdpRecv4Threads / RecvfromOneThread
//     datagrams per second delivered by a UDP receiver with 4 threads,
//     against a bare recvfrom loop on one thread (goal >= 0.5).
#include <vor/io/memory.h>
#include <vor/util/packet.h>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <cstring>

using namespace Vor;

namespace {

constexpr unsigned int VALUES = 15;

class Frame : public Util::PacketUtil {
public:
    Frame() : m_Packet(CreateIo()), m_Send(m_Packet), m_Recv(m_Packet) {}

    bool Encode(unsigned int seed)
    {
        m_Packet.Seek(0, Io::IoParam::BEGIN);
        for (unsigned int i = 0; i < VALUES; ++i)
            m_Packet.WriteUInt32(seed + i);
        m_uBody = VALUES * 4;
        return true;
    }
    unsigned int Decode()
    {
        unsigned int sum = 0;
        for (unsigned int i = 0; i < m_uBody / 4; ++i)
            sum += m_Packet.ReadUInt32();
        return sum;
    }

    using PacketUtil::CreateTcp;
    using PacketUtil::Send;

protected:
    Io::ReadHandle& GetSendPacket() override { return m_Send; }
    Io::WriteHandle& GetRecvPacket() override { return m_Recv; }
    bool DecodeHeader() override
    {
        m_uBody = m_Packet.ReadUInt32();
        return true;
    }
    bool EncodeHeader() override { return m_Packet.WriteUInt32(m_uBody); }
    unsigned int GetHeaderSize() override { return 4; }
    unsigned int GetBodySize() override { return m_uBody; }

private:
    Io::IoHandle m_Packet;
    Io::ReadHandle m_Send;
    Io::WriteHandle m_Recv;
    unsigned int m_uBody = 0;
};

void HandEncodeDecode64(benchmark::State& state)
{
    unsigned char packet[64];
    unsigned char wire[64];
    unsigned int seed = 0;
    for (auto _ : state) {
        // Encode: the body, then the header in front of it.
        for (unsigned int i = 0; i < VALUES; ++i) {
            unsigned int net = htonl(seed + i);
            std::memcpy(packet + 4 + 4 * i, &net, 4);
        }
        unsigned int length = htonl(VALUES * 4);
        std::memcpy(packet, &length, 4);
        std::memcpy(wire, packet, sizeof(packet));
        benchmark::ClobberMemory();
        // Decode: the header, then the body it announces.
        unsigned int announced = 0;
        std::memcpy(&announced, wire, 4);
        announced = ntohl(announced);
        std::memcpy(packet, wire, 4 + announced);
        unsigned int sum = 0;
        for (unsigned int i = 0; i < announced / 4; ++i) {
            unsigned int net;
            std::memcpy(&net, packet + 4 + 4 * i, 4);
            sum += ntohl(net);
        }
        benchmark::DoNotOptimize(sum);
        ++seed;
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()));
}
BENCHMARK(HandEncodeDecode64);

void PacketEncodeDecode64(benchmark::State& state)
{
    Frame frame;
    Io::Memory wire;
    wire.Open(Io::Memory::MEM_SEQUENTIAL, 64);
    Io::WriteHandle out = wire.GetWriteHandle();
    Io::ReadHandle in = wire.GetReadHandle();
    unsigned int seed = 0;
    for (auto _ : state) {
        wire.GetHandle().Seek(0, Io::IoParam::BEGIN);
        frame.Encode(seed);
        if (!frame.Send(out))
            state.SkipWithError("send failed");
        wire.GetHandle().Seek(0, Io::IoParam::BEGIN);
        if (!frame.CreateTcp(in))
            state.SkipWithError("receive failed");
        unsigned int sum = frame.Decode();
        benchmark::DoNotOptimize(sum);
        ++seed;
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()));
}
BENCHMARK(PacketEncodeDecode64);

} // namespace

BENCHMARK_MAIN();
