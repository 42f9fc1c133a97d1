// Queued writes of TCP groups: a client that does not read holds no thread,
// the limit refuses a write whole, bytes keep their order across threads,
// and closes and UnInit let a full queue go.
#include "support/groups.h"

#include <vor/io/socket.h>

#include "platform/socket.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Vor;
using namespace Vor::Sched;
using VorTest::Peer;
using VorTest::WaitUntil;
using std::chrono::milliseconds;

namespace {

using Server = VorTest::RunningGroup<AcceptGroup>;

constexpr unsigned int kMiB = 1u << 20;

// The byte at each position of a stream, so that a lost, doubled or moved
// byte shows.
char PatternAt(std::size_t at) { return static_cast<char>('!' + (at * 7 + at / 251) % 90); }

std::string Pattern(std::size_t from, std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = PatternAt(from + i);
    return bytes;
}

// Keeps the kernel's share of a stream small, so that the queue holds most
// of what a client does not read.
void SmallSendBuffer(Io::IoBase const& handle)
{
    Io::SocketIo::Use use(*handle.As<Io::SocketIo>());
    Platform::SetSocketOption(use.Handle(), Platform::SocketOption::SendBuffer, 65536);
}

// The server's side of each connection, in the order they opened. Made
// before the server, so that the server's last reports (of clients going
// away) still find it.
struct Opened {
    void Install(Server& server)
    {
        server.event->openHook = [this](Io::IoBase& handle) {
            SmallSendBuffer(handle);
            std::lock_guard<std::mutex> lock(mutex);
            handles.emplace_back(handle);
        };
    }
    Io::IoHandle At(std::size_t i)
    {
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return handles.size() > i;
        }));
        std::lock_guard<std::mutex> lock(mutex);
        return handles.size() > i ? handles[i] : Io::IoHandle();
    }
    std::mutex mutex;
    std::vector<Io::IoHandle> handles;
};

// Writes `total` bytes of the pattern through the device in 64 KiB writes;
// true when every one was taken.
bool WritePattern(Io::WriteHandle device, std::size_t total)
{
    bool all = true;
    for (std::size_t at = 0; at < total; at += 65536) {
        std::string chunk = Pattern(at, std::min<std::size_t>(65536, total - at));
        all = device.Write(chunk.data(), static_cast<unsigned int>(chunk.size())) && all;
    }
    return all;
}

std::vector<VorTest::GroupCase> QueueCases()
{
    std::vector<VorTest::GroupCase> cases;
    for (VorTest::GroupCase run : VorTest::AllGroupCases())
        if (run.sched != VorTest::SchedKind::St)
            cases.push_back(run);
    return cases;
}

class SendQueueTest : public VorTest::GroupTest {};

