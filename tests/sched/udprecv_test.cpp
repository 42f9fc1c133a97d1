#include <vor/io/socket.h>
#include <vor/sched/udprecv.h>

#include "basic/internal/memhooks.h"
#include "platform/socket.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace Vor;
using Io::ReadHandle;
using Io::Socket;
using Sched::Notify;
using Sched::UdpRecv;
using Sched::UdpRecvNotify;
using VorTest::BoundUdp;
using VorTest::WaitUntil;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Collects what a receiver delivers: each datagram's bytes and sender, or
// hands the bytes to `check` instead when it is set.
class Sink {
public:
    struct Datagram {
        std::string bytes;
        Socket::Address from;
    };

    Core::CallBack Callback()
    {
        Core::CallBack callback;
        callback.Bind(this, &Sink::OnDatagram);
        return callback;
    }
    unsigned int Count() const { return m_uCount.load(); }
    bool WaitFor(unsigned int n, milliseconds bound = milliseconds(5000)) const
    {
        return WaitUntil([&] { return Count() >= n; }, bound);
    }
    // No more than `n` arrive within a short while.
    bool StaysAt(unsigned int n) const { return !WaitUntil([&] { return Count() > n; }, milliseconds(300)); }
    std::vector<Datagram> Taken() const
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Datagrams;
    }

    std::function<void(std::string const&)> check;

private:
    void OnDatagram(ReadHandle handle)
    {
        std::string bytes(handle.GetSize(), '\0');
        if (!bytes.empty())
            handle.Read(&bytes[0], static_cast<unsigned int>(bytes.size()));
        Core::Guard<Io::IoParam> param = handle.GetParam();
        Socket::Param const* from = dynamic_cast<Socket::Param const*>(param.Raw());
        if (check) {
            check(bytes);
        } else {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_Datagrams.push_back(Datagram{bytes, from != nullptr ? from->address : Socket::Address()});
        }
        ++m_uCount;
    }

    mutable std::mutex m_Lock;
    std::vector<Datagram> m_Datagrams;
    std::atomic<unsigned int> m_uCount{0};
};

Core::Guard<UdpRecvNotify> MakeReceiver(unsigned int threads, Notify::Param const& param = Notify::Param())
{
    Core::Guard<UdpRecvNotify> notify(new UdpRecvNotify);
    notify->DecRef();
    if (threads > 0)
        EXPECT_TRUE(notify->Init(UdpRecvNotify::Param(threads, 1 << 20)));
    else
        EXPECT_TRUE(notify->Init(param));
    return notify;
}

Core::Guard<UdpRecv> MakeEngine()
{
    Core::Guard<UdpRecv> engine(new UdpRecv);
    engine->DecRef();
    EXPECT_TRUE(engine->Init());
    return engine;
}

bool SendTo(BoundUdp& from, Socket::Address const& to, std::string const& bytes)
{
    Socket::Param target(to);
    return from.device.GetHandle().Write(bytes.data(), static_cast<unsigned int>(bytes.size()), target);
}

// Receive threads start and end a moment after the calls that ask for it.
bool ThreadsSettleAt(unsigned int n)
{
    return WaitUntil([n] { return VorTest::ProcessThreadCount() == n; });
}

} // namespace

// One reader, so the order holds. An empty datagram, one too long for a
// buffer, and a refusal of an earlier send reported on the socket neither
// fail the receiver nor put its thread to sleep.
TEST(UdpRecv, DeliversEachDatagramWithItsSenderAndShrugsOffBadOnes)
{
    BoundUdp receiving, sending, closed;
    Socket::Address gone = closed.address;
    ASSERT_TRUE(closed.device.GetHandle().Close());
    Sink sink;
    auto notify = MakeReceiver(1);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    EXPECT_EQ(notify->GetCount(), 1u);
    EXPECT_EQ(notify->GetEngineCount(), 1u);

    auto started = Clock::now();
    Platform::Ipv4Address to;
    std::memcpy(&to, &receiving.address, sizeof(to));
    ASSERT_EQ(Platform::SendToSocket(Socket::Param::GetHandle(sending.device.GetHandle()), "", 0, 0, to), 0);
    ASSERT_TRUE(SendTo(sending, receiving.address, std::string(5000, 'z')));
    ASSERT_TRUE(SendTo(receiving, gone, "to nobody"));
    ASSERT_TRUE(SendTo(sending, receiving.address, "first"));
    ASSERT_TRUE(SendTo(sending, receiving.address, std::string(4096, 'x')));
    ASSERT_TRUE(sink.WaitFor(3));
    EXPECT_LT(Clock::now() - started, milliseconds(800));
    EXPECT_TRUE(sink.StaysAt(3));
    auto taken = sink.Taken();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].bytes, "");
    EXPECT_EQ(taken[1].bytes, "first");
    EXPECT_EQ(taken[2].bytes, std::string(4096, 'x'));
    for (auto const& datagram : taken)
        EXPECT_EQ(datagram.from, sending.address);
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetEngineCount(), 0u);
    EXPECT_EQ(notify->GetCount(), 0u);
}

