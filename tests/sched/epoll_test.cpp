// The readiness contract, typed over both engines: everything a socket group
// relies on holds for SelectNotify and for EpollNotify alike. The epoll
// engine's scale (thousands of sockets on one notify) is tested last.
#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/sched/epoll.h>
#include <vor/sched/select.h>

#include "platform/poller.h"
#include "platform/socket.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/net.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace Vor;
using Io::IoHandle;
using Io::IoParam;
using Io::ReadHandle;
using Io::Socket;
using Io::WriteHandle;
using VorTest::Recorder;
using VorTest::TcpConnection;

namespace {

unsigned int SocketOf(Io::IoBase const& handle) { return Socket::Param::GetHandle(handle); }

bool Quiet(Recorder const& recorder, unsigned int count, unsigned int ms = 300)
{
    return !VorTest::WaitUntil([&] { return recorder.Count() > count; }, std::chrono::milliseconds(ms));
}

unsigned int SelectEngineCount() { return Sched::CommonSelect<unsigned int, -1>::GetEngineCount(); }

struct PeriodHook {
    explicit PeriodHook(unsigned int ms) : saved(Sched::Internal::g_IdleCheckPeriod.load())
    {
        Sched::Internal::g_IdleCheckPeriod = ms;
    }
    ~PeriodHook() { Sched::Internal::g_IdleCheckPeriod = saved; }
    unsigned int saved;
};

template <class Kind>
class ReadinessEngine : public ::testing::Test {
protected:
    using NotifyType = typename Kind::Notify;
    using EngineType = typename Kind::Engine;

    static Core::Guard<NotifyType> MakeNotify(unsigned int idle = Sched::Notify::Param::NO_IDLE)
    {
        return VorTest::MakeNotifyOf<NotifyType>(idle);
    }
    static Core::Guard<EngineType> MakeEngine()
    {
        EngineType* engine = new EngineType;
        Core::Guard<EngineType> counted(engine);
        engine->DecRef();
        EXPECT_TRUE(counted->Init());
        return counted;
    }
};

using Kinds = ::testing::Types<VorTest::SelectKind, VorTest::EpollKind>;
TYPED_TEST_SUITE(ReadinessEngine, Kinds, VorTest::EngineName);

} // namespace

TYPED_TEST(ReadinessEngine, ReportsReadableOnTheEngineThreadWithItsAttributes)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto notify = this->MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    EXPECT_EQ(notify->GetCount(), 1u);
    ASSERT_TRUE(c.client.GetHandle().Write("ping", 4));
    ASSERT_TRUE(recorder.WaitFor(1));
    Recorder::Entry first = recorder.Entries()[0];
    EXPECT_TRUE(first.read);
    EXPECT_TRUE(first.readable);
    EXPECT_FALSE(first.except);
    EXPECT_FALSE(first.idle);
    EXPECT_NE(first.thread, Core::Thread::GetID());
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetCount(), 0u);
}

