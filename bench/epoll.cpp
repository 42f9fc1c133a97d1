// The epoll engine. Read as ratios, in one run:
// - Echo<EpollNotify>/N against Echo<SelectNotify>/N and EchoBare/N: 64-byte
//   messages echoed over N loopback TCP connections (N = 10, 1000, 5000;
//   select up to 1000). A driver thread sends one message on every
//   connection, then reads every echo. The server answers from the engine's
//   callback (as a group with a scheduler that runs tasks at once does),
//   against a bare level-triggered epoll loop on its own thread doing the
//   same reads and writes. items_per_second is messages per second.
// - AttachMemory<N>/K: the heap the engines add per attached socket
//   (bytes_per_socket: records, map entries, the engines themselves shared
//   out), sockets not counted. Select with 63 sockets, its engine's room.
//
// System calls per message: run one variant outside the framework under
// strace, e.g.
//     strace -f -c ./bench_epoll --rounds=epoll:1000:200
// (epoll, select or bare). The driver makes one send and one receive per
// message; the rest is the server's.
#include <vor/io/socket.h>
#include <vor/sched/epoll.h>
#include <vor/sched/notify.h>

#include "platform/epoll.h"
#include "platform/poller.h"
#include "platform/socket.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <thread>
#include <vector>

using namespace Vor;
using Io::IoHandle;
using Io::ReadHandle;
using Io::Socket;

namespace {

constexpr unsigned int kMessage = 64;

// N connections: the client ends as raw sockets for the driver, the server
// ends as library handles.
struct Connections {
    explicit Connections(unsigned int n)
    {
        listener.Open(Socket::SOCKET_LISTEN, 2, 0);
        listener.Bind(Socket::Address("127.0.0.1", 0));
        listener.Listen(128);
        Socket::Address at = Socket::GetAddress(listener.GetHandle(), Socket::Param::LOCAL_ADDR);
        Platform::Ipv4Address address{};
        std::memcpy(&address, static_cast<::sockaddr const*>(at), sizeof(address));
        for (unsigned int i = 0; i < n; ++i) {
            Platform::SocketHandle client = Platform::OpenSocket(2, Platform::SocketKind::Stream, 0);
            if (client == Platform::kInvalidSocket || !Platform::ConnectSocket(client, address, 5000))
                return;
            clients.push_back(client);
            servers.push_back(Socket::Accept(listener.GetReadHandle()));
            if (!servers.back().IsValid())
                return;
            Platform::SetSocketOption(client, Platform::SocketOption::NoDelay, 1);
            Platform::SetSocketOption(Socket::Param::GetHandle(servers.back()), Platform::SocketOption::NoDelay, 1);
        }
        complete = true;
    }
    ~Connections()
    {
        for (auto client : clients)
            Platform::CloseSocket(client);
    }

    // One round: a message out on every connection, then every echo back.
    bool Round()
    {
        char message[kMessage] = {};
        for (auto client : clients) {
            if (Platform::SendSocket(client, message, kMessage, 0) != kMessage)
                return false;
        }
        for (auto client : clients) {
            unsigned int got = 0;
            while (got < kMessage) {
                std::int64_t n = Platform::ReceiveSocket(client, message, kMessage - got, 0);
                if (n <= 0)
                    return false;
                got += static_cast<unsigned int>(n);
            }
        }
        return true;
    }

