#include <vor/io/socket.h>
#include <vor/sched/udprecv.h>

#include "basic/internal/memhooks.h"
#include "platform/socket.h"
#include "support/capture.h"
#include "support/net.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace Vor;
using Io::ReadHandle, Io::Socket, Sched::Notify, Sched::UdpRecv, Sched::UdpRecvNotify;
using VorTest::BoundUdp, VorTest::WaitUntil;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// A receiving and a sending socket, and what the receiver delivers: each
// datagram's bytes and sender, or, when `check` is set, only a count.
class UdpRecvTest : public ::testing::Test {
protected:
    struct Datagram { std::string bytes; Socket::Address from; };
    Core::CallBack Callback()
    {
        Core::CallBack callback;
        callback.Bind(this, &UdpRecvTest::OnDatagram);
        return callback;
    }
    void OnDatagram(ReadHandle handle)
    {
        std::string bytes(handle.GetSize(), '\0');
        handle.Read(&bytes[0], static_cast<unsigned int>(bytes.size()));
        Core::Guard<Io::IoParam> param = handle.GetParam();
        Socket::Param const* from = dynamic_cast<Socket::Param const*>(param.Raw());
        if (check) {
            check(bytes); // on the receive threads at once, not serialised here
        } else {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_Taken.push_back(Datagram{bytes, from != nullptr ? from->address : Socket::Address()});
        }
        ++m_uCount;
    }
    bool WaitFor(unsigned int n) { return WaitUntil([&] { return m_uCount.load() >= n; }, milliseconds(20000)); }
    // No more than `n` arrive within a short while.
    bool StaysAt(unsigned int n) { return !WaitUntil([&] { return m_uCount.load() > n; }, milliseconds(300)); }
    Datagram Taken(std::size_t i)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Taken.at(i);
    }
    bool Send(std::string const& bytes, BoundUdp* to = nullptr)
    {
        Socket::Param target(to != nullptr ? to->address : receiving.address);
        return sending.device.GetHandle().Write(bytes.data(), static_cast<unsigned int>(bytes.size()), target);
    }
    // Receive threads start and end a moment after the calls that ask for it.
    bool ThreadsSettleAt(unsigned int n) { return WaitUntil([&] { return VorTest::ProcessThreadCount() == before + n; }); }

    // With no threads, a notify given a plain parameter block.
    static Core::Guard<UdpRecvNotify> MakeReceiver(unsigned int threads)
    {
        Core::Guard<UdpRecvNotify> notify = Core::New<UdpRecvNotify>();
        EXPECT_TRUE(threads > 0 ? notify->Init(UdpRecvNotify::Param(threads, 1 << 20)) : notify->Init(Notify::Param()));
        return notify;
    }
    static Core::Guard<UdpRecv> MakeEngine()
    {
        Core::Guard<UdpRecv> engine = Core::New<UdpRecv>();
        EXPECT_TRUE(engine->Init());
        return engine;
    }

    unsigned int before = VorTest::SettledThreadCount();
    BoundUdp receiving, sending;
    ReadHandle socket = receiving.device.GetReadHandle();
    std::function<void(std::string const&)> check;
    std::atomic<unsigned int> m_uCount{0};
    std::mutex m_Lock;
    std::vector<Datagram> m_Taken;
};

} // namespace