TYPED_TEST(ReadinessEngine, WriteAttachReportsWritableWithWriteHandle)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto notify = this->MakeNotify();
    recorder.then = [&](Io::IoBase& handle) { notify->Pause(handle); };
    ASSERT_TRUE(notify->Attach(WriteHandle(c.server), recorder.Writes()));
    ASSERT_TRUE(recorder.WaitFor(1));
    Recorder::Entry first = recorder.Entries()[0];
    EXPECT_FALSE(first.read);
    EXPECT_TRUE(first.writable);
    EXPECT_FALSE(first.except);
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, SecondAttachWidensTheMaskAndKeepsTheFirstCallback)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder reads, writes;
    auto notify = this->MakeNotify();
    std::atomic<unsigned int> paused{0};
    reads.then = [&](Io::IoBase& handle) {
        if (notify->Pause(handle))
            ++paused;
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), reads.Reads()));
    // Recorded once; the engine widens what it watches.
    EXPECT_FALSE(notify->Attach(WriteHandle(c.server), writes.Writes()));
    EXPECT_EQ(notify->GetCount(), 1u);
    // Writable at once: reported through the first callback, which takes
    // ReadHandles only, with WRITABLE set and READABLE clear.
    ASSERT_TRUE(VorTest::WaitUntil([&] { return paused.load() == 1; }));
    Recorder::Entry first = reads.Entries()[0];
    EXPECT_TRUE(first.read);
    EXPECT_TRUE(first.writable);
    EXPECT_FALSE(first.readable);
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(notify->Resume(c.server));
    ASSERT_TRUE(VorTest::WaitUntil([&] {
        auto entries = reads.Entries();
        return entries.back().readable && entries.back().writable;
    }));
    EXPECT_EQ(writes.Count(), 0u);
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, SocketStillReadableAfterResumeIsReportedAgain)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false; // the byte stays unread
    auto notify = this->MakeNotify();
    std::atomic<unsigned int> paused{0};
    recorder.then = [&](Io::IoBase& handle) {
        if (notify->Pause(handle))
            ++paused;
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return paused.load() == 1; }));
    EXPECT_TRUE(Quiet(recorder, 1)); // paused: not reported
    for (unsigned int round = 2; round <= 20; ++round) {
        ASSERT_TRUE(notify->Resume(c.server));
        ASSERT_TRUE(VorTest::WaitUntil([&] { return paused.load() == round; }, std::chrono::milliseconds(3000)))
            << "round " << round;
        EXPECT_TRUE(recorder.Entries().back().readable);
    }
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, SocketLeftReadyWithoutPauseIsReportedAgain)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto notify = this->MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(recorder.WaitFor(3));
    ASSERT_TRUE(notify->Detach(c.server));
    // A report in flight during the detach may still finish; then nothing.
    VorTest::WaitUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(Quiet(recorder, recorder.Count()));
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, PausedSocketIsNotReportedUntilResumed)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    recorder.drain = false;
    auto notify = this->MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(notify->Pause(c.server));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    EXPECT_TRUE(Quiet(recorder, 0));
    ASSERT_TRUE(notify->Resume(c.server));
    EXPECT_TRUE(recorder.WaitFor(1, 3000));
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, MisusedPauseResumeAndDetachAreReported)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    auto engine = this->MakeEngine();
    std::string n = std::to_string(SocketOf(c.server));
    VorTest::StderrCapture capture;
    EXPECT_FALSE(engine->Pause(c.server));
    EXPECT_FALSE(engine->Resume(c.server));
    EXPECT_FALSE(engine->Detach(c.server));
    ASSERT_TRUE(engine->Attach(ReadHandle(c.server), recorder.Reads(), Sched::Notify::Param()));
    EXPECT_TRUE(engine->Pause(c.server));
    EXPECT_FALSE(engine->Pause(c.server));
    EXPECT_TRUE(engine->Resume(c.server));
    EXPECT_FALSE(engine->Resume(c.server));
    EXPECT_TRUE(engine->Detach(c.server));
    IoHandle empty;
    EXPECT_FALSE(engine->Pause(empty));
    EXPECT_FALSE(engine->Resume(empty));
    EXPECT_FALSE(engine->Detach(empty));
    EXPECT_FALSE(engine->Attach(ReadHandle(empty), recorder.Reads(), Sched::Notify::Param()));
    capture.Stop();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Pause handle " + n + " is not in selecting list");
    EXPECT_EQ(lines[1], "Resume handle " + n + " is not in pausing list");
    EXPECT_EQ(lines[2], "Detach handle " + n + " neither in selecting list nor in pausing list");
    EXPECT_EQ(lines[3], "Pause handle " + n + " is not in selecting list");
    EXPECT_EQ(lines[4], "Resume handle " + n + " is not in pausing list");
    EXPECT_EQ(lines[5], "Pause an invalid handle");
    EXPECT_EQ(lines[6], "Resume an invalid handle");
    EXPECT_EQ(lines[7], "Detach an invalid handle");
    EXPECT_TRUE(std::regex_match(lines[8], std::regex("Attach handle 4294967295 error at step 1, error code \\d+")))
        << lines[8];
    engine->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, NotifyRefusesHandlesItNeverRecorded)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = this->MakeNotify();
    VorTest::StderrCapture capture;
    EXPECT_FALSE(notify->Pause(c.server));
    EXPECT_FALSE(notify->Resume(c.server));
    EXPECT_FALSE(notify->Detach(c.server));
    capture.Stop();
    EXPECT_TRUE(capture.Lines().empty());
    Recorder recorder;
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(notify->Detach(c.server));
    EXPECT_FALSE(notify->Pause(c.server));
    EXPECT_EQ(notify->GetCount(), 0u);
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, UnInitStopsReportsAndEmptiesTheNotify)
{
    TcpConnection a, b;
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    unsigned int before = VorTest::SettledThreadCount();
    Recorder recorder;
    auto notify = this->MakeNotify();
    ASSERT_TRUE(notify->Attach(ReadHandle(a.server), recorder.Reads()));
    ASSERT_TRUE(notify->Attach(ReadHandle(b.server), recorder.Reads()));
    EXPECT_EQ(notify->GetCount(), 2u);
    EXPECT_EQ(TypeParam::Notify::GetEngineCount(), 1u);
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetCount(), 0u);
    EXPECT_EQ(TypeParam::Notify::GetEngineCount(), 0u);
    ASSERT_TRUE(a.client.GetHandle().Write("x", 1));
    EXPECT_TRUE(Quiet(recorder, 0));
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= before; }));
}

