#include <vor/core/thread.h>
#include <vor/io/memory.h>
#include <vor/io/socket.h>
#include <vor/sched/notify.h>
#include <vor/sched/select.h>

#include "platform/clock.h"
#include "sched/internal/selecthooks.h"
#include "support/capture.h"
#include "support/notify.h"
#include "support/sockets.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

using namespace Vor;
using Io::IoHandle;
using Io::ReadHandle;
using Io::Socket;
using Io::WriteHandle;
using Sched::Notify;
using Sched::SelectNotify;
using VorTest::BoundUdp;
using VorTest::MakeNotify;
using VorTest::ProbeNotify;
using VorTest::Recorder;
using VorTest::TcpConnection;

namespace {

unsigned int Engines() { return SelectNotify::GetEngineCount(); }

std::vector<std::string> StepTwoLines(std::vector<std::string> const& lines)
{
    std::vector<std::string> found;
    for (auto const& line : lines) {
        if (std::regex_match(line, std::regex("Attach handle \\d+ error at step 2, error code \\d+")))
            found.push_back(line);
    }
    return found;
}

} // namespace

TEST(Notify, SixtyFourthSocketStartsASecondEngine)
{
    unsigned int threads = VorTest::SettledThreadCount();
    std::vector<BoundUdp> sockets(64);
    Recorder recorder;
    auto notify = MakeNotify();
    for (unsigned int i = 0; i < 63; ++i)
        ASSERT_TRUE(notify->Attach(ReadHandle(sockets[i].device.GetHandle()), recorder.Reads()));
    EXPECT_EQ(Engines(), 1u);
    // The selecting thread and the idle checker.
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() == threads + 2; }));
    VorTest::StderrCapture capture;
    ASSERT_TRUE(notify->Attach(ReadHandle(sockets[63].device.GetHandle()), recorder.Reads()));
    capture.Stop();
    EXPECT_EQ(StepTwoLines(capture.Lines()).size(), 1u); // the full engine refused first
    EXPECT_EQ(Engines(), 2u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() == threads + 3; }));
    EXPECT_EQ(notify->GetCount(), 64u);
    EXPECT_NE(notify->EngineOf(sockets[0].device.GetHandle()), notify->EngineOf(sockets[63].device.GetHandle()));

    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_EQ(notify->GetCount(), 0u);
    EXPECT_EQ(Engines(), 0u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TEST(Notify, NeverAttachedHandlesAreRefusedWithoutAMessage)
{
    BoundUdp udp;
    auto notify = MakeNotify();
    VorTest::StderrCapture capture;
    EXPECT_FALSE(notify->Detach(udp.device.GetHandle()));
    EXPECT_FALSE(notify->Pause(udp.device.GetHandle()));
    EXPECT_FALSE(notify->Resume(udp.device.GetHandle()));
    capture.Stop();
    EXPECT_TRUE(capture.Lines().empty());
    notify->UnInit(1000);
}

TEST(Notify, SecondAttachOfOneObjectReturnsFalseAndWidensTheWatch)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    auto notify = MakeNotify();
    Recorder recorder;
    ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    EXPECT_FALSE(notify->Attach(WriteHandle(c.server), recorder.Writes()));
    EXPECT_EQ(notify->GetCount(), 1u);
    EXPECT_EQ(notify->EngineOf(c.server)->GetSocketCount(), 1u);
    EXPECT_TRUE(notify->Detach(c.server));
    EXPECT_FALSE(notify->Pause(c.server));
    notify->UnInit(1000);
}

TEST(Notify, SecondAttachStaysInTheRecordedEngine)
{
    // The object lives in the second engine; when the first gets room again,
    // a second attach must not put it there too.
    std::vector<BoundUdp> sockets(64);
    Recorder recorder;
    auto notify = MakeNotify();
    VorTest::StderrCapture capture; // the refusals of the full engine
    for (auto& s : sockets)
        ASSERT_TRUE(notify->Attach(ReadHandle(s.device.GetHandle()), recorder.Reads()));
    IoHandle& last = sockets[63].device.GetHandle();
    Sched::PosixSelect* second = notify->EngineOf(last);
    Sched::PosixSelect* first = notify->EngineOf(sockets[0].device.GetHandle());
    ASSERT_NE(first, second);
    ASSERT_TRUE(notify->Detach(sockets[0].device.GetHandle()));
    EXPECT_FALSE(notify->Attach(WriteHandle(last), recorder.Writes()));
    EXPECT_EQ(first->GetSocketCount(), 62u);
    EXPECT_EQ(second->GetSocketCount(), 1u);
    EXPECT_EQ(notify->EngineOf(last), second);
    notify->UnInit(1000);
}

