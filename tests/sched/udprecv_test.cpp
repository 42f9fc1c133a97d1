#include <vor/core/thread.h>
#include <vor/io/memory.h>
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
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
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

// Collects the datagrams a receiver delivers.
class Sink {
public:
    struct Datagram {
        std::string bytes;
        Socket::Address from;
        bool hadAddress;
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
    // As WaitFor, without sleeping between looks (for the flood's window).
    bool SpinFor(unsigned int n) const
    {
        auto deadline = Clock::now() + milliseconds(5000);
        while (Count() < n) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }
    std::vector<Datagram> Taken() const
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Datagrams;
    }

    // Called with every datagram's bytes when set (the flood checks them
    // there instead of keeping them).
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
            m_Datagrams.push_back(Datagram{bytes, from != nullptr ? from->address : Socket::Address(), from != nullptr});
        }
        ++m_uCount;
    }

    mutable std::mutex m_Lock;
    std::vector<Datagram> m_Datagrams;
    std::atomic<unsigned int> m_uCount{0};
};

Core::Guard<UdpRecvNotify> MakeReceiver(unsigned int threads)
{
    UdpRecvNotify* notify = new UdpRecvNotify;
    Core::Guard<UdpRecvNotify> counted(notify);
    notify->DecRef();
    EXPECT_TRUE(counted->Init(UdpRecvNotify::Param(threads, 1 << 20)));
    return counted;
}

Core::Guard<UdpRecv> MakeEngine()
{
    UdpRecv* engine = new UdpRecv;
    Core::Guard<UdpRecv> counted(engine);
    engine->DecRef();
    EXPECT_TRUE(counted->Init());
    return counted;
}

bool SendTo(BoundUdp& from, Socket::Address const& to, std::string const& bytes)
{
    Socket::Param target(to);
    return from.device.GetHandle().Write(bytes.data(), static_cast<unsigned int>(bytes.size()), target);
}

Platform::Ipv4Address Raw(Socket::Address const& address)
{
    return *reinterpret_cast<Platform::Ipv4Address const*>(&address);
}

unsigned int SystemSocket(BoundUdp& udp) { return Socket::Param::GetHandle(udp.device.GetHandle()); }

// The process's threads come to `n` (receive threads start and end a
// moment after the calls that ask for it).
bool ThreadsSettleAt(unsigned int n)
{
    return WaitUntil([n] { return VorTest::ProcessThreadCount() == n; });
}

// No more than `n` datagrams arrive within a short while.
bool StaysAt(Sink const& sink, unsigned int n) { return !WaitUntil([&] { return sink.Count() > n; }, milliseconds(300)); }

} // namespace

TEST(UdpRecv, DeliversEachDatagramWithItsSender)
{
    BoundUdp receiving, sending;
    Sink sink;
    auto notify = MakeReceiver(2);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    EXPECT_EQ(notify->GetCount(), 1u);
    EXPECT_EQ(notify->GetEngineCount(), 1u);

    ASSERT_TRUE(SendTo(sending, receiving.address, "first"));
    ASSERT_TRUE(sink.WaitFor(1));
    ASSERT_TRUE(SendTo(sending, receiving.address, std::string(4096, 'x')));
    ASSERT_TRUE(sink.WaitFor(2));
    auto taken = sink.Taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].bytes, "first");
    EXPECT_EQ(taken[1].bytes, std::string(4096, 'x'));
    for (auto const& datagram : taken) {
        EXPECT_TRUE(datagram.hadAddress);
        EXPECT_EQ(datagram.from, sending.address);
    }
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetEngineCount(), 0u);
    EXPECT_EQ(notify->GetCount(), 0u);
}

TEST(UdpRecv, ZeroByteDatagramIsDeliveredEmptyAndAtOnce)
{
    BoundUdp receiving, sending;
    Sink sink;
    auto notify = MakeReceiver(1);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    auto started = Clock::now();
    ASSERT_EQ(Platform::SendToSocket(SystemSocket(sending), "", 0, 0, Raw(receiving.address)), 0);
    ASSERT_TRUE(SendTo(sending, receiving.address, "after"));
    ASSERT_TRUE(sink.WaitFor(2));
    // The one thread was not put to sleep by the empty datagram.
    EXPECT_LT(Clock::now() - started, milliseconds(800));
    auto taken = sink.Taken();
    EXPECT_EQ(taken[0].bytes, "");
    EXPECT_EQ(taken[0].from, sending.address);
    EXPECT_EQ(taken[1].bytes, "after");
    notify->UnInit(1000);
}

