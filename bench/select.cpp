// The select engine. Read as ratios:
// - PingPongNotify/N against PingPongPoll/N: round trips per second over N
//   loopback TCP pairs (N = 1, 16, 63). A driver thread sends one 32-byte
//   message on every pair, then reads every echo. The server side answers
//   from the callback of a SelectNotify, against a bare poll() loop doing
//   the same reads and writes on its own thread. Goal: at least 0.75.
// - AttachDetachNotify/K against AttachDetachPlain/K: one attach and detach
//   of a socket while K - 1 others are attached (K = 1, 63, 630), against
//   recording and erasing a descriptor in a hash map under a mutex.
//
// System calls per round trip: run one variant outside the benchmark
// framework under strace, e.g.
//     strace -f -c ./bench_select --rounds=notify:16:2000
// The driver makes one send and one receive per round trip; the rest is the
// server side's.
#include <vor/io/socket.h>
#include <vor/sched/notify.h>
#include <vor/sched/select.h>

#include "platform/poller.h"
#include "platform/socket.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

using namespace Vor;
using Io::IoHandle;
using Io::ReadHandle;
using Io::Socket;

namespace {

constexpr unsigned int kMessage = 32;

// N connected pairs: the client ends as raw sockets for the driver, the
// server ends as library handles.
struct Pairs {
    explicit Pairs(unsigned int n)
    {
        listener.Open(Socket::SOCKET_LISTEN, 2, 0);
        listener.Bind(Socket::Address("127.0.0.1", 0));
        listener.Listen(128);
        Socket::Address at = Socket::GetAddress(listener.GetHandle(), Socket::Param::LOCAL_ADDR);
        for (unsigned int i = 0; i < n; ++i) {
            Socket client;
            client.Open(Socket::SOCKET_TCP, 2, 0);
            client.Connect(Socket::Param(at));
            clients.push_back(client.GetHandle());
            servers.push_back(Socket::Accept(listener.GetReadHandle()));
            Platform::SetSocketOption(Socket::Param::GetHandle(clients.back()), Platform::SocketOption::NoDelay, 1);
            Platform::SetSocketOption(Socket::Param::GetHandle(servers.back()), Platform::SocketOption::NoDelay, 1);
        }
    }

    // One round: a message out on every pair, then every echo back.
    bool Round()
    {
        char message[kMessage] = {};
        for (auto& client : clients) {
            if (Platform::SendSocket(Socket::Param::GetHandle(client), message, kMessage, 0) != kMessage)
                return false;
        }
        for (auto& client : clients) {
            unsigned int got = 0;
            while (got < kMessage) {
                std::int64_t n = Platform::ReceiveSocket(Socket::Param::GetHandle(client), message, kMessage - got, 0);
                if (n <= 0)
                    return false;
                got += static_cast<unsigned int>(n);
            }
        }
        return true;
    }

