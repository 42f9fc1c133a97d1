#include <vor/io/memory.h>

#include <cstring>
#include <typeinfo>

namespace Vor {
namespace Io {

namespace {

constexpr unsigned long long MAX_MEMORY = 0xFFFFFFFFull;

// pos + n <= size, without forming a sum that can wrap (a RandomParam that
// was never given a position carries all ones).
bool Fits(unsigned long long pos, unsigned long long n, unsigned long long size)
{
    return pos <= size && n <= size - pos;
}

unsigned int Smaller(unsigned long long a, unsigned int b) { return a < b ? static_cast<unsigned int>(a) : b; }

} // namespace

// ----------------------------------------------------------------- Memory

bool Memory::Open(MemType type, unsigned int size) { return IoDevice::Open(CreateParam(type, size)); }

IoObject* Memory::Create(IoDevice::Param const& param)
{
    CreateParam const* create = dynamic_cast<CreateParam const*>(&param);
    if (create == nullptr)
        return nullptr;
    switch (create->m_Type) {
    case MEM_SEQUENTIAL: {
        MemoryIo* object = new MemoryIo;
        if (object->Open(create->m_uSize))
            return object;
        object->DecRef();
        return nullptr;
    }
    case MEM_RANDOM: {
        RandomMemoryIo* object = new RandomMemoryIo;
        if (object->Open(create->m_uSize))
            return object;
        object->DecRef();
        return nullptr;
    }
    default:
        return nullptr;
    }
}

// --------------------------------------------------------------- MemoryIo

MemoryIo::MemoryIo()
{
    m_Direct.exact = &typeid(MemoryIo);
    SetAttrib(IoParam::READABLE, true);
    SetAttrib(IoParam::WRITABLE, true);
    SetAttrib(IoParam::LOCAL, true);
    SetAttrib(IoParam::DATAGRAM, false);
}

MemoryIo::~MemoryIo() = default;

// Makes the buffer hold at least `end` bytes. The sum behind `end` is formed
// in 64 bits by the callers, so a request past 4 GiB is refused here instead
// of wrapping into a smaller buffer. The capacity grows at least by half so
// that a run of small writes costs linear time.
bool MemoryIo::Reserve(unsigned long long end)
{
    unsigned long long capacity = m_Buffer.GetSize();
    if (end <= capacity)
        return true;
    if (end > MAX_MEMORY)
        return false;
    unsigned long long grown = capacity + capacity / 2;
    if (grown > MAX_MEMORY)
        grown = MAX_MEMORY;
    bool grew = (grown > end && m_Buffer.Alloc(static_cast<unsigned int>(grown))) ||
                m_Buffer.Alloc(static_cast<unsigned int>(end));
    BufferMoved();
    return grew;
}

void MemoryIo::BufferMoved()
{
    m_Direct.data = m_Buffer;
    m_Direct.capacity = m_Buffer.GetSize();
}

bool MemoryIo::ConfirmSize(unsigned int n)
{
    if (n == 0)
        return true;
    return Reserve(static_cast<unsigned long long>(m_Direct.position) + n);
}

bool MemoryIo::Open(unsigned int n) { return ConfirmSize(n); }

void MemoryIo::Truncate(unsigned int size)
{
    if (size < m_Direct.size)
        m_Direct.size = size;
}

// Room for n bytes at the position; the gap left by a seek beyond the size
// is zeroed so that it never exposes old heap contents. The common case, a
// position inside the data with the room, is tested where the callers are.
inline char* MemoryIo::PrepareWrite(unsigned int n)
{
    unsigned int position = m_Direct.position;
    if (position <= m_Direct.size && m_Direct.capacity - position >= n)
        return m_Direct.data + position;
    return Grow(n);
}

char* MemoryIo::Grow(unsigned int n)
{
    if (!ConfirmSize(n))
        return nullptr;
    char* data = m_Buffer;
    if (data == nullptr)
        return nullptr;
    if (m_Direct.position > m_Direct.size)
        std::memset(data + m_Direct.size, 0, m_Direct.position - m_Direct.size);
    return data + m_Direct.position;
}

void MemoryIo::MoveBack(unsigned int n) const
{
    m_Direct.position += n;
    if (m_Direct.position > m_Direct.size)
        m_Direct.size = m_Direct.position;
}

// The bytes a read of n may take, or FAILED when the position is beyond the
// size.
unsigned int MemoryIo::Readable(unsigned int n) const
{
    if (m_Direct.position > m_Direct.size)
        return FAILED;
    return Smaller(m_Direct.size - m_Direct.position, n);
}

unsigned int MemoryIo::Read(void* buffer, unsigned int n) const
{
    unsigned int k = Readable(n);
    if (k == FAILED || k == 0)
        return k;
    std::memcpy(buffer, static_cast<char const*>(m_Buffer) + m_Direct.position, k);
    m_Direct.position += k;
    return k;
}

unsigned int MemoryIo::Read(void* buffer, unsigned int n, IoParam& param) const
{
    Core::Guard<IoParam> own = GetParam();
    if (own.IsValid())
        param.Copy(*own);
    return Read(buffer, n);
}

// Hands the bytes at the position to the destination. A copy into itself
// is refused: growing the buffer for the write would free the bytes being
// written.
unsigned int MemoryIo::ReadInto(IoObject& dst, unsigned int n, IoParam* param) const
{
    if (&dst == this)
        return FAILED;
    unsigned int k = Readable(n);
    if (k == FAILED || k == 0)
        return k;
    char const* data = static_cast<char const*>(m_Buffer) + m_Direct.position;
    bool written = param != nullptr ? dst.Write(data, k, *param) : dst.Write(data, k);
    if (!written)
        return FAILED;
    m_Direct.position += k;
    return k;
}

unsigned int MemoryIo::Read(IoObject& dst, unsigned int n, IoParam& param) const { return ReadInto(dst, n, &param); }
unsigned int MemoryIo::Read(IoObject& dst, unsigned int n) const { return ReadInto(dst, n, nullptr); }

bool MemoryIo::Write(void const* buffer, unsigned int n)
{
    if (n == 0)
        return true;
    char* at = PrepareWrite(n);
    if (at == nullptr)
        return false;
    std::memcpy(at, buffer, n);
    MoveBack(n);
    return true;
}

bool MemoryIo::Write(void const* buffer, unsigned int n, IoParam& param)
{
    Core::Guard<IoParam> own = GetParam();
    if (own.IsValid())
        param.Copy(*own);
    return Write(buffer, n);
}

// Lets the source fill the buffer at the position and moves by what it
// delivered. A copy of the object into itself is refused: its bytes would
// be read and written at one place.
unsigned int MemoryIo::ReceiveFrom(IoObject const& src, unsigned int n, IoParam* param)
{
    if (&src == this)
        return FAILED;
    if (n == 0)
        return 0;
    char* at = PrepareWrite(n);
    if (at == nullptr)
        return FAILED;
    unsigned int count = param != nullptr ? src.Read(at, n, *param) : src.Read(at, n);
    if (count == FAILED || count > n)
        return FAILED;
    MoveBack(count);
    return count;
}

bool MemoryIo::Write(IoObject const& src, unsigned int n, IoParam& param) { return ReceiveFrom(src, n, &param) != FAILED; }
bool MemoryIo::Write(IoObject const& src, unsigned int n) { return ReceiveFrom(src, n, nullptr) != FAILED; }

bool MemoryIo::Close()
{
    m_Direct.size = 0;
    m_Direct.position = 0;
    bool freed = m_Buffer.Free();
    BufferMoved();
    return freed;
}

void MemoryIo::SetDirectType(std::type_info const& exact, bool network)
{
    m_Direct.exact = &exact;
    m_Direct.network = network;
}

// A typed value made virtually: the handles may take the object's values
// themselves from now on when its type is the one the direct state was
// made for. A subclass (the application's) is never given it.
void MemoryIo::OfferDirect() const
{
    if (m_pDirect == nullptr && typeid(*this) == *m_Direct.exact)
        m_pDirect = &m_Direct;
}

template <class T>
T MemoryIo::ReadValue() const
{
    OfferDirect();
    unsigned int position = m_Direct.position;
    if (!Fits(position, sizeof(T), m_Direct.size))
        return T();
    T value;
    std::memcpy(&value, static_cast<char const*>(m_Buffer) + position, sizeof(T));
    m_Direct.position = position + sizeof(T);
    return value;
}

template <class T>
bool MemoryIo::WriteValue(T value)
{
    OfferDirect();
    char* at = PrepareWrite(sizeof(T));
    if (at == nullptr)
        return false;
    std::memcpy(at, &value, sizeof(T));
    MoveBack(sizeof(T));
    return true;
}

unsigned char MemoryIo::ReadUInt8(unsigned char) const { return ReadValue<unsigned char>(); }
unsigned short MemoryIo::ReadUInt16(unsigned short) const { return ReadValue<unsigned short>(); }
unsigned int MemoryIo::ReadUInt32(unsigned int) const { return ReadValue<unsigned int>(); }
unsigned long long MemoryIo::ReadUInt64(unsigned long long) const { return ReadValue<unsigned long long>(); }
float MemoryIo::ReadFloat(float) const { return ReadValue<float>(); }
double MemoryIo::ReadDouble(double) const { return ReadValue<double>(); }
bool MemoryIo::WriteUInt8(unsigned char value) { return WriteValue(value); }
bool MemoryIo::WriteUInt16(unsigned short value) { return WriteValue(value); }
bool MemoryIo::WriteUInt32(unsigned int value) { return WriteValue(value); }
bool MemoryIo::WriteUInt64(unsigned long long value) { return WriteValue(value); }
bool MemoryIo::WriteFloat(float value) { return WriteValue(value); }
bool MemoryIo::WriteDouble(double value) { return WriteValue(value); }

bool MemoryIo::Seek(long long offset, IoParam::Offset origin)
{
    // A move to a place inside the data from its start: packets make several
    // per send and receive.
    if (origin == IoParam::BEGIN && offset >= 0 && static_cast<unsigned long long>(offset) <= m_Direct.size) {
        m_Direct.position = static_cast<unsigned int>(offset);
        return true;
    }
    unsigned long long target = 0;
    if (!SeekTarget(offset, origin, m_Direct.position, m_Direct.size, target) || target > MAX_MEMORY)
        return false;
    if (target > m_Direct.size && !Reserve(target))
        return false;
    m_Direct.position = static_cast<unsigned int>(target);
    return true;
}

unsigned long long MemoryIo::GetPosition() const { return m_Direct.position; }
unsigned long long MemoryIo::GetSize() const { return m_Direct.size; }
bool MemoryIo::OptReadWrite() const { return true; }

// --------------------------------------------------------- RandomMemoryIo

RandomMemoryIo::RandomMemoryIo() : m_uPosition(0)
{
    SetAttrib(IoParam::READABLE, true);
    SetAttrib(IoParam::WRITABLE, true);
    SetAttrib(IoParam::LOCAL, true);
    SetAttrib(IoParam::DATAGRAM, false);
}

RandomMemoryIo::~RandomMemoryIo() = default;

bool RandomMemoryIo::Open(unsigned int n)
{
    if (n == 0) {
        m_uPosition = 0;
        return m_Buffer.Free();
    }
    unsigned int old = Size();
    if (!m_Buffer.Alloc(n))
        return false;
    if (n > old)
        std::memset(static_cast<char*>(m_Buffer) + old, 0, n - old);
    if (m_uPosition > n)
        m_uPosition = n;
    return true;
}

bool RandomMemoryIo::Close()
{
    m_uPosition = 0;
    return m_Buffer.Free();
}

// Positional transfers copy with memmove: a block may copy into itself
// through two positions of one RandomParam.
unsigned int RandomMemoryIo::RandomRead(void* buffer, unsigned long long pos, unsigned int n) const
{
    if (pos > Size())
        return FAILED;
    unsigned int k = Smaller(Size() - pos, n);
    if (k > 0)
        std::memmove(buffer, static_cast<char const*>(m_Buffer) + pos, k);
    return k;
}

bool RandomMemoryIo::RandomWrite(void const* buffer, unsigned long long pos, unsigned int n)
{
    if (!Fits(pos, n, Size()))
        return false;
    if (n > 0)
        std::memmove(static_cast<char*>(m_Buffer) + pos, buffer, n);
    return true;
}

unsigned int RandomMemoryIo::RandomRead(IoObject& dst, unsigned int n, RandomParam& param) const
{
    unsigned long long pos = param.GetReadPos();
    if (pos > Size())
        return FAILED;
    unsigned int k = Smaller(Size() - pos, n);
    if (k == 0)
        return 0;
    return dst.Write(static_cast<char const*>(m_Buffer) + pos, k, param) ? k : FAILED;
}

bool RandomMemoryIo::RandomWrite(IoObject const& src, unsigned int n, RandomParam& param)
{
    unsigned long long pos = param.GetWritePos();
    if (!Fits(pos, n, Size()))
        return false;
    if (n == 0)
        return true;
    return src.Read(static_cast<char*>(m_Buffer) + pos, n, param) == n;
}

template <class T>
T RandomMemoryIo::ReadValue(T fallback) const
{
    if (!Fits(m_uPosition, sizeof(T), Size()))
        return fallback;
    T value;
    std::memcpy(&value, static_cast<char const*>(m_Buffer) + m_uPosition, sizeof(T));
    return value;
}

template <class T>
bool RandomMemoryIo::WriteValue(T value)
{
    if (!Fits(m_uPosition, sizeof(T), Size()))
        return false;
    std::memcpy(static_cast<char*>(m_Buffer) + m_uPosition, &value, sizeof(T));
    return true;
}

unsigned char RandomMemoryIo::ReadUInt8(unsigned char value) const { return ReadValue(value); }
unsigned short RandomMemoryIo::ReadUInt16(unsigned short value) const { return ReadValue(value); }
unsigned int RandomMemoryIo::ReadUInt32(unsigned int value) const { return ReadValue(value); }
unsigned long long RandomMemoryIo::ReadUInt64(unsigned long long value) const { return ReadValue(value); }
float RandomMemoryIo::ReadFloat(float value) const { return ReadValue(value); }
double RandomMemoryIo::ReadDouble(double value) const { return ReadValue(value); }
bool RandomMemoryIo::WriteUInt8(unsigned char value) { return WriteValue(value); }
bool RandomMemoryIo::WriteUInt16(unsigned short value) { return WriteValue(value); }
bool RandomMemoryIo::WriteUInt32(unsigned int value) { return WriteValue(value); }
bool RandomMemoryIo::WriteUInt64(unsigned long long value) { return WriteValue(value); }
bool RandomMemoryIo::WriteFloat(float value) { return WriteValue(value); }
bool RandomMemoryIo::WriteDouble(double value) { return WriteValue(value); }

bool RandomMemoryIo::Seek(long long offset, IoParam::Offset origin)
{
    unsigned long long target = 0;
    if (!SeekTarget(offset, origin, m_uPosition, Size(), target) || target > Size())
        return false;
    m_uPosition = static_cast<unsigned int>(target);
    return true;
}

unsigned long long RandomMemoryIo::GetPosition() const { return m_uPosition; }
unsigned long long RandomMemoryIo::GetSize() const { return Size(); }
bool RandomMemoryIo::OptReadWrite() const { return true; }

} // namespace Io
} // namespace Vor
