// An echo service and its clients on one machine: an accept group serves
// every connection by writing back what it reads, and a connect group keeps
// three connections to it. A few hundred messages of varied sizes go out
// through the connections in turn and every byte that comes back is checked.
//
//     example_echo [--select | --epoll]     (the readiness engine; select by default)
//
// epoll is Linux's: on Windows only --select is offered.
#include <vor/vor.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

using namespace Vor;
using Core::Guard;

namespace {

// What is there to read now, after the notify said the socket is readable:
// one receive, so a short message is not waited on until a buffer fills.
// FAILED when the peer has closed.
unsigned int ReadSome(Io::IoBase const& handle, char* buffer, unsigned int size)
{
    Guard<Io::IoObject> object = handle.GetObject();
    Io::SocketIo* socket = dynamic_cast<Io::SocketIo*>(object.Raw());
    return socket == nullptr ? Io::IoObject::FAILED : socket->ReadOnce(buffer, size, 0);
}

// The server's side: everything read goes straight back to the sender.
class EchoService : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase&) override
    {
        ++opened;
        return true;
    }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[16384];
        unsigned int n = ReadSome(handle, buffer, sizeof buffer);
        if (n == Io::IoObject::FAILED)
            return false; // the client went away: close our end too
        bytes += n;
        ++reads;
        return GetDevice(handle).Write(buffer, n);
    }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase&) override
    {
        ++closed;
        return false; // the listener stays; nothing to reopen
    }

    std::atomic<unsigned int> opened{0}, closed{0}, reads{0};
    std::atomic<unsigned long long> bytes{0};
};

// The clients' side: collects what comes back on each connection.
class EchoClient : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase&) override { return true; }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[16384];
        unsigned int n = ReadSome(handle, buffer, sizeof buffer);
        if (n == Io::IoObject::FAILED)
            return false;
        Guard<Io::IoObject> object = handle.GetObject();
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Received[object.Raw()].append(buffer, n);
        m_Changed.notify_all();
        return true;
    }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase&) override { return true; } // ask for a replacement

    // Waits until `size` bytes came back on the connection; what came.
    std::string WaitReceived(Io::IoBase const& handle, std::size_t size)
    {
        Guard<Io::IoObject> object = handle.GetObject();
        std::unique_lock<std::mutex> lock(m_Lock);
        m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_Received[object.Raw()].size() >= size; });
        return m_Received[object.Raw()];
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::map<Io::IoObject const*, std::string> m_Received;
};

// A port on 127.0.0.1 that nobody uses at the moment.
unsigned short FreePort()
{
    Io::Socket probe;
    if (!probe.Open(Io::Socket::SOCKET_LISTEN, 2, 0) || !probe.Bind(Io::Socket::Address("127.0.0.1", 0)))
        return 0;
    unsigned short port = Io::Socket::GetAddress(probe.GetHandle(), Io::Socket::Param::LOCAL_ADDR).Port();
    probe.GetHandle().Close();
    return port;
}

// A new, initialised notify of the engine chosen on the command line.
Guard<Sched::Notify> MakeNotify(bool epoll)
{
    Guard<Sched::Notify> notify;
#if !defined(_WIN32)
    if (epoll)
        notify = Guard<Sched::Notify>(Core::New<Sched::EpollNotify>().Raw());
    else
#endif
        notify = Guard<Sched::Notify>(Core::New<Sched::SelectNotify>().Raw());
    notify->Init(Sched::Notify::Param());
    return notify;
}