    Socket listener;
    std::vector<IoHandle> clients;
    std::vector<IoHandle> servers;
};

// Echoes from the engine's callback.
void Echo(ReadHandle handle)
{
    if (!handle.GetAttrib(Io::IoParam::READABLE))
        return;
    char buffer[256];
    unsigned int socket = Socket::Param::GetHandle(handle);
    std::int64_t n = Platform::ReceiveSocket(socket, buffer, sizeof(buffer), 0);
    if (n > 0)
        Platform::SendSocket(socket, buffer, static_cast<std::size_t>(n), 0);
}

Core::Guard<Sched::SelectNotify> MakeNotify()
{
    Core::Guard<Sched::SelectNotify> counted = Core::New<Sched::SelectNotify>();
    counted->Init(Sched::Notify::Param());
    return counted;
}

// Serves the pairs through a SelectNotify while it lives.
struct NotifyServer {
    explicit NotifyServer(Pairs& pairs) : notify(MakeNotify())
    {
        Core::CallBack echo;
        echo.Bind(&Echo);
        for (auto& server : pairs.servers)
            notify->Attach(ReadHandle(server), echo);
    }
    ~NotifyServer() { notify->UnInit(1000); }
    Core::Guard<Sched::SelectNotify> notify;
};

// Serves the pairs with a bare poll() loop on its own thread while it lives.
struct PollServer {
    explicit PollServer(Pairs& pairs)
    {
        for (auto& server : pairs.servers)
            entries.push_back(Platform::PollEntry{Socket::Param::GetHandle(server), Platform::kPollRead, 0});
        entries.push_back(Platform::PollEntry{wake.Handle(), Platform::kPollRead, 0});
        thread = std::thread([this] { Run(); });
    }
    ~PollServer()
    {
        running = false;
        wake.Signal();
        thread.join();
    }
    void Run()
    {
        char buffer[256];
        while (running.load(std::memory_order_relaxed)) {
            if (Platform::Poll(entries.data(), static_cast<unsigned int>(entries.size()), 10000) <= 0)
                continue;
            for (auto& entry : entries) {
                if (!(entry.got & (Platform::kPollRead | Platform::kPollHangUp)) || entry.socket == wake.Handle())
                    continue;
                std::int64_t n = Platform::ReceiveSocket(entry.socket, buffer, sizeof(buffer), 0);
                if (n > 0)
                    Platform::SendSocket(entry.socket, buffer, static_cast<std::size_t>(n), 0);
            }
        }
    }
    std::vector<Platform::PollEntry> entries;
    Platform::WakeUp wake;
    std::atomic<bool> running{true};
    std::thread thread;
};

template <class Server>
void PingPong(benchmark::State& state)
{
    Pairs pairs(static_cast<unsigned int>(state.range(0)));
    Server server(pairs);
    for (auto _ : state) {
        if (!pairs.Round()) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void PingPongNotify(benchmark::State& state) { PingPong<NotifyServer>(state); }
void PingPongPoll(benchmark::State& state) { PingPong<PollServer>(state); }
BENCHMARK(PingPongPoll)->Arg(1)->Arg(16)->Arg(63)->UseRealTime();
BENCHMARK(PingPongNotify)->Arg(1)->Arg(16)->Arg(63)->UseRealTime();

// K - 1 sockets stay attached while one more is attached and detached.
void AttachDetachNotify(benchmark::State& state)
{
    unsigned int k = static_cast<unsigned int>(state.range(0));
    auto notify = MakeNotify();
    Core::CallBack echo;
    echo.Bind(&Echo);
    std::vector<Socket> resident(k - 1);
    for (auto& s : resident) {
        s.Open(Socket::SOCKET_UDP, 2, 0);
        notify->Attach(ReadHandle(s.GetHandle()), echo);
    }
    Socket moving;
    moving.Open(Socket::SOCKET_UDP, 2, 0);
    ReadHandle handle(moving.GetHandle());
    for (auto _ : state) {
        if (!notify->Attach(handle, echo) || !notify->Detach(handle)) {
            state.SkipWithError("attach or detach failed");
            break;
        }
    }
    notify->UnInit(1000);
}
BENCHMARK(AttachDetachNotify)->Arg(1)->Arg(63)->Arg(630);

void AttachDetachPlain(benchmark::State& state)
{
    unsigned int k = static_cast<unsigned int>(state.range(0));
    std::mutex lock;
    std::unordered_map<unsigned int, int> attached;
    for (unsigned int i = 0; i < k - 1; ++i)
        attached.emplace(1000 + i, 0);
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> local(lock);
            attached.emplace(7, 1);
        }
        std::lock_guard<std::mutex> local(lock);
        attached.erase(7);
    }
}
BENCHMARK(AttachDetachPlain)->Arg(1)->Arg(63)->Arg(630);

// --rounds=notify|poll:N:R runs R rounds over N pairs, for strace.
int RunRounds(char const* roundsArg)
{
    char kind[16] = {};
    unsigned int n = 0, rounds = 0;
    if (std::sscanf(roundsArg, "%15[a-z]:%u:%u", kind, &n, &rounds) != 3 || n == 0 || n > 63)
        return 2;
    Pairs pairs(n);
    bool ok = true;
    if (std::strcmp(kind, "notify") == 0) {
        NotifyServer server(pairs);
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = pairs.Round();
    } else {
        PollServer server(pairs);
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = pairs.Round();
    }
    std::printf("%s: %u pairs, %u rounds, %s\n", kind, n, rounds, ok ? "ok" : "failed");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            return RunRounds(argv[i] + 9);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