TEST(Notify, AttachNeedsAnInitialisedNotifyAndASocket)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    Recorder recorder;
    Core::Guard<SelectNotify> fresh(new SelectNotify);
    fresh->DecRef();
    EXPECT_FALSE(fresh->Attach(ReadHandle(c.server), recorder.Reads()));
    EXPECT_EQ(Engines(), 0u);

    auto notify = MakeNotify();
    Io::Memory memory;
    ASSERT_TRUE(memory.Open(Io::Memory::MEM_SEQUENTIAL, 16));
    VorTest::StderrCapture capture;
    EXPECT_FALSE(notify->Attach(ReadHandle(memory.GetHandle()), recorder.Reads()));
    EXPECT_FALSE(notify->Attach(ReadHandle(IoHandle()), recorder.Reads()));
    capture.Stop();
    EXPECT_EQ(Engines(), 0u); // refused up front: no engine made for them
    EXPECT_TRUE(notify->UnInit(1000));
    EXPECT_FALSE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
    EXPECT_EQ(Engines(), 0u);
}

TEST(Notify, TwoNotifiesShareEnginesUntilTheLastGoes)
{
    TcpConnection a, b;
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    unsigned int threads = VorTest::SettledThreadCount();
    auto one = MakeNotify();
    auto two = MakeNotify();
    EXPECT_EQ(SelectNotify::GetTypeCount(), 2u);
    Recorder onA, onB;
    ASSERT_TRUE(one->Attach(ReadHandle(a.server), onA.Reads()));
    ASSERT_TRUE(two->Attach(ReadHandle(b.server), onB.Reads()));
    EXPECT_EQ(Engines(), 1u);
    EXPECT_EQ(one->EngineOf(a.server), two->EngineOf(b.server));

    EXPECT_TRUE(one->UnInit(1000));
    EXPECT_EQ(Engines(), 1u);
    ASSERT_TRUE(b.client.GetHandle().Write("b", 1));
    EXPECT_TRUE(onB.WaitFor(1));

    EXPECT_TRUE(two->UnInit(1000));
    EXPECT_EQ(Engines(), 0u);
    EXPECT_EQ(SelectNotify::GetTypeCount(), 0u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TEST(Notify, RepeatedUnInitCountsEachNotifyOnce)
{
    TcpConnection b;
    ASSERT_TRUE(b.IsValid());
    auto one = MakeNotify();
    auto two = MakeNotify();
    Recorder onB;
    ASSERT_TRUE(two->Attach(ReadHandle(b.server), onB.Reads()));
    // One notify shared by two owners is uninitialised twice.
    EXPECT_TRUE(one->UnInit(1000));
    EXPECT_TRUE(one->UnInit(1000));
    EXPECT_EQ(SelectNotify::GetTypeCount(), 1u);
    EXPECT_EQ(Engines(), 1u);
    ASSERT_TRUE(b.client.GetHandle().Write("b", 1));
    EXPECT_TRUE(onB.WaitFor(1));
    EXPECT_TRUE(two->UnInit(1000));
    EXPECT_EQ(SelectNotify::GetTypeCount(), 0u);
    EXPECT_EQ(Engines(), 0u);
}

TEST(Notify, DestroyedWithoutUnInitStopsItsEngines)
{
    TcpConnection c;
    ASSERT_TRUE(c.IsValid());
    unsigned int threads = VorTest::SettledThreadCount();
    Recorder recorder;
    {
        auto notify = MakeNotify();
        ASSERT_TRUE(notify->Attach(ReadHandle(c.server), recorder.Reads()));
        EXPECT_EQ(Engines(), 1u);
    }
    EXPECT_EQ(SelectNotify::GetTypeCount(), 0u);
    EXPECT_EQ(Engines(), 0u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TEST(Notify, CallbackThatAttachesDuringTheLastUnInitDoesNotDeadlock)
{
    TcpConnection a, b;
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    auto notify = MakeNotify();
    Core::Guard<ProbeNotify> other;
    std::atomic<bool> inCallback{false}, unInitStarted{false}, attached{false};
    Recorder recorder, late;
    recorder.then = [&](Io::IoBase&) {
        if (inCallback.exchange(true))
            return;
        VorTest::WaitUntil([&] { return unInitStarted.load(); });
        other = MakeNotify(); // initialises and attaches on the selecting thread
        attached = other->Attach(ReadHandle(b.server), late.Reads());
    };
    ASSERT_TRUE(notify->Attach(ReadHandle(a.server), recorder.Reads()));
    ASSERT_TRUE(a.client.GetHandle().Write("a", 1));
    ASSERT_TRUE(VorTest::WaitUntil([&] { return inCallback.load(); }));
    std::uint64_t start = Platform::MonotonicMs();
    unInitStarted = true;
    EXPECT_TRUE(notify->UnInit(5000));
    EXPECT_LT(Platform::MonotonicMs() - start, 2000u);
    EXPECT_TRUE(attached.load());
    ASSERT_TRUE(b.client.GetHandle().Write("b", 1));
    EXPECT_TRUE(late.WaitFor(1));
    other->UnInit(1000);
    EXPECT_EQ(Engines(), 0u);
}

TEST(Notify, AttachDetachAndCloseCyclesAcrossThreadsLeakNothing)
{
    auto notify = MakeNotify();
    // Warm up: the first engine and the idle checker.
    BoundUdp warm;
    // Reports only note what they see: a callback in flight may still run
    // after Detach, and must not touch a socket its owner is closing.
    Recorder recorder;
    recorder.drain = false;
    ASSERT_TRUE(notify->Attach(ReadHandle(warm.device.GetHandle()), recorder.Reads()));
    unsigned int descriptors = VorTest::OpenDescriptorCount();
    std::atomic<unsigned int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                Socket udp;
                if (!udp.Open(Socket::SOCKET_UDP, 2, 0) || !udp.Bind(Socket::Address("127.0.0.1", 0))) {
                    ++failures;
                    continue;
                }
                if (!notify->Attach(ReadHandle(udp.GetHandle()), recorder.Reads()))
                    ++failures;
                Socket::Param to(Socket::GetAddress(udp.GetHandle(), Socket::Param::LOCAL_ADDR));
                udp.GetHandle().Write("x", 1, to);
                if (i % 3 == 0 && !notify->Pause(udp.GetHandle()))
                    ++failures;
                if (!notify->Detach(udp.GetHandle()))
                    ++failures;
                if (!udp.GetHandle().Close())
                    ++failures;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(notify->GetCount(), 1u);
    EXPECT_EQ(VorTest::OpenDescriptorCount(), descriptors);
    notify->UnInit(1000);
    EXPECT_EQ(Engines(), 0u);
}

TEST(Notify, IdleCheckerSurvivesEnginesComingAndGoingAcrossThreads)
{
    unsigned int threads = VorTest::SettledThreadCount();
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < 15; ++i) {
                BoundUdp udp;
                Recorder recorder;
                auto notify = MakeNotify();
                notify->Attach(ReadHandle(udp.device.GetHandle()), recorder.Reads());
                notify->UnInit(2000);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(Engines(), 0u);
    EXPECT_EQ(Sched::PosixSelect::GetEngineCount(), 0u);
    EXPECT_TRUE(VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; }));
}

TEST(Notify, EngineRefusingForAnotherReasonMakesNoNewEngine)
{
    TcpConnection a, b;
    ASSERT_TRUE(a.IsValid() && b.IsValid());
    auto notify = MakeNotify();
    Recorder recorder;
    ASSERT_TRUE(notify->Attach(ReadHandle(a.server), recorder.Reads()));
    // Held just before its wait: SELECTING, with no wake-up pending.
    VorTest::HoldHook hold(Sched::Internal::g_BeforeWait);
    hold.Arm();
    ASSERT_TRUE(a.client.GetHandle().Write("a", 1)); // ends the current wait
    ASSERT_TRUE(hold.Holding());
    VorTest::StderrCapture capture;
    Sched::Internal::g_FailWakeUps = 1; // the engine has room but cannot wake its thread
    EXPECT_FALSE(notify->Attach(ReadHandle(b.server), recorder.Reads()));
    Sched::Internal::g_FailWakeUps = 0;
    capture.Stop();
    hold.Release();
    EXPECT_EQ(Engines(), 1u);
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Attach handle \\d+ error at step 7, error code \\d+"))) << lines[0];
    EXPECT_EQ(lines[1], "Can not get valid notify");
    EXPECT_EQ(notify->GetCount(), 1u);
    notify->UnInit(1000);
}