TYPED_TEST(ReadinessEngine, UnInitFromItsOwnCallbackDoesNotWaitForItself)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = this->MakeNotify();
    Recorder recorder;
    std::atomic<std::uint64_t> took{~0ull};
    recorder.then = [&](Io::IoBase&) {
        auto start = std::chrono::steady_clock::now();
        notify->UnInit(5000);
        took = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    ASSERT_TRUE(c.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return took.load() != ~0ull; }));
    EXPECT_LT(took.load(), 1000u);
    EXPECT_EQ(recorder.Count(), 1u);
}

TYPED_TEST(ReadinessEngine, PingPongFromTheCallback)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = this->MakeNotify();
    Recorder recorder;
    recorder.echo = true;
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    for (unsigned int i = 0; i < 200; ++i) {
        ASSERT_TRUE(c.client.GetHandle().WriteUInt32(i));
        ASSERT_EQ(c.client.GetHandle().ReadUInt32(~0u), i);
    }
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, ReusedDescriptorNumberNeverReachesTheOldRecord)
{
    Recorder old;
    old.drain = false;
    auto notify = this->MakeNotify();
    TcpConnection first;
    ASSERT_TRUE(first.IsValid());
    ASSERT_TRUE(notify->Attach(ReadHandle(first.server), old.Reads()));
    ASSERT_TRUE(notify->Pause(first.server));
    unsigned int number = SocketOf(first.server);
    VorTest::SocketListener listener;
    Socket client;
    ASSERT_TRUE(client.Open(Socket::SOCKET_TCP, 2, 0));
    ASSERT_TRUE(client.Connect(Socket::Param(listener.address)));
    Core::Guard<Io::IoObject> object = first.server.GetObject();
    ASSERT_TRUE(object->Close()); // closed behind the engine's back

    IoHandle reused = Socket::Accept(listener.device.GetReadHandle());
    ASSERT_TRUE(reused.IsValid());
    ASSERT_EQ(SocketOf(reused), number);
    Recorder fresh;
    ASSERT_TRUE(notify->Attach(ReadHandle(reused), fresh.Reads()));
    // Resuming and detaching the old record must leave the socket that has
    // its number alone.
    VorTest::StderrCapture capture; // the old object has no socket now
    notify->Resume(first.server);
    capture.Stop();
    ASSERT_TRUE(client.GetHandle().Write("y", 1));
    ASSERT_TRUE(fresh.WaitFor(1));
    EXPECT_TRUE(notify->Detach(first.server));
    ASSERT_TRUE(client.GetHandle().Write("z", 1));
    ASSERT_TRUE(fresh.WaitFor(2));
    for (auto const& entry : old.Entries())
        EXPECT_FALSE(entry.readable);
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, IdleReportsOnlyWatchedSocketsAndResumeRearms)
{
    if (std::is_same<typename TypeParam::Notify, Sched::SelectNotify>::value) {
        ASSERT_EQ(SelectEngineCount(), 0u); // checker starts with the period
    }
    PeriodHook period(40);
    TcpConnection watched, paused, detached;
    ASSERT_TRUE(watched.IsValid() && paused.IsValid() && detached.IsValid());
    auto notify = this->MakeNotify(80); // two periods
    Recorder onWatched, onPaused, onDetached;
    ASSERT_TRUE(notify->Attach(ReadHandle(watched.server), onWatched.Reads()));
    ASSERT_TRUE(notify->Attach(ReadHandle(paused.server), onPaused.Reads()));
    ASSERT_TRUE(notify->Attach(ReadHandle(detached.server), onDetached.Reads()));
    ASSERT_TRUE(notify->Pause(paused.server));
    ASSERT_TRUE(notify->Detach(detached.server));
    ASSERT_TRUE(onWatched.WaitFor(2, 5000));
    Recorder::Entry idle = onWatched.Entries()[0];
    EXPECT_TRUE(idle.idle);
    EXPECT_FALSE(idle.readable);
    EXPECT_EQ(onPaused.Count(), 0u);
    EXPECT_EQ(onDetached.Count(), 0u);
    // Traffic is reported as such between the idle reports.
    ASSERT_TRUE(watched.client.GetHandle().Write("x", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] {
        for (auto const& entry : onWatched.Entries())
            if (entry.readable)
                return true;
        return false;
    }));
    ASSERT_TRUE(notify->Resume(paused.server));
    EXPECT_TRUE(onPaused.WaitFor(1, 5000));
    EXPECT_TRUE(onPaused.Entries()[0].idle);
    notify->UnInit(1000);
}

