// Packet framing over arbitrary byte streams and datagrams, read from memory
// objects: every packet received is exactly the bytes the stream held, a
// refused packet never reserves more than the maximum, and sending a
// received packet gives its bytes back unchanged.
//
// Input: byte 0 chooses the header size (0 to 8) and byte 1 the mode (stream
// or datagrams, one packet object or two, the maximum packet size); the rest
// is the stream, or datagrams each preceded by a 2-byte length.
#include <vor/io/memory.h>
#include <vor/util/packet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Vor;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// The first min(header, 4) header bytes are the body size, most significant
// first; a fifth header byte of 0xFF marks a header the decoder rejects.
class FuzzFrame : public Util::PacketUtil {
public:
    FuzzFrame(unsigned int header, bool separate) : m_uHeader(header)
    {
        m_Send = CreateIo();
        m_Recv = separate ? CreateIo() : m_Send;
        m_SendView = Io::ReadHandle(m_Send);
        m_RecvView = Io::WriteHandle(m_Recv);
    }

    using PacketUtil::CreateTcp;
    using PacketUtil::CreateUdp;
    using PacketUtil::Send;

    Io::IoHandle m_Send;
    Io::IoHandle m_Recv;
    unsigned int m_uBody = 0;

protected:
    Io::ReadHandle& GetSendPacket() override { return m_SendView; }
    Io::WriteHandle& GetRecvPacket() override { return m_RecvView; }
    bool DecodeHeader() override
    {
        m_uBody = 0;
        for (unsigned int i = 0; i < m_uHeader && i < 4; ++i)
            m_uBody = (m_uBody << 8) | m_Recv.ReadUInt8();
        return m_uHeader < 5 || m_Recv.ReadUInt8() != 0xFF;
    }
    bool EncodeHeader() override
    {
        for (unsigned int i = 0; i < m_uHeader && i < 4; ++i) {
            unsigned int shift = 8 * ((m_uHeader < 4 ? m_uHeader : 4) - 1 - i);
            if (!m_Send.WriteUInt8(static_cast<unsigned char>(m_uBody >> shift)))
                return false;
        }
        return true;
    }
    unsigned int GetHeaderSize() override { return m_uHeader; }
    unsigned int GetBodySize() override { return m_uBody; }

private:
    unsigned int m_uHeader;
    Io::ReadHandle m_SendView;
    Io::WriteHandle m_RecvView;
};

Io::IoHandle MemoryWith(std::uint8_t const* data, std::size_t size)
{
    Io::Memory memory;
    Check(memory.Open(Io::Memory::MEM_SEQUENTIAL, 0));
    if (size > 0)
        Check(memory.GetHandle().Write(data, static_cast<unsigned int>(size)));
    Check(memory.GetHandle().Seek(0, Io::IoParam::BEGIN));
    return memory.GetHandle();
}

std::string Everything(Io::IoHandle& handle)
{
    std::string bytes(handle.GetSize(), '\0');
    Check(handle.Seek(0, Io::IoParam::BEGIN));
    if (!bytes.empty())
        Check(handle.Read(&bytes[0], static_cast<unsigned int>(bytes.size())) == bytes.size());
    return bytes;
}

// A received packet: its size is its body, it stands at the body's start,
// it fits the limit, and its bytes are those the source held at `at`.
void CheckPacket(FuzzFrame& frame, unsigned int header, std::uint8_t const* at)
{
    Check(header + static_cast<unsigned long long>(frame.m_uBody) <= frame.GetMaxPacketSize());
    Check(frame.m_Recv.GetSize() == frame.m_uBody);
    Check(frame.m_Recv.GetPosition() == 0);
    std::string body(frame.m_uBody, '\0');
    if (!body.empty())
        Check(frame.m_Recv.Read(&body[0], frame.m_uBody) == frame.m_uBody);
    Check(std::memcmp(body.data(), at + header, body.size()) == 0);

    // Sending it back gives the same bytes: the re-encoded length and the
    // rest of the header as received.
    if (frame.m_Send != frame.m_Recv)
        return;
    Io::Memory out;
    Check(out.Open(Io::Memory::MEM_SEQUENTIAL, 0));
    Io::WriteHandle dst = out.GetWriteHandle();
    unsigned long long position = frame.m_Send.GetPosition();
    Check(frame.Send(dst));
    Check(frame.m_Send.GetPosition() == position);
    std::string sent = Everything(out.GetHandle());
    Check(sent.size() == header + body.size());
    Check(std::memcmp(sent.data(), at, sent.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Any allocation above a few MiB fails the run: packets here are at most
    // 1 MiB, and a header that reserves what it announces must be caught.
    static std::vector<char*> args;
    static char limit[] = "-malloc_limit_mb=64";
    args.assign(*argv, *argv + *argc);
    args.push_back(limit);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size < 2)
        return 0;
    unsigned int header = data[0] % 9;
    unsigned int mode = data[1];
    bool datagrams = (mode & 1) != 0;
    bool separate = (mode & 2) != 0;
    static unsigned int const limits[] = {0, 7, 300, 4096, 1u << 20};
    FuzzFrame frame(header, separate);
    Check(frame.m_Send.IsValid() && frame.m_Recv.IsValid());
    frame.SetMaxPacketSize(limits[(mode >> 2) % 5]);
    data += 2;
    size -= 2;

    if (!datagrams) {
        Io::IoHandle stream = MemoryWith(data, size);
        Io::ReadHandle src(stream);
        for (int packets = 0; packets < 64; ++packets) {
            unsigned long long at = stream.GetPosition();
            if (!frame.CreateTcp(src))
                break;
            Check(stream.GetPosition() == at + header + frame.m_uBody);
            CheckPacket(frame, header, data + at);
        }
        return 0;
    }

    for (std::size_t at = 0; at + 2 <= size;) {
        std::size_t length = (static_cast<std::size_t>(data[at]) << 8) | data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        Io::IoHandle datagram = MemoryWith(data + at, length);
        if (frame.CreateUdp(Io::ReadHandle(datagram))) {
            Check(length == header + static_cast<std::size_t>(frame.m_uBody));
            CheckPacket(frame, header, data + at);
        }
        at += length;
    }
    return 0;
}