TEST(UdpRecv, BadDatagramsDoNotStallTheReceiver)
{
    BoundUdp receiving, sending, closed;
    Socket::Address gone = closed.address;
    ASSERT_TRUE(closed.device.GetHandle().Close());
    Sink sink;
    auto notify = MakeReceiver(1);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));

    // A datagram longer than a buffer takes, and a refusal reported on the
    // receiving socket for an earlier send of its own to a closed port.
    auto started = Clock::now();
    ASSERT_TRUE(SendTo(sending, receiving.address, std::string(5000, 'z')));
    ASSERT_TRUE(SendTo(receiving, gone, "to nobody"));
    ASSERT_TRUE(SendTo(sending, receiving.address, "good"));
    ASSERT_TRUE(sink.WaitFor(1));
    EXPECT_LT(Clock::now() - started, milliseconds(800));
    EXPECT_EQ(sink.Taken()[0].bytes, "good");
    EXPECT_TRUE(StaysAt(sink, 1));
    notify->UnInit(1000);
}

TEST(UdpRecv, WrongParameterIsReportedAndRefused)
{
    BoundUdp receiving;
    Sink sink;
    auto engine = MakeEngine();
    Notify::Param plain;
    std::vector<std::string> lines;
    {
        VorTest::StderrCapture capture;
        EXPECT_FALSE(engine->Attach(receiving.device.GetReadHandle(), sink.Callback(), plain));
        lines = capture.Lines();
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Udp recv can not cast attach param 0x[0-9a-f]+ to UdpRecvNotify::Param")))
        << lines[0];
    EXPECT_EQ(engine->GetState(), UdpRecv::IDLE);
    EXPECT_EQ(engine->GetThreadCount(), 0u);
    EXPECT_FALSE(engine->Attach(Io::WriteHandle(receiving.device.GetHandle()), sink.Callback(),
                                UdpRecvNotify::Param(1)));

    // Through a notify given a plain parameter: the notify keeps no engine.
    UdpRecvNotify* raw = new UdpRecvNotify;
    Core::Guard<UdpRecvNotify> notify(raw);
    raw->DecRef();
    ASSERT_TRUE(notify->Init(plain));
    {
        VorTest::StderrCapture capture;
        EXPECT_FALSE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    }
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
    EXPECT_EQ(engine->GetThreadCount(), 4u);
    EXPECT_TRUE(ThreadsSettleAt(before + 4));
    // Only an idle engine takes an attach.
    EXPECT_FALSE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(4)));

    ASSERT_TRUE(engine->Detach(socket));
    EXPECT_EQ(engine->GetState(), UdpRecv::IDLE);
    ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(4)));
    EXPECT_EQ(engine->GetThreadCount(), 4u);
    ASSERT_TRUE(engine->Detach(socket));
    ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(6)));
    EXPECT_EQ(engine->GetThreadCount(), 6u);
    EXPECT_TRUE(ThreadsSettleAt(before + 6));

    EXPECT_TRUE(engine->UnInit(1000));
    EXPECT_EQ(engine->GetThreadCount(), 0u);
    EXPECT_EQ(engine->GetState(), UdpRecv::STOPPED);
    EXPECT_TRUE(ThreadsSettleAt(before));
}