// One reader, so the order holds. An empty datagram, one too long for a
// buffer, a refusal of an earlier send reported on the socket, and a buffer
// that cannot be had neither lose the reader nor put it to sleep.
TEST_F(UdpRecvTest, DeliversEachDatagramWithItsSenderAndShrugsOffBadOnes)
{
    BoundUdp closed;
    Socket::Param gone(closed.address);
    ASSERT_TRUE(closed.device.GetHandle().Close());
    auto notify = MakeReceiver(1);
    ASSERT_TRUE(notify->Attach(socket, Callback()));
    auto started = Clock::now();
    Platform::Ipv4Address to; // the socket device sends no empty datagram
    std::memcpy(&to, &receiving.address, sizeof(to));
    ASSERT_EQ(Platform::SendToSocket(Socket::Param::GetHandle(sending.device.GetHandle()), "", 0, 0, to), 0);
    ASSERT_TRUE(Send(std::string(5000, 'z')));
    ASSERT_TRUE(receiving.device.GetHandle().Write("to nobody", 9, gone));
    ASSERT_TRUE(Send("first") && Send(std::string(4096, 'x')));
    ASSERT_TRUE(WaitFor(3));
    EXPECT_LT(Clock::now() - started, milliseconds(800));
    EXPECT_TRUE(StaysAt(3));
    EXPECT_EQ(Taken(0).bytes, "");
    EXPECT_EQ(Taken(1).bytes, "first");
    EXPECT_EQ(Taken(2).bytes, std::string(4096, 'x'));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Taken(i).from, sending.address);

    // A buffer that cannot be had is reported; the one reader stays.
    VorTest::StderrCapture capture;
    Basic::Internal::g_FailMemAllocations = 1;
    ASSERT_TRUE(Send("late"));
    ASSERT_TRUE(WaitFor(4));
    ASSERT_TRUE(Send("later"));
    ASSERT_TRUE(WaitFor(5));
    EXPECT_EQ(Basic::Internal::g_FailMemAllocations.exchange(0), 0);
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Get udp recv buffer error"});
    EXPECT_EQ(Taken(4).bytes, "later");
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetEngineCount(), 0u);
    EXPECT_EQ(notify->GetCount(), 0u);
}

// Only its own parameter, only a read handle, only while idle; a second
// attach after a detach reuses the threads and starts only those missing.
TEST_F(UdpRecvTest, EngineAttachesWithItsParameterAndReusesItsThreads)
{
    auto engine = MakeEngine();
    Notify::Param plain;
    std::ostringstream line;
    line << "Udp recv can not cast attach param " << static_cast<void const*>(&plain) << " to UdpRecvNotify::Param";
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Attach(socket, Callback(), plain));
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{line.str()});
    EXPECT_EQ(engine->GetState(), UdpRecv::IDLE);
    EXPECT_FALSE(engine->Attach(Io::WriteHandle(receiving.device.GetHandle()), Callback(), UdpRecvNotify::Param(1)));
    auto notify = MakeReceiver(0); // a notify given a plain parameter keeps no engine
    EXPECT_FALSE(notify->Attach(socket, Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 0u);

    ASSERT_TRUE(engine->Attach(socket, Callback(), UdpRecvNotify::Param(4)));
    EXPECT_TRUE(ThreadsSettleAt(4));
    EXPECT_FALSE(engine->Attach(socket, Callback(), UdpRecvNotify::Param(4))); // not idle
    for (unsigned int threads : {4u, 6u}) {
        ASSERT_TRUE(engine->Detach(socket));
        ASSERT_TRUE(engine->Attach(socket, Callback(), UdpRecvNotify::Param(threads)));
        EXPECT_EQ(engine->GetThreadCount(), threads);
    }
    EXPECT_TRUE(ThreadsSettleAt(6));
    EXPECT_TRUE(engine->UnInit(1000));
    EXPECT_TRUE(ThreadsSettleAt(0));
}

// A reader inside a read when the engine is paused or detached drops what
// that read returns; once they are at rest, datagrams wait in the socket.
TEST_F(UdpRecvTest, PauseHoldsDeliveryUntilResumeAndDetachStopsIt)
{
    auto notify = MakeReceiver(3);
    ASSERT_TRUE(notify->Attach(socket, Callback()));
    ASSERT_TRUE(notify->Pause(socket));
    EXPECT_TRUE(StaysAt(0));
    ASSERT_TRUE(Send("one"));
    EXPECT_TRUE(StaysAt(0));
    ASSERT_TRUE(notify->Resume(socket));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_FALSE(notify->Pause(sending.device.GetReadHandle())); // another object
    ASSERT_TRUE(notify->Detach(socket));
    EXPECT_FALSE(notify->Pause(socket));
    EXPECT_TRUE(notify->UnInit(1000));

    // The engine itself takes a resume after a detach, on the stored socket.
    auto engine = MakeEngine();
    ASSERT_TRUE(engine->Attach(socket, Callback(), UdpRecvNotify::Param(2)));
    ASSERT_TRUE(engine->Detach(socket));
    EXPECT_TRUE(StaysAt(1));
    ASSERT_TRUE(Send("two"));
    EXPECT_TRUE(StaysAt(1));
    ASSERT_TRUE(engine->Resume(socket));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(Taken(1).bytes, "two");
    EXPECT_TRUE(engine->UnInit(1000));
    EXPECT_FALSE(engine->Resume(socket)); // a stopped engine takes no orders
}