TEST(UdpRecv, WrongParameterIsReportedAndRefused)
{
    BoundUdp receiving;
    Sink sink;
    auto engine = MakeEngine();
    Notify::Param plain;
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Attach(receiving.device.GetReadHandle(), sink.Callback(), plain));
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Udp recv can not cast attach param 0x[0-9a-f]+ to UdpRecvNotify::Param")))
        << lines[0];
    EXPECT_EQ(engine->GetState(), UdpRecv::IDLE);
    EXPECT_EQ(engine->GetThreadCount(), 0u);
    // Write handles are never taken.
    EXPECT_FALSE(engine->Attach(Io::WriteHandle(receiving.device.GetHandle()), sink.Callback(), UdpRecvNotify::Param(1)));
    // Through a notify given a plain parameter: it keeps no engine.
    auto notify = MakeReceiver(0, plain);
    EXPECT_FALSE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 0u);
    EXPECT_TRUE(engine->UnInit(0));
}

TEST(UdpRecv, ThreadCountsFollowAttachAndDetach)
{
    BoundUdp receiving;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto engine = MakeEngine();
    ReadHandle socket = receiving.device.GetReadHandle();
    ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(4)));
    EXPECT_TRUE(ThreadsSettleAt(before + 4));
    EXPECT_FALSE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(4))); // not idle
    for (unsigned int threads : {4u, 6u}) {
        ASSERT_TRUE(engine->Detach(socket));
        EXPECT_EQ(engine->GetState(), UdpRecv::IDLE);
        ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(threads)));
        EXPECT_EQ(engine->GetThreadCount(), threads);
    }
    EXPECT_TRUE(ThreadsSettleAt(before + 6));
    EXPECT_TRUE(engine->UnInit(1000));
    EXPECT_EQ(engine->GetThreadCount(), 0u);
    EXPECT_EQ(engine->GetState(), UdpRecv::STOPPED);
    EXPECT_TRUE(ThreadsSettleAt(before));
}

TEST(UdpRecv, PauseHoldsDeliveryUntilResumeAndDetachStopsIt)
{
    BoundUdp receiving, sending, other;
    Sink sink;
    auto notify = MakeReceiver(3);
    ReadHandle socket = receiving.device.GetReadHandle();
    ASSERT_TRUE(notify->Attach(socket, sink.Callback()));
    ASSERT_TRUE(notify->Pause(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "one"));
    EXPECT_TRUE(sink.StaysAt(0));
    ASSERT_TRUE(notify->Resume(socket));
    ASSERT_TRUE(sink.WaitFor(1)); // what waited in the socket is not lost

    EXPECT_FALSE(notify->Pause(other.device.GetReadHandle())); // another object
    ASSERT_TRUE(notify->Detach(socket));
    EXPECT_FALSE(notify->Pause(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "two"));
    EXPECT_TRUE(sink.StaysAt(1));
    EXPECT_TRUE(notify->UnInit(1000));

    // The engine itself takes a resume after a detach, on the stored socket.
    auto engine = MakeEngine();
    ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(2)));
    ASSERT_TRUE(engine->Detach(socket));
    EXPECT_FALSE(engine->Resume(other.device.GetReadHandle()));
    ASSERT_TRUE(engine->Resume(socket));
    ASSERT_TRUE(sink.WaitFor(2));
    EXPECT_EQ(sink.Taken()[1].bytes, "two");
    EXPECT_TRUE(engine->UnInit(1000));
    EXPECT_FALSE(engine->Resume(socket)); // a stopped engine takes no orders
}

