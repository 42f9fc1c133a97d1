// An echo server for the peers kit whose writes go through a queue: an
// accept group over EpollNotify and LocalSched with a 1 MiB queue limit per
// connection, otherwise the kit's vor_epoll server. Compared with it, the
// figure is what queued writes cost on a socket that always has room.
// peers-include: $ENV{VOR_PREFIX}/include
// peers-link: $ENV{VOR_PREFIX}/lib/libvor.so Threads::Threads
#include <vor/vor.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

using namespace Vor;
using Core::Guard;

namespace {

class QueuedEcho : public Sched::IoEvent {
public:
    bool OnOpen(Io::IoBase& handle) override
    {
        int fd = static_cast<int>(Io::Socket::Param::GetHandle(handle));
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[65536];
        Io::SocketIo* socket = handle.As<Io::SocketIo>();
        unsigned int n = socket->ReadOnce(buffer, sizeof buffer, 0);
        if (n == Io::IoObject::FAILED || n == 0)
            return false;
        return GetDevice(handle).Write(buffer, n);
    }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
    bool OnClose(Io::IoBase&) override { return false; }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the library's threads inherit the mask
    System::Init();
    Guard<Sched::Scheduler> scheduler(Core::New<Sched::LocalSched>().Raw());
    Guard<Sched::Notify> notify(Core::New<Sched::EpollNotify>().Raw());
    notify->Init(Sched::Notify::Param());
    Guard<QueuedEcho> echo = Core::New<QueuedEcho>();
    Guard<Sched::AcceptGroup> server = Core::New<Sched::AcceptGroup>(Sched::SocketGroup::SYNC);
    Sched::SocketGroup::Param param(scheduler, notify, Guard<Sched::IoEvent>(echo.Raw()), 0, 0, 1u << 20);
    Io::Socket::Address address("127.0.0.1", static_cast<unsigned short>(std::atoi(argv[1])));
    if (!server->Init(param) || !server->Create(address)) {
        std::fprintf(stderr, "queued echo: cannot listen on %s\n", argv[1]);
        return 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    server->UnInit(2000);
    scheduler->UnInit(2000);
    System::UnInit();
    return 0;
}
