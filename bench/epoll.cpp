// The epoll engine. Read as ratios, in one run:
// - Echo<Epoll|Select><Local|Pool>/N against EchoBare/N: 64-byte messages
//   echoed over N loopback TCP connections (N = 10, 1000, 5000; select up
//   to 1000). A driver thread sends one message on every connection, then
//   reads every echo. The server is an accept group on an EpollNotify or a
//   SelectNotify whose event reads and answers in OnRead, its tasks run by a
//   LocalSched (at once, on the engine's thread) or a TpSched (4 workers);
//   the baseline is a bare level-triggered epoll loop on its own thread doing
//   the same reads and writes. items_per_second is messages per second;
//   server_cpu_us is the CPU time per message of every thread but the
//   driver. Goals: at 1000 connections EchoEpollLocal >= 3x EchoSelectLocal;
//   EchoEpollLocal >= 0.9x EchoBare at every N.
// - EchoCallback<N>/N: the same echo answered straight from the notify's
//   callback, without a group or a scheduler (the engine alone).
// - AttachMemory<N>/K: the heap the engines add per attached socket
//   (bytes_per_socket: records, map entries, the engines themselves shared
//   out), sockets not counted. Select with 63 sockets, its engine's room.
//
// System calls per message: run one variant outside the framework under
// strace, e.g.
//     strace -f -c ./bench_epoll --rounds=epoll-local:1000:200
// (epoll-local, epoll-pool, select-local, select-pool, epoll, select or
// bare). The driver makes one send and one receive per message; the rest is
// the server's.
#include <vor/vor.h>

#include "platform/epoll.h"
#include "platform/poller.h"
#include "platform/socket.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <sys/resource.h>
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
    // Accepts the server ends itself.
    explicit Connections(unsigned int n)
    {
        listener.Open(Socket::SOCKET_LISTEN, 2, 0);
        listener.Bind(Socket::Address("127.0.0.1", 0));
        listener.Listen(128);
        Connect(n, Socket::GetAddress(listener.GetHandle(), Socket::Param::LOCAL_ADDR), true);
    }
    // Connects to a server that accepts them (a group).
    Connections(unsigned int n, Socket::Address const& at) { Connect(n, at, false); }

    void Connect(unsigned int n, Socket::Address const& at, bool accept)
    {
        Platform::Ipv4Address address{};
        std::memcpy(&address, static_cast<::sockaddr const*>(at), sizeof(address));
        for (unsigned int i = 0; i < n; ++i) {
            Platform::SocketHandle client = Platform::OpenSocket(2, Platform::SocketKind::Stream, 0);
            if (client == Platform::kInvalidSocket || !Platform::ConnectSocket(client, address, 5000))
                return;
            clients.push_back(client);
            Platform::SetSocketOption(client, Platform::SocketOption::NoDelay, 1);
            if (!accept)
                continue;
            servers.push_back(Socket::Accept(listener.GetReadHandle()));
            if (!servers.back().IsValid())
                return;
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

// The application's side of the group echo: reads and answers in OnRead.
class EchoEvent : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase& handle) override
    {
        Platform::SetSocketOption(Socket::Param::GetHandle(handle), Platform::SocketOption::NoDelay, 1);
        ++opened;
        return true;
    }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        if (handle.GetAttrib(Io::IoParam::READABLE))
            EchoOnce(Socket::Param::GetHandle(handle));
        return true;
    }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase&) override { return false; }

    std::atomic<unsigned int> opened{0};
};

// A port on 127.0.0.1 that nobody uses at the moment.
unsigned short FreePort()
{
    Socket probe;
    if (!probe.Open(Socket::SOCKET_LISTEN, 2, 0) || !probe.Bind(Socket::Address("127.0.0.1", 0)))
        return 0;
    unsigned short port = Socket::GetAddress(probe.GetHandle(), Socket::Param::LOCAL_ADDR).Port();
    probe.GetHandle().Close();
    return port;
}

// An accept group on a notify of kind N with a scheduler of kind S, and n
// driver connections to it, while it lives.
template <class N, class S>
struct GroupServer {
    explicit GroupServer(unsigned int n)
        : scheduler(Core::New<Sched::Scheduler, S>()), notify(MakeNotify<N>()), event(Core::New<EchoEvent>()),
          group(Core::New<Sched::AcceptGroup>(Sched::SocketGroup::SYNC)), address("127.0.0.1", FreePort()),
          connections(0, address)
    {
        connections.complete = false;
        Sched::IoTrigger::Param param(scheduler, Core::Guard<Sched::Notify>(notify.Raw()),
                                      Core::Guard<Sched::IoEvent>(event.Raw()));
        if (!scheduler->Init(Sched::Scheduler::Param(4)) || !group->Init(param) || !group->Create(address))
            return;
        // One at a time, each accepted before the next: the group's listen
        // queue is short, and a dropped handshake costs a second.
        for (unsigned int i = 0; i < n; ++i) {
            connections.Connect(1, address, false);
            for (int wait = 0; wait < 5000 && event->opened.load() <= i; ++wait)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (!connections.complete || event->opened.load() <= i)
                return;
        }
    }
    ~GroupServer()
    {
        group->UnInit(5000);
        scheduler->UnInit(5000);
    }