    bool complete = false;
    Socket listener;
    std::vector<Platform::SocketHandle> clients;
    std::vector<IoHandle> servers;
};

void EchoOnce(unsigned int socket)
{
    char buffer[256];
    std::int64_t n = Platform::ReceiveSocket(socket, buffer, sizeof(buffer), 0);
    if (n > 0)
        Platform::SendSocket(socket, buffer, static_cast<std::size_t>(n), 0);
}

// Echoes from the engine's callback.
void Echo(ReadHandle handle)
{
    if (handle.GetAttrib(Io::IoParam::READABLE))
        EchoOnce(Socket::Param::GetHandle(handle));
}

template <class N>
Core::Guard<N> MakeNotify()
{
    N* notify = new N;
    Core::Guard<N> counted(notify);
    notify->DecRef();
    counted->Init(Sched::Notify::Param());
    return counted;
}

// Serves the connections through a notify of kind N while it lives.
template <class N>
struct NotifyServer {
    explicit NotifyServer(Connections& connections) : notify(MakeNotify<N>())
    {
        Core::CallBack echo;
        echo.Bind(&Echo);
        for (auto& server : connections.servers)
            notify->Attach(ReadHandle(server), echo);
    }
    ~NotifyServer() { notify->UnInit(1000); }
    Core::Guard<N> notify;
};

// Serves the connections with a bare level-triggered epoll loop on its own
// thread while it lives.
struct BareServer {
    explicit BareServer(Connections& connections)
    {
        set.Add(wake.Handle(), 0, Platform::kPollRead, false);
        for (auto& server : connections.servers) {
            unsigned int socket = Socket::Param::GetHandle(server);
            set.Add(socket, socket + 1, Platform::kPollRead, false);
        }
        thread = std::thread([this] { Run(); });
    }
    ~BareServer()
    {
        running = false;
        wake.Signal();
        thread.join();
    }
    void Run()
    {
        Platform::EpollEvent events[256];
        while (running.load(std::memory_order_relaxed)) {
            int n = set.Wait(events, 256, 10000);
            for (int i = 0; i < n; ++i) {
                if (events[i].key != 0)
                    EchoOnce(static_cast<unsigned int>(events[i].key - 1));
            }
        }
    }
    Platform::Epoll set;
    Platform::WakeUp wake;
    std::atomic<bool> running{true};
    std::thread thread;
};

template <class Server>
void RunEcho(benchmark::State& state)
{
    Connections connections(static_cast<unsigned int>(state.range(0)));
    if (!connections.complete) {
        state.SkipWithError("not enough descriptors for the connections (ulimit -n)");
        return;
    }
    Server server(connections);
    for (auto _ : state) {
        if (!connections.Round()) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void EchoEpoll(benchmark::State& state) { RunEcho<NotifyServer<Sched::EpollNotify>>(state); }
void EchoSelect(benchmark::State& state) { RunEcho<NotifyServer<Sched::SelectNotify>>(state); }
void EchoBare(benchmark::State& state) { RunEcho<BareServer>(state); }
BENCHMARK(EchoBare)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoEpoll)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoSelect)->Arg(10)->Arg(1000)->UseRealTime()->MinTime(0.5);

// Bytes the heap has handed out.
std::uint64_t HeapInUse() { return mallinfo2().uordblks; }

// Memory the engine adds per attached socket.
template <class N>
void AttachMemory(benchmark::State& state)
{
    unsigned int n = static_cast<unsigned int>(state.range(0));
    std::vector<Socket> sockets(n);
    for (auto& s : sockets)
        s.Open(Socket::SOCKET_UDP, 2, 0);
    Core::CallBack echo;
    echo.Bind(&Echo);
    double perSocket = 0;
    for (auto _ : state) {
        auto notify = MakeNotify<N>();
        std::uint64_t before = HeapInUse();
        for (auto& s : sockets)
            notify->Attach(ReadHandle(s.GetHandle()), echo);
        std::uint64_t after = HeapInUse();
        perSocket = after > before ? static_cast<double>(after - before) / n : 0;
        notify->UnInit(1000);
    }
    state.counters["bytes_per_socket"] = perSocket;
}
BENCHMARK_TEMPLATE(AttachMemory, Sched::EpollNotify)->Arg(5000)->Iterations(3);
BENCHMARK_TEMPLATE(AttachMemory, Sched::SelectNotify)->Arg(63)->Iterations(3);

// --rounds=epoll|select|bare:N:R runs R rounds over N connections, for strace.
int RunRounds(char const* roundsArg)
{
    char kind[16] = {};
    unsigned int n = 0, rounds = 0;
    if (std::sscanf(roundsArg, "%15[a-z]:%u:%u", kind, &n, &rounds) != 3 || n == 0)
        return 2;
    Connections connections(n);
    bool ok = connections.complete;
    if (std::strcmp(kind, "epoll") == 0) {
        NotifyServer<Sched::EpollNotify> server(connections);
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = connections.Round();
    } else if (std::strcmp(kind, "select") == 0) {
        NotifyServer<Sched::SelectNotify> server(connections);
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = connections.Round();
    } else {
        BareServer server(connections);
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = connections.Round();
    }
    std::printf("%s: %u connections, %u rounds, %s\n", kind, n, rounds, ok ? "ok" : "failed");
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
