// A small request/response protocol framed with PacketUtil, over TCP and
// over UDP on 127.0.0.1.
//
// Every message is an 8-byte header followed by its body:
//
//     kind      2 bytes   1 request, 2 response
//     sequence  2 bytes   the request's number, echoed by its response
//     length    4 bytes   the body size
//
// all in network byte order. A request body is a list of 32-bit numbers;
// its response body is their sum as a 64-bit number and the count as a
// 16-bit one. The client and the server run one after the other on this
// thread: each message is small enough to wait in the socket's buffer.
#include <vor/io/socket.h>
#include <vor/util/packet.h>

#include <cstdio>
#include <vector>

using namespace Vor;

namespace {

enum Kind : unsigned short { REQUEST = 1, RESPONSE = 2 };

class Message : public Util::PacketUtil {
public:
    Message() : m_Packet(CreateIo()), m_Send(m_Packet), m_Recv(m_Packet) {}

    // Builds a request for the sum of `numbers`.
    bool Request(unsigned short sequence, std::vector<unsigned int> const& numbers)
    {
        Start(REQUEST, sequence);
        for (unsigned int n : numbers)
            if (!m_Packet.WriteUInt32(n))
                return false;
        return Finish();
    }

    // Answers the request just received.
    bool Answer()
    {
        unsigned long long sum = 0;
        unsigned short count = 0;
        for (unsigned int left = m_uLength; left >= 4; left -= 4, ++count)
            sum += m_Packet.ReadUInt32();
        Start(RESPONSE, m_uSequence);
        return m_Packet.WriteUInt64(sum) && m_Packet.WriteUInt16(count) && Finish();
    }

    // Reads the response just received.
    bool Result(unsigned long long& sum, unsigned short& count)
    {
        if (m_uKind != RESPONSE || m_uLength != 10)
            return false;
        sum = m_Packet.ReadUInt64();
        count = m_Packet.ReadUInt16();
        return true;
    }

    bool ReceiveTcp(Io::ReadHandle const& socket) { return CreateTcp(socket); }
    bool ReceiveUdp(Io::ReadHandle const& socket, Io::Socket::Param& from) { return CreateUdp(socket, from); }
    bool SendTo(Io::WriteHandle socket) { return Send(socket); }
    bool SendTo(Io::WriteHandle socket, Io::Socket::Param& to) { return Send(socket, to); }

    unsigned short Kind() const { return m_uKind; }
    unsigned short Sequence() const { return m_uSequence; }
    unsigned int Length() const { return m_uLength; }

protected:
    Io::ReadHandle& GetSendPacket() override { return m_Send; }
    Io::WriteHandle& GetRecvPacket() override { return m_Recv; }
    unsigned int GetHeaderSize() override { return 8; }
    unsigned int GetBodySize() override { return m_uLength; }
    bool EncodeHeader() override
    {
        return m_Packet.WriteUInt16(m_uKind) && m_Packet.WriteUInt16(m_uSequence) && m_Packet.WriteUInt32(m_uLength);
    }
    bool DecodeHeader() override
    {
        m_uKind = m_Packet.ReadUInt16();
        m_uSequence = m_Packet.ReadUInt16();
        m_uLength = m_Packet.ReadUInt32();
        return m_uKind == REQUEST || m_uKind == RESPONSE;
    }

private:
    // The body is written after the header's room; the header itself is
    // written by Send through EncodeHeader.
    void Start(unsigned short kind, unsigned short sequence)
    {
        m_uKind = kind;
        m_uSequence = sequence;
        m_Packet.Seek(0, Io::IoParam::BEGIN);
    }
    bool Finish()
    {
        m_uLength = static_cast<unsigned int>(m_Packet.GetPosition());
        return true;
    }

    Io::IoHandle m_Packet;
    Io::ReadHandle m_Send;
    Io::WriteHandle m_Recv;
    unsigned short m_uKind = 0;
    unsigned short m_uSequence = 0;
    unsigned int m_uLength = 0;
};

// The two ends of one transport. Over UDP the server answers whoever sent
// the request, at the address the request came from.
struct Link {
    char const* name = "";
    Io::IoHandle client;
    Io::IoHandle server;
    bool udp = false;
    Io::Socket::Param serverAddress; // where the client sends (UDP)
    Io::Socket::Param requester;     // where the last request came from (UDP)

