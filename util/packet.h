// Packets: a header of fixed size followed by a body whose size the header
// announces, received whole from a TCP stream or a UDP datagram and sent
// whole to any write handle.
//
// The header's content is the application's. It derives from PacketUtil,
// supplies its packet handles, the header size, the body size and the
// coding of its header, and gets the framing:
//
//     class Frame : public Util::PacketUtil {
//     public:
//         Frame() : m_Packet(CreateIo()), m_Send(m_Packet), m_Recv(m_Packet) {}
//     private:
//         Io::IoHandle m_Packet;
//         Io::ReadHandle m_Send;
//         Io::WriteHandle m_Recv;
//         unsigned int m_uBody = 0;
//         Io::ReadHandle& GetSendPacket() override { return m_Send; }
//         Io::WriteHandle& GetRecvPacket() override { return m_Recv; }
//         unsigned int GetHeaderSize() override { return 4; }
//         unsigned int GetBodySize() override { return m_uBody; }
//         bool DecodeHeader() override { m_uBody = m_Packet.ReadUInt32(); return true; }
//         bool EncodeHeader() override { return m_Packet.WriteUInt32(m_uBody); }
//     };
//
// A peer's header is never trusted with memory: a header and body whose sum
// leaves 32 bits or passes the maximum packet size (16 MiB unless set
// otherwise) is refused before anything is reserved for it.
#pragma once

#include <vor/core/export.h>

#include <vor/io/iobase.h>
#include <vor/io/memory.h>

namespace Vor {
namespace Util {

// A memory stream that knows its header size. Positions and sizes are
// reported relative to the first body byte, and 16-, 32- and 64-bit
// integers are read and written in network byte order (most significant
// byte first). Floats and doubles keep the host's order.
class VOR_API PacketIo : public Io::MemoryIo {
public:
    explicit PacketIo(unsigned int headerSize);

    // Integer reads return 0 when the whole value is not there, and then do
    // not move.
    unsigned short ReadUInt16(unsigned short value = 0) const override;
    unsigned int ReadUInt32(unsigned int value = 0) const override;
    unsigned long long ReadUInt64(unsigned long long value = 0) const override;
    bool WriteUInt16(unsigned short value) override;
    bool WriteUInt32(unsigned int value) override;
    // The high word first; stops when that write fails.
    bool WriteUInt64(unsigned long long value) override;

    // BEGIN counts from the first body byte. END counts from the end of the
    // whole buffer and refuses an offset (its low 32 bits) beyond the body
    // size. CURRENT moves from the present position.
    bool Seek(long long offset, Io::IoParam::Offset origin) override;
    // Both wrap below zero while the position or size lies inside the
    // header: at the first header byte the position is 2^64 - header size.
    unsigned long long GetPosition() const override;
    unsigned long long GetSize() const override;

    // Moves to the first header byte.
    virtual bool ResetPointer();

    unsigned int GetHeaderSize() const { return m_uHeaderSize; }
    // Forgets the content (the size becomes 0) and moves to the first header
    // byte; the buffer keeps its room for the next packet.
    void Restart();

protected:
    ~PacketIo() override;

private:
    friend class PacketUtil;

    // The framing's steps on a packet of exactly this type, each what the
    // operation named beside it does here, without the calls in between.
    // The position at the first body byte, as Seek(0, BEGIN).
    bool ToBody();
    // n bytes from `src` at the position, as Write(src, n) followed by the
    // test that the position moved by n.
    bool Take(Io::IoObject const& src, unsigned int n, Io::IoParam* p);
    // Back to an absolute position, as Seek to it less the header size.
    void Return(unsigned int position);

    unsigned int const m_uHeaderSize;
};

// Packet framing: builds and parses packets with a header in network byte
// order (see above).
class VOR_API PacketUtil {
public:
    // Packets larger than this (header and body) are refused unless the
    // limit is changed.
    static constexpr unsigned int DEFAULT_MAX_PACKET = 16u * 1024 * 1024;
    // The largest datagram a packet arrives in.
    static constexpr unsigned int MAX_DATAGRAM = 8192;

