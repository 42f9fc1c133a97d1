// Echo over loopback. Read as ratios:
// - Echo/LocalSched and Echo/TpSched against Echo/BarePoll: messages per
//   second through an accept group that writes back what it reads (its
//   reports run on the selecting thread with LocalSched, on a pool of 2
//   workers with TpSched), against a bare poll() echo server on one thread.
//   Goals: at least 0.5x with LocalSched, 0.3x with TpSched.
// - 64-byte and 4 KiB messages, 1, 10 and 50 connections. Each iteration
//   sends one message on every connection and waits for all echoes; p50 and
//   p99 are the round-trip times of single messages in microseconds.
// After the run a table gives every figure with its ratio to the bare
// server.
#include <vor/vor.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Vor;
using Clock = std::chrono::steady_clock;

namespace {

sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool SendAll(int fd, char const* data, std::size_t size)
{
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// The baseline: one thread, poll() over the listener and every connection,
// each readable connection echoed at once.
class BareServer {
public:
    BareServer()
    {
        m_iListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_iListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        bind(m_iListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_iListener, 128);
        getsockname(m_iListener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        m_Thread = std::thread([this] { Run(); });
    }
    ~BareServer()
    {
        m_bStop = true;
        m_Thread.join();
        for (pollfd const& entry : m_Entries)
            close(entry.fd);
    }
    unsigned short port = 0;

private:
    void Run()
    {
        m_Entries.push_back({m_iListener, POLLIN, 0});
        std::vector<char> buffer(65536);
        while (!m_bStop.load()) {
            if (poll(m_Entries.data(), m_Entries.size(), 50) <= 0)
                continue;
            for (std::size_t i = m_Entries.size(); i-- > 1;) {
                if (m_Entries[i].revents == 0)
                    continue;
                ssize_t got = recv(m_Entries[i].fd, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !SendAll(m_Entries[i].fd, buffer.data(), static_cast<std::size_t>(got))) {
                    close(m_Entries[i].fd);
                    m_Entries.erase(m_Entries.begin() + static_cast<long>(i));
                }
            }
            if (m_Entries[0].revents & POLLIN) {
                int fd = accept4(m_iListener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    int on = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    m_Entries.push_back({fd, POLLIN, 0});
                }
            }
        }
    }

    int m_iListener = -1;
    std::atomic<bool> m_bStop{false};
    std::vector<pollfd> m_Entries;
    std::thread m_Thread;
};

// The application event of the group server: what is read goes back.
class Echo : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase&) override { return true; }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[65536];
        Core::Guard<Io::IoObject> object = handle.GetObject();
        Io::SocketIo* socket = static_cast<Io::SocketIo*>(object.Raw());
        unsigned int n = socket->ReadOnce(buffer, sizeof buffer, 0);
        return n != Io::IoObject::FAILED && GetDevice(handle).Write(buffer, n);
    }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase&) override { return false; }
};

// An accept group serving echo through a scheduler of kind S.
template <class S>
class GroupServer {
public:
    GroupServer()
    {
        m_Scheduler = Core::Guard<Sched::Scheduler>(Core::New<S>().Raw());
        m_Scheduler->Init(Sched::Scheduler::Param(2));
        Core::Guard<Sched::Notify> notify(Core::New<Sched::SelectNotify>().Raw());
        notify->Init(Sched::Notify::Param());
        Core::Guard<Sched::IoEvent> event(Core::New<Echo>().Raw());
        m_Group = Core::New<Sched::AcceptGroup>(Sched::SocketGroup::SYNC);
        Sched::IoTrigger::Param param(m_Scheduler, notify, event);
        m_Group->Init(param);
        // A port that was free a moment ago.
        int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        close(probe);
        m_Group->Create(Io::Socket::Address("127.0.0.1", port));
    }
    ~GroupServer()
    {
        m_Group->UnInit(5000);
        m_Scheduler->UnInit(5000);
    }
    unsigned short port = 0;

private:
    Core::Guard<Sched::Scheduler> m_Scheduler;
    Core::Guard<Sched::AcceptGroup> m_Group;
};