// The readers are woken, not killed: UnInit(0) ends them at once, also when
// the notify is released without it, or from inside a callback.
TEST(UdpRecv, UnInitEndsBlockedReadersWithoutKilling)
{
    BoundUdp receiving, sending;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    EXPECT_TRUE(ThreadsSettleAt(before + 4));
    auto started = Clock::now();
    EXPECT_TRUE(notify->UnInit(0));
    EXPECT_LT(Clock::now() - started, milliseconds(900));
    EXPECT_TRUE(ThreadsSettleAt(before));

    {
        auto released = MakeReceiver(2);
        ASSERT_TRUE(released->Attach(receiving.device.GetReadHandle(), sink.Callback()));
        EXPECT_TRUE(ThreadsSettleAt(before + 2));
    }
    EXPECT_TRUE(ThreadsSettleAt(before));

    auto stopping = MakeReceiver(2);
    std::atomic<int> result{-1};
    struct Stopper {
        UdpRecvNotify* notify;
        std::atomic<int>* result;
        void OnDatagram(ReadHandle) { result->store(notify->UnInit(0) ? 1 : 0); }
    } stopper{stopping.Raw(), &result};
    Core::CallBack callback;
    callback.Bind(&stopper, &Stopper::OnDatagram);
    ASSERT_TRUE(stopping->Attach(receiving.device.GetReadHandle(), callback));
    ASSERT_TRUE(SendTo(sending, receiving.address, "stop"));
    ASSERT_TRUE(WaitUntil([&] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(ThreadsSettleAt(before));
}

TEST(UdpRecv, FailedBufferKeepsTheReader)
{
    BoundUdp receiving, sending;
    Sink sink;
    auto notify = MakeReceiver(1);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    VorTest::StderrCapture capture;
    Basic::Internal::g_FailMemAllocations = 1;
    ASSERT_TRUE(SendTo(sending, receiving.address, "late"));
    EXPECT_TRUE(sink.WaitFor(1));
    ASSERT_TRUE(SendTo(sending, receiving.address, "later")); // the one reader is still there
    EXPECT_TRUE(sink.WaitFor(2));
    EXPECT_EQ(Basic::Internal::g_FailMemAllocations.exchange(0), 0);
    capture.Stop();
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Get udp recv buffer error"});
    ASSERT_EQ(sink.Count(), 2u);
    EXPECT_EQ(sink.Taken()[1].bytes, "later");
    notify->UnInit(1000);
}

// A second attach of one socket makes no second receiver that a detach
// would miss; a detached engine and its threads serve the next socket.
TEST(UdpRecv, OneEngineAndItsThreadsPerSocket)
{
    BoundUdp first, second, sending;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(3);
    ReadHandle socket = first.device.GetReadHandle();
    ASSERT_TRUE(notify->Attach(socket, sink.Callback()));
    EXPECT_FALSE(notify->Attach(socket, sink.Callback()));
    ASSERT_TRUE(notify->Detach(socket));
    ASSERT_TRUE(notify->Attach(second.device.GetReadHandle(), sink.Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 1u);
    EXPECT_TRUE(ThreadsSettleAt(before + 3));
    ASSERT_TRUE(SendTo(sending, first.address, "first"));
    ASSERT_TRUE(SendTo(sending, second.address, "second"));
    ASSERT_TRUE(sink.WaitFor(1));
    EXPECT_TRUE(sink.StaysAt(1));
    EXPECT_EQ(sink.Taken()[0].bytes, "second");
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_TRUE(ThreadsSettleAt(before));
}

// 100,000 datagrams of random lengths 1 to 4,096 to four readers: each
// arrives once and byte for byte as sent.
TEST(UdpRecv, FloodOfRandomLengthsArrivesIntact)
{
    constexpr unsigned int TOTAL = 100000;
    constexpr unsigned int WINDOW = 48; // sent ahead of delivery at most
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
    std::atomic<int> shortOnes[4] = {{0}, {0}, {0}, {0}}; // sent minus arrived
    for (auto& length : lengths)
        length = static_cast<unsigned short>(1 + random() % 4096);
    lengths[0] = 1;
    lengths[1] = 4096;
    for (auto length : lengths)
        shortOnes[length < 4 ? length : 0] += length < 4;

    std::vector<std::atomic<unsigned char>> seen(TOTAL);
    std::atomic<unsigned int> bad{0};
    Sink sink;
    sink.check = [&](std::string const& bytes) {
        if (bytes.size() < 4) {
            bad += bytes.empty() || bytes != fill(0, bytes.size()) || --shortOnes[bytes.size()] < 0;
            return;
        }
        unsigned int n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
        bad += n >= TOTAL || bytes != fill(n, lengths[n]) || seen[n].exchange(1) != 0;
    };
    BoundUdp receiving, sending;
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    auto deadline = Clock::now() + std::chrono::seconds(60);
    for (unsigned int n = 0; n < TOTAL; ++n) {
        // Spinning, not sleeping: the window is short.
        while (n >= WINDOW && sink.Count() < n - WINDOW + 1)
            ASSERT_LT(Clock::now(), deadline) << "stalled after " << sink.Count();
        ASSERT_TRUE(SendTo(sending, receiving.address, fill(n, lengths[n])));
    }
    ASSERT_TRUE(sink.WaitFor(TOTAL, milliseconds(20000)));
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_TRUE(sink.StaysAt(TOTAL));
    for (unsigned int n = 0; n < TOTAL; ++n)
        ASSERT_TRUE(lengths[n] < 4 || seen[n].load() == 1) << n << " missing";
    for (auto const& left : shortOnes)
        EXPECT_EQ(left.load(), 0);
}