    bool Send(Message& message, bool fromClient)
    {
        Io::IoHandle& socket = fromClient ? client : server;
        if (!udp)
            return message.SendTo(socket);
        return message.SendTo(socket, fromClient ? serverAddress : requester);
    }
    bool Receive(Message& message, bool atClient)
    {
        if (!udp)
            return message.ReceiveTcp(atClient ? client : server);
        Io::Socket::Param from;
        Io::Socket::Param& to = atClient ? from : requester;
        return message.ReceiveUdp(atClient ? client : server, to);
    }
};

bool Exchange(Link& link, unsigned short sequence, std::vector<unsigned int> const& numbers)
{
    Message client, server;
    if (!client.Request(sequence, numbers) || !link.Send(client, true))
        return false;
    std::printf("%s client -> request #%u: %u numbers (%u bytes of body)\n", link.name, sequence,
                static_cast<unsigned int>(numbers.size()), client.Length());
    if (!link.Receive(server, false) || server.Kind() != REQUEST)
        return false;
    std::printf("%s server <- request #%u with %u bytes of body", link.name, server.Sequence(), server.Length());
    if (link.udp)
        std::printf(" from %s:%u", link.requester.address.IpString().c_str(), link.requester.address.Port());
    std::printf("\n");
    if (!server.Answer() || !link.Send(server, false))
        return false;
    unsigned long long sum = 0;
    unsigned short count = 0;
    if (!link.Receive(client, true) || !client.Result(sum, count) || client.Sequence() != sequence)
        return false;
    std::printf("%s client <- response #%u: sum %llu of %u numbers\n", link.name, client.Sequence(), sum, count);
    return true;
}

bool RunTcp()
{
    Io::Socket listener, client;
    if (!listener.Open(Io::Socket::SOCKET_LISTEN) || !listener.Bind(Io::Socket::Address("127.0.0.1", 0)) ||
        !listener.Listen(1))
        return false;
    Io::Socket::Address at = Io::Socket::GetAddress(listener.GetHandle(), Io::Socket::Param::LOCAL_ADDR);
    if (!client.Open(Io::Socket::SOCKET_TCP) || !client.Connect(Io::Socket::Param(at)))
        return false;
    Link link;
    link.name = "tcp";
    link.client = client.GetHandle();
    link.server = Io::Socket::Accept(listener.GetReadHandle());
    if (!link.server.IsValid())
        return false;
    std::printf("tcp connected to %s:%u\n", at.IpString().c_str(), at.Port());
    return Exchange(link, 1, {1, 2, 3}) && Exchange(link, 2, {}) && Exchange(link, 3, {4000000000u, 4000000000u});
}

bool RunUdp()
{
    Io::Socket client, server;
    if (!client.Open(Io::Socket::SOCKET_UDP) || !client.Bind(Io::Socket::Address("127.0.0.1", 0)) ||
        !server.Open(Io::Socket::SOCKET_UDP) || !server.Bind(Io::Socket::Address("127.0.0.1", 0)))
        return false;
    Link link;
    link.name = "udp";
    link.udp = true;
    link.client = client.GetHandle();
    link.server = server.GetHandle();
    link.serverAddress.address = Io::Socket::GetAddress(server.GetHandle(), Io::Socket::Param::LOCAL_ADDR);
    std::printf("udp server at %s:%u\n", link.serverAddress.address.IpString().c_str(),
                link.serverAddress.address.Port());
    return Exchange(link, 1, {10, 20, 30, 40}) && Exchange(link, 2, {7});
}

} // namespace

int main()
{
    bool tcp = RunTcp();
    std::printf("tcp exchange %s\n", tcp ? "done" : "FAILED");
    bool udp = RunUdp();
    std::printf("udp exchange %s\n", udp ? "done" : "FAILED");
    return tcp && udp ? 0 : 1;
}
