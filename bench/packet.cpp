// Packet framing against hand-written code. Read each pair as a ratio of
// items per second:
//   PacketEncodeDecode64 / HandEncodeDecode64
//     a 64-byte packet (4-byte length header, fifteen 32-bit numbers) encoded,
//     sent into a memory stream, received and decoded, against htonl and
//     memcpy doing the same into plain buffers (goal >= 0.5);
//   PacketValuesOnly64 / HandEncodeDecode64
//     the packet's thirty 32-bit values alone, written and read back through
//     its handle without framing: what the typed values leave of the goal;
//   UdpRecv4Threads / RecvfromOneThread
//     datagrams per second delivered by a UDP receiver with 4 threads,
//     against a bare recvfrom loop on one thread (goal >= 0.5).
#include <vor/io/memory.h>
#include <vor/io/socket.h>
#include <vor/sched/udprecv.h>
#include <vor/util/packet.h>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

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
    void Rewind() { m_Packet.Seek(0, Io::IoParam::BEGIN); }
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

void PacketValuesOnly64(benchmark::State& state)
{
    Frame frame;
    unsigned int seed = 0;
    for (auto _ : state) {
        frame.Encode(seed);
        frame.Rewind();
        unsigned int sum = frame.Decode();
        benchmark::DoNotOptimize(sum);
        ++seed;
    }
    state.SetItemsProcessed(static_cast<long long>(state.iterations()));
}
BENCHMARK(PacketValuesOnly64);

// ------------------------------------------------------------ receiving

constexpr unsigned int BATCH = 2000;
// Datagrams sent ahead of delivery at most: the socket buffer holds them
// all, so none is dropped and both receivers see the same load.
constexpr unsigned int WINDOW = 64;
constexpr unsigned int PAYLOAD = 64;

int BoundUdpSocket(sockaddr_in& address)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one batch, never more than WINDOW ahead of `received`, and waits
// until all of it has arrived.
bool SendBatch(int fd, sockaddr_in const& to, std::atomic<unsigned long long>& received, unsigned long long& sent)
{
    char payload[PAYLOAD] = {};
    for (unsigned int i = 0; i < BATCH; ++i) {
        while (sent - received.load(std::memory_order_acquire) >= WINDOW)
            std::this_thread::yield();
        if (sendto(fd, payload, sizeof(payload), 0, reinterpret_cast<sockaddr const*>(&to), sizeof(to)) < 0)
            return false;
        ++sent;
    }
    while (received.load(std::memory_order_acquire) < sent)
        std::this_thread::yield();
    return true;
}

void RecvfromOneThread(benchmark::State& state)
{
    sockaddr_in at;
    int rx = BoundUdpSocket(at);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    std::atomic<unsigned long long> received{0};
    std::thread reader([&] {
        char buffer[4096];
        sockaddr_in from;
        for (;;) {
            socklen_t length = sizeof(from);
            ssize_t n = recvfrom(rx, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                return; // shut down
            received.fetch_add(1, std::memory_order_release);
        }
    });
    unsigned long long sent = 0;
    for (auto _ : state) {
        if (!SendBatch(tx, at, received, sent))
            state.SkipWithError("send failed");
    }
    shutdown(rx, SHUT_RDWR);
    reader.join();
    close(rx);
    close(tx);
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * BATCH);
}
BENCHMARK(RecvfromOneThread)->UseRealTime();

struct Counter {
    std::atomic<unsigned long long> received{0};
    void OnDatagram(Io::ReadHandle) { received.fetch_add(1, std::memory_order_release); }
};

void UdpRecv4Threads(benchmark::State& state)
{
    Io::Socket rx;
    rx.Open(Io::Socket::SOCKET_UDP);
    rx.Bind(Io::Socket::Address("127.0.0.1", 0));
    Io::Socket::Address address = Io::Socket::GetAddress(rx.GetHandle(), Io::Socket::Param::LOCAL_ADDR);
    sockaddr_in at;
    std::memcpy(&at, &address, sizeof(at));
    int tx = socket(AF_INET, SOCK_DGRAM, 0);

    Counter counter;
    Core::CallBack callback;
    callback.Bind(&counter, &Counter::OnDatagram);
    Core::Guard<Sched::UdpRecvNotify> notify = Core::New<Sched::UdpRecvNotify>();
    notify->Init(Sched::UdpRecvNotify::Param(4, 4 << 20));
    if (!notify->Attach(rx.GetReadHandle(), callback))
        state.SkipWithError("attach failed");
    unsigned long long sent = 0;
    for (auto _ : state) {
        if (!SendBatch(tx, at, counter.received, sent))
            state.SkipWithError("send failed");
    }
    notify->UnInit(1000);
    close(tx);
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * BATCH);
}
BENCHMARK(UdpRecv4Threads)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
