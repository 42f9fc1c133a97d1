// A server that stays responsive while one of its clients stops reading.
//
// The server runs every connection on one thread (LocalSched) and queues
// its writes: a write through GetDevice never waits for the client. A
// client that asks for "big" gets 6 MiB; the server writes it until the
// connection's queue is full (the write fails), and goes on from there each
// time OnWrite says the queue has drained. Meanwhile a second client's
// pings are answered at once, although the first client reads nothing
// until the end.
//
//     example_slowclient
#include <vor/vor.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

using namespace Vor;
using Core::Guard;

namespace {

constexpr unsigned int kBigSize = 6u << 20;
constexpr unsigned int kQueueLimit = 1u << 20; // per connection
constexpr unsigned int kPiece = 64u << 10;

char BigAt(unsigned int at) { return static_cast<char>('a' + (at / 7) % 26); }

class FeedService : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase&) override { return true; }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[4096];
        Guard<Io::IoObject> object = handle.GetObject();
        Io::SocketIo* socket = dynamic_cast<Io::SocketIo*>(object.Raw());
        unsigned int n = socket == nullptr ? Io::IoObject::FAILED : socket->ReadOnce(buffer, sizeof buffer, 0);
        if (n == Io::IoObject::FAILED)
            return false; // the client went away
        std::string request(buffer, n);
        if (request == "big") {
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_Sent[object.Raw()] = 0;
            }
            return Feed(handle);
        }
        return GetDevice(handle).Write(buffer, n); // anything else comes back
    }
    // The queue drained: the feed goes on where it stopped.
    bool OnWrite(Io::WriteHandle& handle) override
    {
        ++drains;
        return Feed(handle);
    }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase& handle) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Sent.erase(handle.GetObject().Raw());
        return false;
    }

    std::atomic<unsigned int> drains{0}, refused{0};

private:
    // Writes the rest of the big answer until the queue is full.
    bool Feed(Io::IoBase const& handle)
    {
        Io::WriteHandle device = GetDevice(handle);
        std::lock_guard<std::mutex> lock(m_Lock);
        auto found = m_Sent.find(handle.GetObject().Raw());
        if (found == m_Sent.end())
            return true;
        unsigned int& sent = found->second;
        char piece[kPiece];
        while (sent < kBigSize) {
            unsigned int n = std::min(kPiece, kBigSize - sent);
            for (unsigned int i = 0; i < n; ++i)
                piece[i] = BigAt(sent + i);
            if (!device.Write(piece, n)) {
                ++refused; // full: OnWrite brings us back
                return true;
            }
            sent += n;
        }
        m_Sent.erase(found);
        return true;
    }

    std::mutex m_Lock;
    std::map<Io::IoObject const*, unsigned int> m_Sent; // bytes of "big" written so far
};

unsigned short FreePort()
{
    Io::Socket probe;
    if (!probe.Open(Io::Socket::SOCKET_LISTEN, 2, 0) || !probe.Bind(Io::Socket::Address("127.0.0.1", 0)))
        return 0;
    unsigned short port = Io::Socket::GetAddress(probe.GetHandle(), Io::Socket::Param::LOCAL_ADDR).Port();
    probe.GetHandle().Close();
    return port;
}

} // namespace

int main()
{
    System::Init();
    Io::Socket::Address address("127.0.0.1", FreePort());

    Guard<Sched::Scheduler> scheduler(Core::New<Sched::LocalSched>().Raw());
    scheduler->Init(Sched::Scheduler::Param(1));
    Guard<Sched::Notify> notify(Core::New<Sched::SelectNotify>().Raw());
    notify->Init(Sched::Notify::Param());
    Guard<FeedService> service = Core::New<FeedService>();
    Guard<Sched::AcceptGroup> server = Core::New<Sched::AcceptGroup>(Sched::SocketGroup::SYNC);
    // No connect-group settings; a queue of up to 1 MiB per connection.
    Sched::SocketGroup::Param param(scheduler, notify, Guard<Sched::IoEvent>(service.Raw()), 0, 0, kQueueLimit);
    if (!server->Init(param) || !server->Create(address)) {
        std::fprintf(stderr, "slowclient: cannot serve on 127.0.0.1:%u\n", address.Port());
        return 1;
    }

    Io::Socket slow, quick;
    bool connected = slow.Open(Io::Socket::SOCKET_TCP) && slow.Connect(Io::Socket::Param(address)) &&
                     quick.Open(Io::Socket::SOCKET_TCP) && quick.Connect(Io::Socket::Param(address));
    if (!connected) {
        std::fprintf(stderr, "slowclient: the clients could not connect\n");
        return 1;
    }
    Io::IoHandle slowEnd = slow.GetHandle(), quickEnd = quick.GetHandle();

    // The slow client asks for 6 MiB and reads none of it yet.
    slowEnd.Write("big", 3);
    unsigned int answered = 0;
    for (unsigned int i = 0; i < 100; ++i) {
        char echo[4] = {};
        if (quickEnd.Write("ping", 4) && quickEnd.Read(echo, 4) == 4 && std::string(echo, 4) == "ping")
            ++answered;
    }
    std::printf("quick client: %u of 100 pings answered while the slow client read nothing\n", answered);

    // Now the slow client reads its answer; it comes in order, whole.
    std::string big(kBigSize, '\0');
    bool whole = slowEnd.Read(&big[0], kBigSize) == kBigSize;
    unsigned int wrong = 0;
    for (unsigned int i = 0; whole && i < kBigSize; ++i)
        wrong += big[i] != BigAt(i);
    std::printf("slow client: %s (writes refused while the queue was full: %u; drains: %u)\n",
                whole && wrong == 0 ? "6 MiB arrived in order" : "ITS ANSWER CAME WRONG", service->refused.load(),
                service->drains.load());

    slowEnd.Close();
    quickEnd.Close();
    server->UnInit(5000);
    scheduler->UnInit(5000);
    server.Clear();
    System::UnInit();
    return answered == 100 && whole && wrong == 0 ? 0 : 1;
}
