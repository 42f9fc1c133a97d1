// A UDP receiver: a socket on 127.0.0.1 watched by a UdpRecvNotify with two
// receive threads, and a second socket that sends it five datagrams. Each
// datagram arrives as a read handle over its own buffer, whose parameter
// holds the sender's address; the program prints them as they come.
#include <vor/vor.h>

#include <atomic>
#include <cstdio>
#include <string>

using namespace Vor;
using Core::Guard;

namespace {

constexpr unsigned int kDatagrams = 5;
std::atomic<unsigned int> g_Received{0};

// Runs on a receive thread; two may run at once.
void OnDatagram(Io::ReadHandle datagram)
{
    char text[64] = {};
    unsigned int got = datagram.Read(text, sizeof text - 1);
    Guard<Io::IoParam> param = datagram.GetParam();
    auto const* from = dynamic_cast<Io::Socket::Param const*>(param.Raw());
    if (got == Io::IoObject::FAILED || from == nullptr)
        return;
    std::printf("received \"%s\" from %s:%u\n", text, from->address.IpString().c_str(),
                static_cast<unsigned int>(from->address.Port()));
    ++g_Received;
}

} // namespace

int main()
{
    System::Init();
    Io::Socket receiver, sender;
    Io::Socket::Address loopback("127.0.0.1", 0);
    if (!receiver.Open(Io::Socket::SOCKET_UDP) || !receiver.Bind(loopback) ||
        !sender.Open(Io::Socket::SOCKET_UDP) || !sender.Bind(loopback)) {
        std::printf("the sockets did not open\n");
        return 1;
    }
    Io::Socket::Param to(Io::Socket::GetAddress(receiver.GetHandle(), Io::Socket::Param::LOCAL_ADDR));

    Guard<Sched::UdpRecvNotify> notify = Core::New<Sched::UdpRecvNotify>();
    Core::CallBack onDatagram;
    onDatagram.Bind(&OnDatagram);
    if (!notify->Init(Sched::UdpRecvNotify::Param(2, 1 << 20)) ||
        !notify->Attach(receiver.GetReadHandle(), onDatagram)) {
        std::printf("the receiver did not start\n");
        return 1;
    }
    std::printf("receiving on 127.0.0.1:%u\n", static_cast<unsigned int>(to.address.Port()));
    for (unsigned int i = 1; i <= kDatagrams; ++i) {
        std::string text = "datagram " + std::to_string(i);
        sender.GetHandle().Write(text.data(), static_cast<unsigned int>(text.size()), to);
    }
    for (unsigned int waited = 0; g_Received.load() < kDatagrams && waited < 5000; waited += 10)
        System::Sleep(10);

    notify->UnInit(1000);
    System::UnInit();
    std::printf("%u of %u datagrams arrived\n", g_Received.load(), kDatagrams);
    return g_Received.load() == kDatagrams ? 0 : 1;
}