    Core::Guard<Sched::Scheduler> scheduler;
    Core::Guard<N> notify;
    Core::Guard<EchoEvent> event;
    Core::Guard<Sched::AcceptGroup> group;
    Socket::Address address;
    Connections connections;
};

// CPU time of the whole process and of the calling thread, in microseconds.
double ProcessCpuUs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}
double ThreadCpuUs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

void RunRounds(benchmark::State& state, Connections& connections)
{
    if (!connections.complete) {
        state.SkipWithError("not enough descriptors for the connections (ulimit -n)");
        return;
    }
    double process = ProcessCpuUs(), driver = ThreadCpuUs();
    for (auto _ : state) {
        if (!connections.Round()) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    double messages = static_cast<double>(state.iterations() * state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["server_cpu_us"] = ((ProcessCpuUs() - process) - (ThreadCpuUs() - driver)) / messages;
}

template <class Server>
void RunEcho(benchmark::State& state)
{
    Connections connections(static_cast<unsigned int>(state.range(0)));
    if (!connections.complete)
        return RunRounds(state, connections);
    Server server(connections);
    RunRounds(state, connections);
}

template <class N, class S>
void RunGroupEcho(benchmark::State& state)
{
    GroupServer<N, S> server(static_cast<unsigned int>(state.range(0)));
    RunRounds(state, server.connections);
}

void EchoBare(benchmark::State& state) { RunEcho<BareServer>(state); }
void EchoEpollLocal(benchmark::State& state) { RunGroupEcho<Sched::EpollNotify, Sched::LocalSched>(state); }
void EchoSelectLocal(benchmark::State& state) { RunGroupEcho<Sched::SelectNotify, Sched::LocalSched>(state); }
void EchoEpollPool(benchmark::State& state) { RunGroupEcho<Sched::EpollNotify, Sched::TpSched>(state); }
void EchoSelectPool(benchmark::State& state) { RunGroupEcho<Sched::SelectNotify, Sched::TpSched>(state); }
void EchoCallbackEpoll(benchmark::State& state) { RunEcho<NotifyServer<Sched::EpollNotify>>(state); }
void EchoCallbackSelect(benchmark::State& state) { RunEcho<NotifyServer<Sched::SelectNotify>>(state); }
BENCHMARK(EchoBare)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoEpollLocal)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoSelectLocal)->Arg(10)->Arg(1000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoEpollPool)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoSelectPool)->Arg(10)->Arg(1000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoCallbackEpoll)->Arg(10)->Arg(1000)->Arg(5000)->UseRealTime()->MinTime(0.5);
BENCHMARK(EchoCallbackSelect)->Arg(10)->Arg(1000)->UseRealTime()->MinTime(0.5);

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

// --rounds=KIND:N:R runs R rounds over N connections, for strace.
int RunRounds(char const* roundsArg)
{
    char kind[16] = {};
    unsigned int n = 0, rounds = 0;
    if (std::sscanf(roundsArg, "%15[a-z-]:%u:%u", kind, &n, &rounds) != 3 || n == 0)
        return 2;
    auto group = [&](auto&& server) {
        bool ok = server.connections.complete;
        for (unsigned int i = 0; i < rounds && ok; ++i)
            ok = server.connections.Round();
        std::printf("%s: %u connections, %u rounds, %s\n", kind, n, rounds, ok ? "ok" : "failed");
        return ok ? 0 : 1;
    };
    if (std::strcmp(kind, "epoll-local") == 0)
        return group(GroupServer<Sched::EpollNotify, Sched::LocalSched>(n));
    if (std::strcmp(kind, "epoll-pool") == 0)
        return group(GroupServer<Sched::EpollNotify, Sched::TpSched>(n));
    if (std::strcmp(kind, "select-local") == 0)
        return group(GroupServer<Sched::SelectNotify, Sched::LocalSched>(n));
    if (std::strcmp(kind, "select-pool") == 0)
        return group(GroupServer<Sched::SelectNotify, Sched::TpSched>(n));
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