    // The device that makes PacketIo objects. Opening it with anything but
    // its own Param fails (a plain Memory::CreateParam included).
    class VOR_API PacketFactory : public Io::Memory {
    public:
        // The header size, memory kind and initial size of a packet to create.
        class Param : public Io::Memory::CreateParam {
        public:
            explicit Param(unsigned int headerSize, Io::Memory::MemType type = Io::Memory::MEM_SEQUENTIAL,
                           unsigned int size = 0)
                : CreateParam(type, size), m_uHeaderSize(headerSize)
            {
            }
            unsigned int m_uHeaderSize;
        };

        PacketFactory() = default;

        using Io::Memory::Open;
        // Makes a new, empty PacketIo with the parameter's header size.
        bool Open(Param const& param) { return Io::IoDevice::Open(param); }

    protected:
        Io::IoObject* Create(Io::IoDevice::Param const& param) override;
    };

    // The receive limit: header and body together. 0 refuses every packet.
    void SetMaxPacketSize(unsigned int bytes) { m_uMaxPacket = bytes; }
    unsigned int GetMaxPacketSize() const { return m_uMaxPacket; }

protected:
    PacketUtil() = default;
    PacketUtil(PacketUtil const&) = default;
    PacketUtil& operator=(PacketUtil const&) = default;
    virtual ~PacketUtil() = default;

    // The packet to be sent and the packet being received; usually handles
    // to one and the same PacketIo.
    virtual Io::ReadHandle& GetSendPacket() = 0;
    virtual Io::WriteHandle& GetRecvPacket() = 0;
    // Parses the header of the received packet, which stands at its first
    // header byte; true when the header is valid.
    virtual bool DecodeHeader() = 0;
    // Writes the header of the packet to be sent at its first header byte.
    virtual bool EncodeHeader() = 0;
    virtual unsigned int GetHeaderSize() = 0;
    // The body size of the current packet: the one just decoded, or the one
    // to be sent.
    virtual unsigned int GetBodySize() = 0;
    // Moves the packet in hand to its first header byte: the receive packet
    // while a packet is being received, the send packet otherwise. False
    // when that packet is not a PacketIo. Every send and receive step that
    // rewinds goes through here, so an override sees them all.
    virtual bool ResetPointer();

    // A new, empty PacketIo with this type's header size; empty on failure.
    Io::IoHandle CreateIo();

    // Receives one packet from a stream: exactly the header, then exactly
    // the body it announces. On success the packet stands at its first body
    // byte and its size is the body size. With `p` the peer's address is
    // stored there.
    bool CreateTcp(Io::ReadHandle const& src);
    bool CreateTcp(Io::ReadHandle const& src, Io::IoParam& p);
    // Receives one packet from one datagram, which must be exactly as long
    // as its header says. With `p` the sender's address is stored there.
    bool CreateUdp(Io::ReadHandle const& src);
    bool CreateUdp(Io::ReadHandle const& src, Io::IoParam& p);
    // Sends the whole packet (header and body); true only when every byte
    // went. The packet's position is left as it was. With `p` (UDP) the
    // destination address is taken from `p`.
    bool Send(Io::WriteHandle& dst);
    bool Send(Io::WriteHandle& dst, Io::IoParam& p);

private:
    class Phase;
    class Steps;

    bool ReceiveTcp(Io::ReadHandle const& src, Io::IoParam* p);
    bool ReceiveUdp(Io::ReadHandle const& src, Io::IoParam* p);
    bool SendPacket(Io::WriteHandle& dst, Io::IoParam* p);
    bool StartReceive();
    bool Receive(Io::ReadHandle const& src, unsigned int n, Io::IoParam* p);
    bool Admits(unsigned long long total) const;

    unsigned int m_uMaxPacket = DEFAULT_MAX_PACKET;
    // Set while CreateTcp or CreateUdp runs.
    bool m_bReceiving = false;
};

} // namespace Util
} // namespace Vor