TEST(UdpRecv, PauseHoldsDeliveryUntilResume)
{
    BoundUdp receiving, sending;
    Sink sink;
    auto notify = MakeReceiver(3);
    ReadHandle socket = receiving.device.GetReadHandle();
    ASSERT_TRUE(notify->Attach(socket, sink.Callback()));
    ASSERT_TRUE(SendTo(sending, receiving.address, "one"));
    ASSERT_TRUE(sink.WaitFor(1));

    ASSERT_TRUE(notify->Pause(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "two"));
    EXPECT_TRUE(StaysAt(sink, 1));
    ASSERT_TRUE(notify->Resume(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "three"));
    // What waited in the socket while paused is not lost either.
    ASSERT_TRUE(sink.WaitFor(3));

    // A handle of another object changes nothing.
    BoundUdp other;
    EXPECT_FALSE(notify->Pause(other.device.GetReadHandle()));
    ASSERT_TRUE(notify->Detach(socket));
    EXPECT_FALSE(notify->Pause(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "four"));
    EXPECT_TRUE(StaysAt(sink, 3));
    EXPECT_TRUE(notify->UnInit(1000));
}

TEST(UdpRecv, ResumeAfterDetachReceivesAgain)
{
    BoundUdp receiving, sending;
    Sink sink;
    auto engine = MakeEngine();
    ReadHandle socket = receiving.device.GetReadHandle();
    ASSERT_TRUE(engine->Attach(socket, sink.Callback(), UdpRecvNotify::Param(2)));
    ASSERT_TRUE(engine->Detach(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "held"));
    EXPECT_TRUE(StaysAt(sink, 0));
    ASSERT_TRUE(engine->Resume(socket));
    EXPECT_EQ(engine->GetState(), UdpRecv::RUNNING);
    ASSERT_TRUE(sink.WaitFor(1));
    EXPECT_EQ(sink.Taken()[0].bytes, "held");
    EXPECT_TRUE(engine->UnInit(1000));
    // A stopped engine takes no more orders.
    EXPECT_FALSE(engine->Resume(socket));
}

TEST(UdpRecv, UnInitWithoutTimeOutEndsBlockedReaders)
{
    BoundUdp receiving;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
    EXPECT_TRUE(ThreadsSettleAt(before + 4));
    auto started = Clock::now();
    EXPECT_TRUE(notify->UnInit(0));
    // Woken, not killed: they end well within the grace a woken thread gets.
    EXPECT_LT(Clock::now() - started, milliseconds(900));
    EXPECT_TRUE(ThreadsSettleAt(before));
}

TEST(UdpRecv, CallbackMayStopItsOwnReceiver)
{
    BoundUdp receiving, sending;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(2);
    std::atomic<int> result{-1};
    struct Stopper {
        UdpRecvNotify* notify;
        std::atomic<int>* result;
        void OnDatagram(ReadHandle) { result->store(notify->UnInit(0) ? 1 : 0); }
    } stopper{notify.Raw(), &result};
    Core::CallBack callback;
    callback.Bind(&stopper, &Stopper::OnDatagram);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), callback));
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
    std::vector<std::string> lines;
    {
        VorTest::StderrCapture capture;
        Basic::Internal::g_FailMemAllocations = 1;
        ASSERT_TRUE(SendTo(sending, receiving.address, "late"));
        EXPECT_TRUE(sink.WaitFor(1));
        // The one reader is still there after its failure.
        ASSERT_TRUE(SendTo(sending, receiving.address, "later"));
        EXPECT_TRUE(sink.WaitFor(2));
        EXPECT_EQ(Basic::Internal::g_FailMemAllocations.exchange(0), 0);
        lines = capture.Lines();
    }
    EXPECT_EQ(lines, std::vector<std::string>{"Get udp recv buffer error"});
    ASSERT_EQ(sink.Count(), 2u);
    EXPECT_EQ(sink.Taken()[0].bytes, "late");
    EXPECT_EQ(sink.Taken()[1].bytes, "later");
    notify->UnInit(1000);
}