// A task writes 8 MiB to a client that does not read, beside a client that
// must keep being answered: the writes never wait (under LocalSched a
// waiting write would stop every socket of the engine), the write past the
// limit fails whole, and once the client reads, everything arrives in
// order and OnWrite hears that the queue drained. A close with a full queue
// sends what the kernel takes and drops the rest; UnInit waits its time-out
// and then does the same, and the devices fail from then on. What arrives
// then is always a prefix of what was written.
TEST_P(SendQueueTest, ClientThatDoesNotReadHoldsNoThread)
{
    Opened opened;
    std::atomic<bool> flooded{false}, allTaken{false}, pastLimitRefused{false}, tailTaken{false};
    std::atomic<std::size_t> queued{0};
    Server server(GetParam(), new AcceptGroup, 0, 0, {}, 8 * kMiB);
    opened.Install(server);
    server.event->readHook = [&](Io::IoBase& handle) {
        if (handle != opened.At(0) || flooded.load())
            return;
        Io::WriteHandle device = server.event->Device(handle);
        allTaken = WritePattern(device, 8 * kMiB);
        std::string more(2 * kMiB, 'x');
        pastLimitRefused = !device.Write(more.data(), static_cast<unsigned int>(more.size()));
        tailTaken = device.Write("END!", 4);
        queued = server.group->GetQueued(handle);
        flooded = true;
    };
    ASSERT_TRUE(server.Start());
    Peer slow, quick;
    ASSERT_TRUE(slow.Connect(server.port));
    opened.At(0);
    ASSERT_TRUE(slow.Send("go"));
    ASSERT_TRUE(WaitUntil([&] { return flooded.load(); }, milliseconds(10000)));
    EXPECT_TRUE(allTaken.load());
    EXPECT_TRUE(pastLimitRefused.load());
    EXPECT_TRUE(tailTaken.load());
    EXPECT_GT(queued.load(), 6u * kMiB);

    ASSERT_TRUE(quick.Connect(server.port));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(quick.Send("ping"));
        EXPECT_EQ(quick.Receive(4), "ping");
    }

    std::string expected = Pattern(0, 8 * kMiB) + "END!" + "go";
    std::string got = slow.Receive(expected.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the slow client's stream differs";
    EXPECT_TRUE(WaitUntil([&] { return server.event->Count("write 1") == 1; }));
    EXPECT_EQ(server.group->GetQueued(opened.At(0)), 0u);

    Peer closing, stopping;
    ASSERT_TRUE(closing.Connect(server.port));
    Io::IoHandle first = opened.At(2);
    Io::WriteHandle firstDevice = server.event->Device(first);
    ASSERT_TRUE(WritePattern(firstDevice, 4 * kMiB));
    EXPECT_GT(server.group->GetQueued(first), 2u * kMiB);
    ASSERT_TRUE(closing.Send("bye"));
    // OnClose is heard before the queue goes: the group drops it after
    // the callback, on the same close path.
    ASSERT_TRUE(WaitUntil([&] { return server.event->Count("close 3") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return server.group->GetQueued(first) == 0; }));
    EXPECT_FALSE(firstDevice.Write("late", 4));
    first.Clear();
    std::string prefix = closing.Receive(4 * kMiB);
    EXPECT_LT(prefix.size(), 4u * kMiB);
    EXPECT_TRUE(prefix == Pattern(0, prefix.size()));

    ASSERT_TRUE(stopping.Connect(server.port));
    Io::IoHandle second = opened.At(3);
    Io::WriteHandle secondDevice = server.event->Device(second);
    ASSERT_TRUE(WritePattern(secondDevice, 4 * kMiB));
    server.group->UnInit(200);
    EXPECT_FALSE(secondDevice.Write("late", 4));
    EXPECT_FALSE(server.event->Device(second).Write("late", 4));
    EXPECT_TRUE(second.Close()); // UnInit leaves the connection to its owner
    prefix = stopping.Receive(4 * kMiB);
    EXPECT_LT(prefix.size(), 4u * kMiB);
    EXPECT_TRUE(prefix == Pattern(0, prefix.size()));
}

// Four threads write numbered records to one connection while the client
// reads: every record arrives whole, each thread's in its order.
TEST_P(SendQueueTest, WritesFromSeveralThreadsKeepTheirOrder)
{
    Opened opened;
    Server server(GetParam(), new AcceptGroup, 0, 0, {}, 16 * kMiB);
    opened.Install(server);
    ASSERT_TRUE(server.Start());
    Peer client;
    ASSERT_TRUE(client.Connect(server.port));
    Io::IoHandle connection = opened.At(0);
    constexpr int kThreads = 4, kRecords = 4000, kSize = 32;
    std::atomic<int> refused{0}, started{0};
    // Each thread asks for the device at the same moment: the one queue is
    // made once, and all of them get it.
    Io::IoObject* devices[kThreads] = {};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            ++started;
            while (started.load() < kThreads)
                std::this_thread::yield();
            Io::WriteHandle device = server.event->Device(connection);
            devices[t] = device.GetObject().Raw();
            for (int n = 0; n < kRecords; ++n) {
                char record[kSize + 1];
                std::snprintf(record, sizeof record, "t%d n%08d %18s\n", t, n, "");
                if (!device.Write(record, kSize))
                    ++refused;
            }
        });
    std::string got = client.Receive(std::size_t(kThreads) * kRecords * kSize);
    for (std::thread& writer : writers)
        writer.join();
    for (int t = 1; t < kThreads; ++t)
        EXPECT_EQ(devices[0], devices[t]) << t;
    EXPECT_EQ(refused.load(), 0);
    ASSERT_EQ(got.size(), std::size_t(kThreads) * kRecords * kSize);
    int next[kThreads] = {};
    for (std::size_t at = 0; at < got.size(); at += kSize) {
        int t = -1, n = -1;
        ASSERT_EQ(std::sscanf(got.c_str() + at, "t%d n%d", &t, &n), 2) << "at " << at;
        ASSERT_TRUE(t >= 0 && t < kThreads && got[at + kSize - 1] == '\n') << "at " << at;
        ASSERT_EQ(n, next[t]++) << "thread " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Groups, SendQueueTest, ::testing::ValuesIn(QueueCases()), VorTest::GroupCaseName);

} // namespace
