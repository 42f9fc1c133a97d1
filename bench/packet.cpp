// Packet framing against hand-written code. Read each pair as a ratio of
// items per second:
//   PacketEncodeDecode64 / HandEncodeDecode64
//     a 64-byte packet (4-byte length header, fifteen 32-bit numbers) encoded,
//     sent into a memory stream, received and decoded, against htonl and
//     memcpy doing the same into plain buffers (goal >= 0.5);
//   PacketValuesOnly64 / HandEncodeDecode64
//     the packet's thirty 32-bit values alone, written and read back through
//     its handle without framing: what the typed values leave of the goal;
//   LeastEncodeDecode64 / HandEncodeDecode64
//     the same packet through the least framing that keeps what a packet and
//     its application must be (see below): the most that any framing of it
//     can give;
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

// ------------------------------------------------------- the least framing

} // namespace

// The least that any framing of the same packet can do while it keeps what
// a packet and its application must be. The packet is an object that
// several handles share, so its position lives in memory, and its typed
// values test the room and call out when it runs out; its own steps are
// taken inline, as the library may for an object of its own exact type.
// The application's operations are virtual calls into code the framing
// cannot see, and so are the transfers to and from the other stream, which
// may be a socket. Everything else is left out: no counted handles, no
// attributes, no type tests, no growth, and the few bytes of each transfer
// are copied inline instead of by a call.
namespace Least {

// A copy of a few bytes, inline: cheaper here than a call to memcpy.
inline void Copy(char* to, char const* from, unsigned int n)
{
    for (; n >= 8; n -= 8, to += 8, from += 8) {
        unsigned long long word;
        std::memcpy(&word, from, 8);
        std::memcpy(to, &word, 8);
    }
    for (; n > 0; --n)
        *to++ = *from++;
}

class Stream {
public:
    // Full of zeros, as a packet is after its first use.
    explicit Stream(unsigned int capacity) : m_Data(new char[capacity]()), m_uCapacity(capacity), m_uSize(capacity) {}
    virtual ~Stream() { delete[] m_Data; }
    Stream(Stream const&) = delete;
    Stream& operator=(Stream const&) = delete;

    // The other stream's transfers.
    [[gnu::noinline]] virtual bool Write(void const* from, unsigned int n)
    {
        char* at = Room(n);
        if (at == nullptr)
            return false;
        Copy(at, static_cast<char const*>(from), n);
        Advance(n);
        return true;
    }
    [[gnu::noinline]] virtual unsigned int Read(void* to, unsigned int n)
    {
        if (!Holds(n))
            return 0;
        Copy(static_cast<char*>(to), m_Data + m_uPosition, n);
        m_uPosition += n;
        return n;
    }

    // The packet's own steps.
    void Rewind() { m_uPosition = 0; }
    bool Seek(unsigned int position)
    {
        if (position > m_uSize)
            return false;
        m_uPosition = position;
        return true;
    }
    unsigned int GetPosition() const { return m_uPosition; }
    // Hands n bytes at the position to `dst`.
    bool ReadInto(Stream& dst, unsigned int n)
    {
        if (!Holds(n) || !dst.Write(m_Data + m_uPosition, n))
            return false;
        m_uPosition += n;
        return true;
    }
    // Lets `src` fill n bytes at the position.
    bool WriteFrom(Stream& src, unsigned int n)
    {
        char* at = Room(n);
        if (at == nullptr || src.Read(at, n) != n)
            return false;
        Advance(n);
        return true;
    }
    bool Put(unsigned int value)
    {
        unsigned int position = m_uPosition;
        unsigned int size = m_uSize;
        if (position > size || m_uCapacity - position < 4)
            return OutOfRoom();
        value = htonl(value);
        std::memcpy(m_Data + position, &value, 4);
        m_uPosition = position + 4;
        if (position + 4 > size)
            m_uSize = position + 4;
        return true;
    }
    unsigned int Get()
    {
        unsigned int position = m_uPosition;
        if (position > m_uSize || m_uSize - position < 4)
            return OutOfRoom();
        unsigned int value;
        std::memcpy(&value, m_Data + position, 4);
        m_uPosition = position + 4;
        return ntohl(value);
    }

private:
    // Whether n bytes lie at the position.
    bool Holds(unsigned int n) const { return m_uPosition <= m_uSize && m_uSize - m_uPosition >= n; }
    char* Room(unsigned int n) const
    {
        return m_uPosition <= m_uSize && m_uCapacity - m_uPosition >= n ? m_Data + m_uPosition : nullptr;
    }
    [[gnu::noinline]] bool OutOfRoom()
    {
        benchmark::DoNotOptimize(m_uPosition);
        return false;
    }
    void Advance(unsigned int n)
    {
        m_uPosition += n;
        if (m_uPosition > m_uSize)
            m_uSize = m_uPosition;
    }