TEST(UdpRecv, SecondAttachOfOneSocketLeavesNoStrayReceiver)
{
    BoundUdp receiving, sending;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(2);
    ReadHandle socket = receiving.device.GetReadHandle();
    ASSERT_TRUE(notify->Attach(socket, sink.Callback()));
    EXPECT_FALSE(notify->Attach(socket, sink.Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 1u);
    EXPECT_TRUE(ThreadsSettleAt(before + 2));
    // Detaching stops every reader of the socket.
    ASSERT_TRUE(notify->Detach(socket));
    ASSERT_TRUE(SendTo(sending, receiving.address, "nobody"));
    EXPECT_TRUE(StaysAt(sink, 0));
    notify->UnInit(1000);
}

TEST(UdpRecv, DetachedEngineServesTheNextSocket)
{
    BoundUdp first, second, sending;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    auto notify = MakeReceiver(3);
    ASSERT_TRUE(notify->Attach(first.device.GetReadHandle(), sink.Callback()));
    ASSERT_TRUE(notify->Detach(first.device.GetReadHandle()));
    ASSERT_TRUE(notify->Attach(second.device.GetReadHandle(), sink.Callback()));
    EXPECT_EQ(notify->GetEngineCount(), 1u);
    EXPECT_TRUE(ThreadsSettleAt(before + 3));
    ASSERT_TRUE(SendTo(sending, second.address, "second"));
    ASSERT_TRUE(sink.WaitFor(1));
    ASSERT_TRUE(SendTo(sending, first.address, "first"));
    EXPECT_TRUE(StaysAt(sink, 1));
    EXPECT_EQ(sink.Taken()[0].bytes, "second");
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_TRUE(ThreadsSettleAt(before));
}

TEST(UdpRecv, NotifyReleasedWithoutUnInitStopsItsThreads)
{
    BoundUdp receiving;
    Sink sink;
    unsigned int before = VorTest::SettledThreadCount();
    {
        auto notify = MakeReceiver(2);
        ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));
        EXPECT_TRUE(ThreadsSettleAt(before + 2));
    }
    EXPECT_TRUE(ThreadsSettleAt(before));
}

// Every datagram of a flood of random lengths arrives once and intact.
TEST(UdpRecv, FloodOfRandomLengthsArrivesIntact)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr unsigned int TOTAL = 10000;
#else
    constexpr unsigned int TOTAL = 100000;
#endif
    // Sent no further ahead of delivery than the socket buffer holds.
    constexpr unsigned int WINDOW = 48;

    BoundUdp receiving, sending;
    Sink sink;
    std::vector<std::atomic<unsigned char>> seen(TOTAL);
    std::atomic<unsigned int> bad{0};
    // Byte i of datagram n is (n * 31 + i) & 0xFF after a 4-byte sequence
    // number, so any byte in the wrong place shows.
    auto fill = [](unsigned int n, std::size_t length) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<char>((n * 31 + i) & 0xFF);
        for (std::size_t i = 0; i < 4 && i < length; ++i)
            bytes[i] = static_cast<char>(n >> (8 * i));
        return bytes;
    };
    std::vector<unsigned short> lengths(TOTAL);
    std::mt19937 random(12345);
    for (auto& length : lengths)
        length = static_cast<unsigned short>(4 + random() % 4093); // 4 .. 4096
    lengths[0] = 1;
    lengths[1] = 4096;

    sink.check = [&](std::string const& bytes) {
        if (bytes.size() < 4) {
            // Only the first datagram is that short; its byte is its number.
            if (bytes.size() != 1 || bytes[0] != 0 || seen[0].exchange(1) != 0)
                ++bad;
            return;
        }
        unsigned int n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
        if (n >= TOTAL || bytes.size() != lengths[n] || bytes != fill(n, lengths[n]) || seen[n].exchange(1) != 0)
            ++bad;
    };
    auto notify = MakeReceiver(4);
    ASSERT_TRUE(notify->Attach(receiving.device.GetReadHandle(), sink.Callback()));

    Socket::Param to(receiving.address);
    for (unsigned int n = 0; n < TOTAL; ++n) {
        if (n >= WINDOW)
            ASSERT_TRUE(sink.SpinFor(n - WINDOW + 1)) << "stalled after " << sink.Count();
        std::string bytes = fill(n, lengths[n]);
        ASSERT_TRUE(sending.device.GetHandle().Write(bytes.data(), static_cast<unsigned int>(bytes.size()), to));
    }
    ASSERT_TRUE(sink.WaitFor(TOTAL, milliseconds(20000)));
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(sink.Count(), TOTAL);
    unsigned int missing = 0;
    for (auto const& flag : seen)
        missing += flag.load() == 0;
    EXPECT_EQ(missing, 0u);
}