// A second attach of one socket makes no second receiver that a detach
// would miss; a detached engine and its threads serve the next socket, and
// only it. The readers are woken, not killed: UnInit(0) ends them at once,
// also when the notify is released without it, or from inside a callback.
TEST_F(UdpRecvTest, UnInitEndsBlockedReadersWithoutKilling)
{
    BoundUdp first;
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(first.device.GetReadHandle(), Callback()));
    EXPECT_FALSE(notify->Attach(first.device.GetReadHandle(), Callback()));
    ASSERT_TRUE(notify->Detach(first.device.GetReadHandle()));
    ASSERT_TRUE(notify->Attach(socket, Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 1u);
    EXPECT_TRUE(ThreadsSettleAt(4));
    ASSERT_TRUE(Send("first", &first) && Send("second"));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_TRUE(StaysAt(1));
    EXPECT_EQ(Taken(0).bytes, "second");
    auto started = Clock::now();
    EXPECT_TRUE(notify->UnInit(0));
    EXPECT_LT(Clock::now() - started, milliseconds(900));
    EXPECT_TRUE(ThreadsSettleAt(0));
    {
        auto released = MakeReceiver(2);
        ASSERT_TRUE(released->Attach(socket, Callback()));
        EXPECT_TRUE(ThreadsSettleAt(2));
    }
    EXPECT_TRUE(ThreadsSettleAt(0));

    auto stopping = MakeReceiver(2);
    std::atomic<int> result{-1};
    check = [&](std::string const&) { result = stopping->UnInit(0) ? 1 : 0; };
    ASSERT_TRUE(stopping->Attach(socket, Callback()));
    ASSERT_TRUE(Send("stop"));
    ASSERT_TRUE(WaitUntil([&] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(ThreadsSettleAt(0));
}

// The application closes the receiver's socket while its readers wait on
// it, and the number comes back as a stream's: a reader must not wait on
// it, nor read the stream's bytes as datagrams, when it looks again.
TEST_F(UdpRecvTest, ClosedSocketsNumberIsNeverReadForAnotherStream)
{
    auto notify = MakeReceiver(2);
    ASSERT_TRUE(notify->Attach(socket, Callback()));
    ASSERT_TRUE(ThreadsSettleAt(2));
    unsigned int number = Socket::Param::GetHandle(socket);
    // Connected before the close: each accept takes the lowest free
    // number, and so the closed socket's once the readers let go of it.
    VorTest::LoopbackListener listener;
    ASSERT_TRUE(listener.IsValid());
    struct Stream {
        Platform::SocketHandle client = Platform::kInvalidSocket, server = Platform::kInvalidSocket;
        ~Stream()
        {
            Platform::CloseSocket(client);
            Platform::CloseSocket(server);
        }
    };
    std::vector<Stream> streams(8);
    for (Stream& stream : streams) {
        stream.client = Platform::OpenSocket(Platform::kFamilyIpv4, Platform::SocketKind::Stream, 0);
        ASSERT_TRUE(Platform::ConnectSocket(stream.client, listener.Address(), 5000));
    }
    ASSERT_TRUE(receiving.device.GetHandle().Close());
    Platform::Ipv4Address name{};
    ASSERT_TRUE(WaitUntil([&] { return !Platform::GetSocketName(number, &name); })) << "the number is still held";
    Stream* reused = nullptr;
    for (Stream& stream : streams) {
        stream.server = Platform::AcceptSocket(listener.Socket(), nullptr, nullptr);
        ASSERT_NE(stream.server, Platform::kInvalidSocket);
        if (stream.server == number && reused == nullptr)
            reused = &stream;
    }
#if defined(_WIN32)
    if (reused == nullptr)
        GTEST_SKIP() << "the system gave the closed socket's number to none of the streams";
#endif
    ASSERT_NE(reused, nullptr) << "no stream has the closed socket's number " << number;
    std::string sent(3000, 'q');
    for (Stream& stream : streams)
        ASSERT_EQ(Platform::SendSocket(stream.client, sent.data(), sent.size(), 0), 3000);
    // Longer than a reader's rest after a broken socket and its wait on a
    // socket together: one that kept the number has looked at the stream.
    EXPECT_FALSE(WaitUntil([&] { return m_uCount.load() > 0; }, milliseconds(1300)))
        << "the stream's bytes were delivered as datagrams";
    for (Stream& stream : streams) {
        std::size_t got = 0;
        WaitUntil([&] {
            char chunk[4096];
            std::int64_t n = Platform::ReceiveSocket(stream.server, chunk, sizeof(chunk), Platform::DontWaitFlag());
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
            return got >= sent.size();
        }, milliseconds(1000));
        EXPECT_EQ(got, sent.size()) << "stream on number " << stream.server
                                    << (&stream == reused ? " (the closed socket's)" : "");
    }
    EXPECT_TRUE(notify->UnInit(1000));
}

// 100,000 datagrams (25,000 under Wine) of random lengths 1 to 4,096 to four
// readers: each arrives once and byte for byte as sent.
TEST_F(UdpRecvTest, FloodOfRandomLengthsArrivesIntact)
{
    // Sent ahead of delivery at most: what the socket's buffer holds for
    // sure, since a datagram dropped there would stall the test. Wine's
    // slower wait lets the buffer fill with more (and takes longer).
#if defined(_WIN32)
    constexpr unsigned int WINDOW = 16, TOTAL = 25000;
#else
    constexpr unsigned int WINDOW = 48, TOTAL = 100000;
#endif
    // From 4 bytes on a datagram starts with its number n, and byte i after
    // that is (n * 31 + i) & 0xFF. A shorter one holds 0, 1, 2 and is
    // counted by its length.
    auto fill = [](unsigned int n, std::size_t length) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<char>(length < 4 ? i : i < 4 ? n >> (8 * i) : (n * 31 + i) & 0xFF);
        return bytes;
    };
    std::vector<unsigned short> lengths(TOTAL);
    std::mt19937 random(12345);
    for (auto& length : lengths)
        length = static_cast<unsigned short>(1 + random() % 4096);
    lengths[0] = 1;
    lengths[1] = 4096;
    std::atomic<int> shortOnes[4] = {{0}, {0}, {0}, {0}}; // sent minus arrived
    for (auto length : lengths)
        shortOnes[length < 4 ? length : 0] += length < 4;
    std::vector<std::atomic<unsigned char>> seen(TOTAL);
    std::atomic<unsigned int> bad{0};
    check = [&](std::string const& bytes) {
        unsigned int n = 0;
        if (bytes.size() < 4)
            return void(bad += bytes.empty() || bytes != fill(0, bytes.size()) || --shortOnes[bytes.size()] < 0);
        for (std::size_t i = 4; i > 0; --i)
            n = (n << 8) | static_cast<unsigned char>(bytes[i - 1]);
        bad += n >= TOTAL || bytes != fill(n, lengths[n]) || seen[n].exchange(1) != 0;
    };
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(socket, Callback()));
    auto deadline = Clock::now() + std::chrono::seconds(60);
    for (unsigned int n = 0; n < TOTAL; ++n) {
        while (n >= WINDOW && m_uCount.load() < n - WINDOW + 1) // spinning: the window is short
            ASSERT_LT(Clock::now(), deadline) << "stalled after " << m_uCount.load();
        ASSERT_TRUE(Send(fill(n, lengths[n])));
    }
    ASSERT_TRUE(WaitFor(TOTAL));
    // At least TOTAL arrived, none of them foreign, doubled or a short one
    // too many: each one sent arrived, once.
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(bad.load(), 0u);
}