TYPED_TEST(ReadinessEngine, AttachDetachAndCloseChurnAcrossThreads)
{
    auto notify = this->MakeNotify();
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    std::atomic<unsigned int> reports{0};
    std::atomic<bool> failed{false};
    constexpr unsigned int kThreads = 4, kRounds = 60;
    // Recorders and sockets closed by their peers outlive the notify: a
    // report that began before a detach may still be running on them.
    std::vector<std::unique_ptr<Recorder>> recorders[kThreads];
    std::vector<std::unique_ptr<TcpConnection>> connections[kThreads];
    auto worker = [&](unsigned int t) {
        for (unsigned int i = 0; i < kRounds && !failed.load(); ++i) {
            connections[t].push_back(std::make_unique<TcpConnection>());
            TcpConnection& c = *connections[t].back();
            recorders[t].push_back(std::make_unique<Recorder>());
            Recorder& recorder = *recorders[t].back();
            if (!c.IsValid()) {
                failed = true;
                return;
            }
            recorder.echo = true;
            recorder.then = [&](Io::IoBase&) { ++reports; };
            if (!notify->Attach(ReadHandle(c.server), recorder.Reads())) {
                failed = true;
                return;
            }
            c.client.GetHandle().WriteUInt32(i);
            if (i % 3 == 0) {
                notify->Pause(c.server);
                notify->Resume(c.server);
            }
            if (c.client.GetHandle().ReadUInt32(~0u) != i)
                failed = true;
            // The peer closes while the socket is watched: an end-of-stream
            // (or hang-up) report races with the detach.
            c.client.GetHandle().GetObject()->Close();
            if (!notify->Detach(c.server))
                failed = true;
            if (notify->Detach(c.server))
                failed = true; // detached once only
        }
    };
    std::vector<std::thread> threads;
    for (unsigned int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker, t);
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed.load());
    EXPECT_GE(reports.load(), kThreads * kRounds);
    EXPECT_EQ(notify->GetCount(), 0u);
    notify->UnInit(1000);
    for (auto& list : connections)
        list.clear();
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::OpenDescriptorCount() <= descriptors; }));
}

namespace {

// The server side of an echo: answers what it reads and, at the end of the
// stream, detaches and closes the socket.
struct EchoServer {
    Core::Guard<Sched::EpollNotify> notify;
    std::atomic<unsigned int> echoed{0};
    std::atomic<unsigned int> closed{0};

    Core::CallBack Reads()
    {
        Core::CallBack callback;
        callback.Bind(this, &EchoServer::OnRead);
        return callback;
    }