// Message i: 1 to about 9,000 bytes of a pattern that differs per message.
std::string Message(unsigned int i)
{
    std::size_t size = 1 + (i * 7919u) % 9000u;
    std::string text(size, '\0');
    for (std::size_t k = 0; k < size; ++k)
        text[k] = static_cast<char>('a' + (i + k) % 26);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    constexpr unsigned int kConnections = 3;
    constexpr unsigned int kMessages = 300;

    std::string engine = argc > 1 ? argv[1] : "--select";
#if defined(_WIN32)
    bool const known = engine == "--select";
#else
    bool const known = engine == "--select" || engine == "--epoll";
#endif
    if (argc > 2 || !known) {
        std::fprintf(stderr, "usage: %s [--select | --epoll]\n", argv[0]);
        return 2;
    }
    bool epoll = engine == "--epoll";

    System::Init();
    unsigned short port = FreePort();
    Io::Socket::Address address("127.0.0.1", port);

    Guard<Sched::Scheduler> scheduler(Core::New<Sched::TpSched>().Raw());
    scheduler->Init(Sched::Scheduler::Param(4));
    // One notify per group: a group's UnInit ends its notify.
    Guard<Sched::Notify> serverNotify = MakeNotify(epoll);
    Guard<Sched::Notify> clientNotify = MakeNotify(epoll);

    Guard<EchoService> service = Core::New<EchoService>();
    Guard<Sched::AcceptGroup> server = Core::New<Sched::AcceptGroup>(Sched::SocketGroup::SYNC);
    Sched::IoTrigger::Param serverParam(scheduler, serverNotify, Guard<Sched::IoEvent>(service.Raw()));
    if (!server->Init(serverParam) || !server->Create(address)) {
        std::fprintf(stderr, "echo: cannot serve on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("echo service listening on 127.0.0.1:%u (%s engine)\n", port, epoll ? "epoll" : "select");

    Guard<EchoClient> clients = Core::New<EchoClient>();
    Guard<Sched::ConnectGroup> client = Core::New<Sched::ConnectGroup>(Sched::SocketGroup::SYNC);
    Sched::SocketGroup::Param clientParam(scheduler, clientNotify, Guard<Sched::IoEvent>(clients.Raw()), kConnections,
                                          500);
    bool connected = client->Init(clientParam) && client->Create(address);
    // Connections are made by the group's connect thread; a connection is
    // listed once its OnOpen has returned.
    for (int wait = 0; connected && wait < 1000 && client->GetCount() < kConnections; ++wait)
        System::Sleep(10);
    if (!connected || client->GetCount() < kConnections) {
        std::fprintf(stderr, "echo: the clients could not connect\n");
        return 1;
    }
    std::printf("client group opened %u connections\n", client->GetCount());

    // Messages go out through the connections in turn; each connection's
    // stream must come back exactly as it was sent.
    std::map<Io::IoObject const*, std::string> sent;
    unsigned long long total = 0;
    unsigned int mismatches = 0;
    for (unsigned int i = 0; i < kMessages; ++i) {
        Io::IoHandle connection = client->GetSocket();
        std::string message = Message(i);
        std::string& stream = sent[connection.GetObject().Raw()];
        stream += message;
        total += message.size();
        if (!connection.Write(message.data(), static_cast<unsigned int>(message.size()))) {
            ++mismatches;
            continue;
        }
        if (clients->WaitReceived(connection, stream.size()) != stream)
            ++mismatches;
    }
    std::printf("%u messages, %llu bytes sent over %zu connections: %s\n", kMessages, total, sent.size(),
                mismatches == 0 ? "every byte came back unchanged" : "SOME CAME BACK WRONG");
    std::printf("server: %u connections opened, %llu bytes echoed in %u reads\n", service->opened.load(),
                service->bytes.load(), service->reads.load());

    // Shut-down: the groups first (each releases its event, then its
    // notify, then its scheduler), then the scheduler's own threads.
    client->UnInit(5000);
    for (int wait = 0; wait < 500 && service->closed.load() < kConnections; ++wait)
        System::Sleep(10); // the server sees the clients go
    server->UnInit(5000);
    std::printf("connections closed by the server: %u; groups, notifies and scheduler shut down\n",
                service->closed.load());
    scheduler->UnInit(5000);
    client.Clear();
    server.Clear();
    System::UnInit();
    return mismatches == 0 && service->bytes.load() == total && service->closed.load() == kConnections ? 0 : 1;
}