// The client side: n connections, each sending one message per round and
// reading its echo; the round-trip time of every message is kept.
class Clients {
public:
    bool Connect(unsigned short port, int n)
    {
        for (int i = 0; i < n; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            sockaddr_in address = Loopback(port);
            if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                close(fd);
                return false;
            }
            m_Entries.push_back({fd, POLLIN, 0});
        }
        return true;
    }
    ~Clients()
    {
        for (pollfd const& entry : m_Entries)
            close(entry.fd);
    }

    bool Round(std::string const& message, std::vector<double>& latencies)
    {
        Clock::time_point start = Clock::now();
        for (pollfd const& entry : m_Entries) {
            if (!SendAll(entry.fd, message.data(), message.size()))
                return false;
        }
        std::vector<std::size_t> left(m_Entries.size(), message.size());
        std::size_t pending = m_Entries.size();
        char buffer[65536];
        while (pending > 0) {
            if (poll(m_Entries.data(), m_Entries.size(), 5000) <= 0)
                return false;
            for (std::size_t i = 0; i < m_Entries.size(); ++i) {
                if (m_Entries[i].revents == 0 || left[i] == 0)
                    continue;
                ssize_t got = recv(m_Entries[i].fd, buffer, std::min(left[i], sizeof buffer), 0);
                if (got <= 0)
                    return false;
                left[i] -= static_cast<std::size_t>(got);
                if (left[i] == 0) {
                    --pending;
                    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                    m_Entries[i].events = 0; // done this round
                }
            }
        }
        for (pollfd& entry : m_Entries)
            entry.events = POLLIN;
        return true;
    }

private:
    std::vector<pollfd> m_Entries;
};

struct Figure {
    double p50 = 0, p99 = 0;
};
std::mutex g_Lock;
std::map<std::string, Figure> g_Figures; // "size/connections/kind"

double Percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0;
    std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

template <class Server>
void Run(benchmark::State& state, char const* kind)
{
    std::size_t size = static_cast<std::size_t>(state.range(0));
    int connections = static_cast<int>(state.range(1));
    Server server;
    Clients clients;
    if (!clients.Connect(server.port, connections)) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::string message(size, 'e');
    std::vector<double> latencies;
    latencies.reserve(1 << 16);
    for (auto _ : state) {
        if (!clients.Round(message, latencies)) {
            state.SkipWithError("echo lost");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * connections);
    double p50 = Percentile(latencies, 0.5);
    double p99 = Percentile(latencies, 0.99);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    std::lock_guard<std::mutex> lock(g_Lock);
    Figure& figure = g_Figures[std::to_string(size) + "/" + std::to_string(connections) + "/" + kind];
    figure.p50 = p50;
    figure.p99 = p99;
}

void BarePoll(benchmark::State& state) { Run<BareServer>(state, "BarePoll"); }
void LocalSched(benchmark::State& state) { Run<GroupServer<Sched::LocalSched>>(state, "LocalSched"); }
void TpSched(benchmark::State& state) { Run<GroupServer<Sched::TpSched>>(state, "TpSched"); }

void Shapes(benchmark::internal::Benchmark* bench)
{
    for (int size : {64, 4096})
        for (int connections : {1, 10, 50})
            bench->Args({size, connections});
    bench->ArgNames({"bytes", "conns"})->UseRealTime()->MinTime(0.3);
}

BENCHMARK(BarePoll)->Apply(Shapes);
BENCHMARK(LocalSched)->Apply(Shapes);
BENCHMARK(TpSched)->Apply(Shapes);

// Keeps the messages per second of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override
    {
        for (Run const& run : runs) {
            auto items = run.counters.find("items_per_second");
            if (items == run.counters.end())
                continue;
            std::string name = run.benchmark_name();
            std::lock_guard<std::mutex> lock(g_Lock);
            m_Rates[name] = items->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> m_Rates;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-8s %-6s %-11s %14s %8s %9s %9s\n", "bytes", "conns", "server", "messages/s", "ratio", "p50 us",
                "p99 us");
    for (int size : {64, 4096}) {
        for (int connections : {1, 10, 50}) {
            std::string shape = "/bytes:" + std::to_string(size) + "/conns:" + std::to_string(connections) + "/";
            std::string key = std::to_string(size) + "/" + std::to_string(connections) + "/";
            double bare = 0;
            for (auto const& entry : reporter.m_Rates) {
                if (entry.first.rfind("BarePoll" + shape, 0) == 0)
                    bare = entry.second;
            }
            for (char const* kind : {"BarePoll", "LocalSched", "TpSched"}) {
                std::string prefix = kind + shape;
                double rate = 0;
                for (auto const& entry : reporter.m_Rates) {
                    if (entry.first.rfind(prefix, 0) == 0)
                        rate = entry.second;
                }
                Figure figure = g_Figures[key + kind];
                std::printf("%-8d %-6d %-11s %14.0f %8.2f %9.1f %9.1f\n", size, connections, kind, rate,
                            bare > 0 ? rate / bare : 0.0, figure.p50, figure.p99);
            }
        }
    }
    benchmark::Shutdown();
    return 0;
}