    void OnRead(Io::ReadHandle handle)
    {
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(handle.GetObject().Raw());
        char buffer[256];
        unsigned int got = io->ReadOnce(buffer, sizeof(buffer), 0);
        if (got == Io::IoObject::FAILED || got == 0) {
            notify->Detach(handle);
            io->Close();
            ++closed;
            return;
        }
        if (io->WriteAll(buffer, got, 0) == got)
            ++echoed;
    }
};

// Reads exactly n bytes within a bound.
bool ReceiveAll(Platform::SocketHandle socket, char* data, unsigned int n)
{
    unsigned int have = 0;
    while (have < n) {
        Platform::PollEntry entry{socket, Platform::kPollRead, 0};
        if (Platform::Poll(&entry, 1, 5000) <= 0)
            return false;
        std::int64_t got = Platform::ReceiveSocket(socket, data + have, n - have, 0);
        if (got <= 0)
            return false;
        have += static_cast<unsigned int>(got);
    }
    return true;
}

} // namespace

TEST(EpollNotify, FiveThousandConnectionsOnOneNotifyLeaveNoDescriptorBehind)
{
    constexpr unsigned int kConnections = 5000;
    constexpr unsigned int kNeeded = 2 * kConnections + 256;
    unsigned int limit = VorTest::RaiseDescriptorLimit(kNeeded);
    if (limit < kNeeded)
        GTEST_SKIP() << "needs " << kNeeded << " open descriptors; the hard limit allows " << limit;
    unsigned int before = VorTest::OpenDescriptorCount();
    {
        EchoServer server;
        server.notify = VorTest::MakeNotifyOf<Sched::EpollNotify>();
        VorTest::SocketListener listener;
        ASSERT_TRUE(listener.device.GetHandle().IsValid());
        Platform::Ipv4Address address = VorTest::LoopbackAddress(listener.address.Port());
        std::vector<Platform::SocketHandle> clients;
        std::vector<IoHandle> accepted;
        clients.reserve(kConnections);
        accepted.reserve(kConnections);
        for (unsigned int i = 0; i < kConnections; ++i) {
            Platform::SocketHandle client = Platform::OpenSocket(2, Platform::SocketKind::Stream, 0);
            ASSERT_NE(client, Platform::kInvalidSocket) << "connection " << i;
            clients.push_back(client);
            ASSERT_TRUE(Platform::ConnectSocket(client, address, 5000)) << "connection " << i;
            IoHandle connection = Socket::Accept(listener.device.GetReadHandle());
            ASSERT_TRUE(connection.IsValid()) << "connection " << i;
            ASSERT_TRUE(server.notify->Attach(ReadHandle(connection), server.Reads())) << "connection " << i;
            accepted.push_back(connection);
        }
        EXPECT_EQ(server.notify->GetCount(), kConnections);
        EXPECT_EQ(Sched::EpollNotify::GetEngineCount(), 1u);

        // Every connection sends a 64-byte message, then reads it back.
        char message[64];
        std::memset(message, 'm', sizeof(message));
        for (unsigned int i = 0; i < kConnections; ++i) {
            std::memcpy(message, &i, sizeof(i));
            ASSERT_EQ(Platform::SendSocket(clients[i], message, sizeof(message), 0), 64) << "connection " << i;
        }
        for (unsigned int i = 0; i < kConnections; ++i) {
            char back[64];
            ASSERT_TRUE(ReceiveAll(clients[i], back, sizeof(back))) << "connection " << i;
            unsigned int id;
            std::memcpy(&id, back, sizeof(id));
            ASSERT_EQ(id, i);
        }
        // Each client closes; the server sees the end, detaches and closes.
        for (auto client : clients)
            ASSERT_TRUE(Platform::CloseSocket(client));
        EXPECT_TRUE(VorTest::WaitUntil([&] { return server.closed.load() == kConnections; }));
        EXPECT_EQ(server.notify->GetCount(), 0u);
        accepted.clear();
        server.notify->UnInit(1000);
        server.notify.Clear();
    }
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::OpenDescriptorCount() <= before; }))
        << VorTest::OpenDescriptorCount() << " open, " << before << " before";
}
