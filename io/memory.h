// Memory devices: a growing stream buffer (MemoryIo) and a fixed block for
// random access (RandomMemoryIo), both opened through the device Memory.
//
// Both move the bytes of object-to-object copies themselves (OptReadWrite),
// straight between their buffer and the other object. Sizes and positions
// are 32 bits wide: a memory object holds at most 4 GiB less one byte.
// Memory objects take no locks; one object must not be used from two
// threads at once.
#pragma once

#include <vor/core/export.h>

#include <vor/basic/array.h>
#include <vor/io/iobase.h>
#include <vor/io/randomio.h>

namespace Vor {
namespace Io {

// The device of memory blocks: sequential or random-access memory objects.
class VOR_API Memory : public IoDevice {
public:
    // The kinds of memory object.
    enum MemType : int {
        MEM_SEQUENTIAL = 0, // MemoryIo
        MEM_RANDOM = 1,     // RandomMemoryIo
    };

    // The kind of memory object to create and its initial size.
    class VOR_API CreateParam : public IoDevice::Param {
    public:
        explicit CreateParam(MemType type = MEM_SEQUENTIAL, unsigned int size = 0) : m_Type(type), m_uSize(size) {}

        MemType m_Type;
        unsigned int m_uSize; // the initial buffer size in bytes
    };

    Memory() = default;

    bool Open() override { return IoDevice::Open(); }
    // Makes a memory object of the given kind with `size` bytes of room.
    virtual bool Open(MemType type, unsigned int size);

protected:
    using IoDevice::Open;
    IoObject* Create(IoDevice::Param const& param) override;
};

// A growing stream buffer. Reads and writes move one position forward;
// writes extend the buffer, and the size is the highest position written.
class VOR_API MemoryIo : public IoObject {
public:
    MemoryIo();
    MemoryIo(MemoryIo const&) = delete;
    MemoryIo& operator=(MemoryIo const&) = delete;

    // A short count at the end of the data is normal; the failure marker
    // only when the position is beyond the size.
    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override;
    unsigned int Read(IoObject& dst, unsigned int n, IoParam& param) const override;
    unsigned int Read(void* buffer, unsigned int n) const override;
    unsigned int Read(IoObject& dst, unsigned int n) const override;
    bool Write(void const* buffer, unsigned int n, IoParam& param) override;
    bool Write(IoObject const& src, unsigned int n, IoParam& param) override;
    bool Write(void const* buffer, unsigned int n) override;
    // Takes what the source delivers, up to n bytes; true unless it failed.
    bool Write(IoObject const& src, unsigned int n) override;
    // Empties the object; it can be opened again.
    bool Close() override;

    // Typed reads return 0 (not the given value) when the value is not all
    // there, and then do not move.
    unsigned char ReadUInt8(unsigned char value = 0) const override;
    unsigned short ReadUInt16(unsigned short value = 0) const override;
    unsigned int ReadUInt32(unsigned int value = 0) const override;
    unsigned long long ReadUInt64(unsigned long long value = 0) const override;
    float ReadFloat(float value = 0) const override;
    double ReadDouble(double value = 0) const override;
    bool WriteUInt8(unsigned char value) override;
    bool WriteUInt16(unsigned short value) override;
    bool WriteUInt32(unsigned int value) override;
    bool WriteUInt64(unsigned long long value) override;
    bool WriteFloat(float value) override;
    bool WriteDouble(double value) override;

    // Seeking beyond the size makes room there but does not change the size.
    bool Seek(long long offset, IoParam::Offset origin) override;
    unsigned long long GetPosition() const override;
    unsigned long long GetSize() const override;

    // Makes room for n bytes after the current position.
    bool Open(unsigned int n);

protected:
    ~MemoryIo() override;

    bool ConfirmSize(unsigned int n);
    // Drops the bytes beyond `size` (a larger size changes nothing); the
    // buffer keeps its room and the position stays where it is.
    void Truncate(unsigned int size);
    bool OptReadWrite() const override;
    unsigned int ReceiveFrom(IoObject const& src, unsigned int n, IoParam* param) override;
    // For a library class whose typed values are this class's, in the
    // given byte order: its exact type, for which the handles may move them
    // themselves.
    void SetDirectType(std::type_info const& exact, bool network);
    // The buffer's state, for a library subclass whose own steps work on it
    // straight (packets, while they are framed).
    Direct& State() const { return m_Direct; }

private:
    void OfferDirect() const;
    bool Reserve(unsigned long long end);
    unsigned int Readable(unsigned int n) const;
    char* PrepareWrite(unsigned int n);
    char* Grow(unsigned int n);
    void MoveBack(unsigned int n) const;
    template <class T>
    T ReadValue() const;
    template <class T>
    bool WriteValue(T value);
    unsigned int ReadInto(IoObject& dst, unsigned int n, IoParam* param) const;

    // The size and position live in the direct state, where the handles'
    // fast path for typed values finds them too.
    mutable Direct m_Direct;
    Basic::Array<char> m_Buffer; // its size is the capacity
    // Tells the direct state where the buffer is now.
    void BufferMoved();
};

// A fixed block for random access. Transfers happen at the current position
// or at the positions of a RandomParam and never move the position; only
// Seek moves it, and only Open resizes the block.
class VOR_API RandomMemoryIo : public RandomIo<IoObject> {
public:
    RandomMemoryIo();
    RandomMemoryIo(RandomMemoryIo const&) = delete;
    RandomMemoryIo& operator=(RandomMemoryIo const&) = delete;

    unsigned int RandomRead(void* buffer, unsigned long long pos, unsigned int n) const override;
    unsigned int RandomRead(IoObject& dst, unsigned int n, RandomParam& param) const override;
    bool RandomWrite(void const* buffer, unsigned long long pos, unsigned int n) override;
    bool RandomWrite(IoObject const& src, unsigned int n, RandomParam& param) override;
    bool Close() override;

    // Typed reads return the given value when the value is not all there.
    unsigned char ReadUInt8(unsigned char value = 0) const override;
    unsigned short ReadUInt16(unsigned short value = 0) const override;
    unsigned int ReadUInt32(unsigned int value = 0) const override;
    unsigned long long ReadUInt64(unsigned long long value = 0) const override;
    float ReadFloat(float value = 0) const override;
    double ReadDouble(double value = 0) const override;
    bool WriteUInt8(unsigned char value) override;
    bool WriteUInt16(unsigned short value) override;
    bool WriteUInt32(unsigned int value) override;
    bool WriteUInt64(unsigned long long value) override;
    bool WriteFloat(float value) override;
    bool WriteDouble(double value) override;

    bool Seek(long long offset, IoParam::Offset origin) override;
    unsigned long long GetPosition() const override;
    unsigned long long GetSize() const override;

    // Gives the block exactly n bytes, keeping its content (0 frees it).
    // Bytes beyond the old size start as zeros.
    bool Open(unsigned int n);

protected:
    ~RandomMemoryIo() override;

    bool OptReadWrite() const override;

private:
    unsigned int Size() const { return m_Buffer.GetSize(); }
    template <class T>
    T ReadValue(T fallback) const;
    template <class T>
    bool WriteValue(T value);

    Basic::Array<char> m_Buffer; // its size is the block's size
    unsigned int m_uPosition;
};

} // namespace Io
} // namespace Vor