    char* m_Data;
    unsigned int m_uCapacity;
    unsigned int m_uSize;
    unsigned int m_uPosition = 0;
};

// Hides where a pointer leads from the optimizer, so that the calls made
// through it stay virtual.
template <class T>
T* Opaque(T* pointer)
{
    asm volatile("" : "+r"(pointer));
    return pointer;
}

// The application's side.
class Application {
public:
    explicit Application(Stream& packet) : m_Packet(packet) {}
    virtual ~Application() = default;

    [[gnu::noinline]] virtual Stream& GetSendPacket() { return m_Packet; }
    [[gnu::noinline]] virtual Stream& GetRecvPacket() { return m_Packet; }
    [[gnu::noinline]] virtual bool DecodeHeader()
    {
        m_uBody = m_Packet.Get();
        return true;
    }
    [[gnu::noinline]] virtual bool EncodeHeader() { return m_Packet.Put(m_uBody); }
    [[gnu::noinline]] virtual unsigned int GetHeaderSize() { return 4; }
    [[gnu::noinline]] virtual unsigned int GetBodySize() { return m_uBody; }
    // The framing's default, which an application may override.
    [[gnu::noinline]] virtual bool ResetPointer()
    {
        (m_bReceiving ? GetRecvPacket() : GetSendPacket()).Rewind();
        return true;
    }

    void Encode(unsigned int seed)
    {
        m_Packet.Seek(4);
        for (unsigned int i = 0; i < VALUES; ++i)
            m_Packet.Put(seed + i);
        m_uBody = VALUES * 4;
    }
    unsigned int Decode()
    {
        unsigned int sum = 0;
        for (unsigned int i = 0; i < m_uBody / 4; ++i)
            sum += m_Packet.Get();
        return sum;
    }

    bool m_bReceiving = false;

private:
    Stream& m_Packet;
    unsigned int m_uBody = 0;
};

// The framing, with the steps of a send and a receive in their order.
bool Send(Application& app, Stream& dst)
{
    app.m_bReceiving = false;
    Stream& packet = app.GetSendPacket();
    unsigned int mark = packet.GetPosition();
    bool done = app.ResetPointer() && app.EncodeHeader();
    unsigned int total = app.GetBodySize() + app.GetHeaderSize();
    done = done && app.ResetPointer() && packet.ReadInto(dst, total);
    return packet.Seek(mark) && done;
}

bool Receive(Application& app, Stream& src)
{
    app.m_bReceiving = true;
    unsigned int header = app.GetHeaderSize();
    Stream& packet = app.GetRecvPacket();
    if (!app.ResetPointer() || !packet.WriteFrom(src, header))
        return false;
    if (!app.ResetPointer() || !app.DecodeHeader())
        return false;
    unsigned int body = app.GetBodySize();
    if (body == 0)
        return true;
    return packet.Seek(header) && packet.WriteFrom(src, body) && packet.Seek(header);
}

} // namespace Least

namespace {

void LeastEncodeDecode64(benchmark::State& state)
{
    using namespace Least;
    Stream packet(64);
    Stream* wire = Opaque(new Stream(64));
    Application* app = Opaque(new Application(packet));
    unsigned int seed = 0;
    for (auto _ : state) {
        wire->Rewind();
        app->Encode(seed);
        if (!Send(*app, *wire))
            state.SkipWithError("send failed");
        wire->Rewind();
        if (!Receive(*app, *wire))
            state.SkipWithError("receive failed");
        unsigned int sum = app->Decode();
        benchmark::DoNotOptimize(sum);
        ++seed;
    }
    delete app;
    delete wire;
    state.SetItemsProcessed(static_cast<long long>(state.iterations()));
}
BENCHMARK(LeastEncodeDecode64);

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
