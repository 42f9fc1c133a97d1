#include <vor/io/iobase.h>

#include "io/internal/format.h"
#include "io/internal/text.h"

#include <vor/basic/basic.h>

#include <cstring>
#include <ostream>
#include <string>
#include <typeinfo>

namespace Vor {

template <>
Io::IoObject* Core::Guard<Io::IoObject>::s_pNull = nullptr;
namespace Io {

// ---------------------------------------------------------------- IoParam

bool IoParam::Copy(IoParam const&) { return false; }

bool RandomParam::Copy(IoParam const& other)
{
    RandomParam const* source = dynamic_cast<RandomParam const*>(&other);
    if (source == nullptr)
        return false;
    m_uReadPos = source->m_uReadPos;
    m_uWritePos = source->m_uWritePos;
    return true;
}

// --------------------------------------------------------------- IoObject

namespace {

constexpr unsigned int Bit(IoParam::Attrib bit) { return 1u << static_cast<unsigned int>(bit); }

bool IsBitNumber(IoParam::Attrib bit) { return static_cast<unsigned int>(bit) <= 31; }

// A temporary buffer for object-to-object copies, freed on every path.
class Scratch {
public:
    explicit Scratch(unsigned int n) : m_pData(n > 0 ? Basic::AllocMem(n) : nullptr), m_bWanted(n > 0) {}
    ~Scratch()
    {
        if (m_pData != nullptr)
            Basic::FreeMem(m_pData);
    }
    Scratch(Scratch const&) = delete;
    Scratch& operator=(Scratch const&) = delete;

    bool IsMissing() const { return m_bWanted && m_pData == nullptr; }
    void* Get() const { return m_pData; }

private:
    void* m_pData;
    bool m_bWanted;
};

// Reads a value of type T through the plain buffer read. A short read is a
// failure: the bytes that did not arrive are not the value.
template <class T>
T ReadValue(IoObject const& object, T fallback)
{
    T value;
    if (object.Read(&value, sizeof(T)) != sizeof(T))
        return fallback;
    return value;
}

} // namespace

IoObject::IoObject(unsigned int count)
    : GlobalRef(count), m_uAttrib(Bit(IoParam::VALID) | Bit(IoParam::READABLE) | Bit(IoParam::WRITABLE) | Bit(IoParam::LOCAL))
{
}

IoObject::~IoObject() = default;

unsigned int IoObject::CopyTo(IoObject& dst, unsigned int n, IoParam* param) const
{
    if (dst.OptReadWrite())
        return dst.ReceiveFrom(*this, n, param);
    Scratch buffer(n);
    if (buffer.IsMissing())
        return FAILED;
    unsigned int count = param != nullptr ? Read(buffer.Get(), n, *param) : Read(buffer.Get(), n);
    if (count == FAILED)
        return FAILED;
    bool written = param != nullptr ? dst.Write(buffer.Get(), count, *param) : dst.Write(buffer.Get(), count);
    return written ? count : FAILED;
}

bool IoObject::CopyFrom(IoObject const& src, unsigned int n, IoParam* param)
{
    if (src.OptReadWrite())
        return (param != nullptr ? src.Read(*this, n, *param) : src.Read(*this, n)) == n;
    Scratch buffer(n);
    if (buffer.IsMissing())
        return false;
    unsigned int count = param != nullptr ? src.Read(buffer.Get(), n, *param) : src.Read(buffer.Get(), n);
    if (count != n)
        return false;
    return param != nullptr ? Write(buffer.Get(), n, *param) : Write(buffer.Get(), n);
}

unsigned int IoObject::Read(IoObject& dst, unsigned int n, IoParam& param) const { return CopyTo(dst, n, &param); }
unsigned int IoObject::Read(IoObject& dst, unsigned int n) const { return CopyTo(dst, n, nullptr); }
bool IoObject::Write(IoObject const& src, unsigned int n, IoParam& param) { return CopyFrom(src, n, &param); }
bool IoObject::Write(IoObject const& src, unsigned int n) { return CopyFrom(src, n, nullptr); }

unsigned int IoObject::ReceiveFrom(IoObject const& src, unsigned int n, IoParam* param)
{
    bool done = param != nullptr ? Write(src, n, *param) : Write(src, n);
    return done ? n : FAILED;
}

unsigned char IoObject::ReadUInt8(unsigned char value) const { return ReadValue(*this, value); }
unsigned short IoObject::ReadUInt16(unsigned short value) const { return ReadValue(*this, value); }
unsigned int IoObject::ReadUInt32(unsigned int value) const { return ReadValue(*this, value); }
unsigned long long IoObject::ReadUInt64(unsigned long long value) const { return ReadValue(*this, value); }
float IoObject::ReadFloat(float value) const { return ReadValue(*this, value); }
double IoObject::ReadDouble(double value) const { return ReadValue(*this, value); }

bool IoObject::WriteUInt8(unsigned char value) { return Write(&value, sizeof value); }
bool IoObject::WriteUInt16(unsigned short value) { return Write(&value, sizeof value); }
bool IoObject::WriteUInt32(unsigned int value) { return Write(&value, sizeof value); }
bool IoObject::WriteUInt64(unsigned long long value) { return Write(&value, sizeof value); }
bool IoObject::WriteFloat(float value) { return Write(&value, sizeof value); }
bool IoObject::WriteDouble(double value) { return Write(&value, sizeof value); }

bool IoObject::SeekTarget(long long offset, IoParam::Offset origin, unsigned long long position,
                          unsigned long long size, unsigned long long& target)
{
    // The magnitude is formed unsigned: -(-2^63) does not fit a long long.
    unsigned long long magnitude = offset < 0 ? 0ull - static_cast<unsigned long long>(offset)
                                              : static_cast<unsigned long long>(offset);
    switch (origin) {
    case IoParam::BEGIN:
        target = magnitude;
        return true;
    case IoParam::END:
        if (magnitude > size)
            return false;
        target = size - magnitude;
        return true;
    case IoParam::CURRENT:
        if (offset < 0) {
            if (magnitude > position)
                return false;
            target = position - magnitude;
        } else {
            if (magnitude > ~0ull - position)
                return false;
            target = position + magnitude;
        }
        return true;
    default:
        if (offset < 0)
            return false;
        target = magnitude;
        return true;
    }
}

bool IoObject::Seek(long long, IoParam::Offset) { return false; }
unsigned long long IoObject::GetPosition() const { return NO_POSITION; }
unsigned long long IoObject::GetSize() const { return NO_POSITION; }

bool IoObject::FormatAndWrite(IoParam* param, char const* format, std::va_list args)
{
    Basic::Array<char> text;
    unsigned int length = 0;
    if (!Internal::FormatText(text, length, format, args))
        return false;
    char const* bytes = length > 0 ? static_cast<char const*>(text) : "";
    return param != nullptr ? Write(bytes, length, *param) : Write(bytes, length);
}

bool IoObject::FormatAndWrite(IoParam* param, wchar_t const* format, std::va_list args)
{
    Basic::Array<wchar_t> text;
    unsigned int length = 0;
    if (!Internal::FormatText(text, length, format, args))
        return false;
    std::string bytes;
    Internal::AppendUtf16Le(bytes, text, length);
    if (bytes.size() > 0xFFFFFFFFu)
        return false;
    unsigned int size = static_cast<unsigned int>(bytes.size());
    return param != nullptr ? Write(bytes.data(), size, *param) : Write(bytes.data(), size);
}

bool IoObject::Printf(IoParam& param, wchar_t const* format, std::va_list args) { return FormatAndWrite(&param, format, args); }
bool IoObject::Printf(IoParam& param, char const* format, std::va_list args) { return FormatAndWrite(&param, format, args); }
bool IoObject::Printf(wchar_t const* format, std::va_list args) { return FormatAndWrite(nullptr, format, args); }
bool IoObject::Printf(char const* format, std::va_list args) { return FormatAndWrite(nullptr, format, args); }

bool IoObject::Flush() { return false; }

bool IoObject::GetAttrib(IoParam::Attrib bit) const
{
    return IsBitNumber(bit) && (m_uAttrib.load(std::memory_order_acquire) & Bit(bit)) != 0;
}

bool IoObject::SetAttrib(IoParam::Attrib bit, bool on)
{
    if (!IsBitNumber(bit))
        return false;
    if (on)
        m_uAttrib.fetch_or(Bit(bit), std::memory_order_acq_rel);
    else
        m_uAttrib.fetch_and(~Bit(bit), std::memory_order_acq_rel);
    return true;
}

unsigned int IoObject::GetEach(unsigned int bits) const
{
    unsigned int on = 0;
    for (unsigned int bit = 0; bit < 32; ++bit)
        if ((bits & (1u << bit)) && GetAttrib(static_cast<IoParam::Attrib>(bit)))
            on |= 1u << bit;
    return on;
}

void IoObject::SetEach(unsigned int clear, unsigned int set)
{
    for (unsigned int bit = 0; bit < 32; ++bit) {
        unsigned int one = 1u << bit;
        if ((clear | set) & one)
            SetAttrib(static_cast<IoParam::Attrib>(bit), (set & one) != 0);
    }
}

Core::Guard<IoParam> IoObject::GetParam() const { return m_Param; }

bool IoObject::SetParam(Core::Guard<IoParam> param)
{
    m_Param = std::move(param);
    return true;
}

void IoObject::Output(std::wostream& stream) const { stream << static_cast<void const*>(this); }
void IoObject::Output(std::ostream& stream) const { stream << static_cast<void const*>(this); }

bool IoObject::OptReadWrite() const { return false; }

// ----------------------------------------------------------------- NullIo

NullIo::NullIo() : IoObject(GlobalRef::UNCOUNTED) {}

unsigned int NullIo::Read(void*, unsigned int, IoParam&) const { return FAILED; }
unsigned int NullIo::Read(void*, unsigned int) const { return FAILED; }
bool NullIo::Write(void const*, unsigned int, IoParam&) { return false; }
bool NullIo::Write(void const*, unsigned int) { return false; }
bool NullIo::Close() { return true; }

// ----------------------------------------------------------------- IoBase

IoObject* IoBase::GetNull()
{
    // Never destroyed: handles inside static objects may still be released
    // while the process exits.
    static IoObject* s_pNullIo = [] {
        IoObject* null = new NullIo;
        Core::Guard<IoObject>::SetNull(null);
        return null;
    }();
    return s_pNullIo;
}

IoObject* IoBase::Acquire(IoObject* object)
{
    IoObject* null = GetNull();
    if (object == nullptr || object == null || !Core::GlobalRef::IncRefAt(object))
        return null;
    return object;
}

IoObject* IoBase::AcquireHeld(IoObject* object)
{
    object->IncRefHeld(); // held by a handle: alive, and the null object is uncounted
    return object;
}

void IoBase::Release(IoObject* object)
{
    object->DecRef(); // the null object is uncounted: nothing changes for it
}

IoBase::IoBase() : m_pIo(GetNull()) {}
IoBase::IoBase(IoObject* object) : m_pIo(Acquire(object)) {}
IoBase::IoBase(IoObject* object, Held) : m_pIo(object != nullptr ? AcquireHeld(object) : GetNull()) {}

IoBase& IoBase::operator=(IoBase const& other)
{
    IoObject* old = m_pIo;
    m_pIo = AcquireHeld(other.m_pIo); // the new reference first: self-assignment is safe
    Release(old);
    return *this;
}

bool IoBase::Clear()
{
    if (!IsValid())
        return false;
    IoObject* old = m_pIo;
    m_pIo = GetNull();
    Release(old);
    return true;
}

bool IoBase::Close()
{
    if (!m_pIo->Close())
        return false;
    return Clear();
}

VOR_HOT Core::Guard<IoObject> IoBase::GetObject() const
{
    // The null object of Guard<IoObject> is installed: this handle was
    // built, which made it.
    if (m_pIo == Core::Guard<IoObject>::s_pNull)
        return Core::Guard<IoObject>();
    m_pIo->IncRefHeld();
    return Core::Guard<IoObject>::Adopt(m_pIo);
}

bool IoBase::operator<(IoBase const& other) const
{
    return reinterpret_cast<std::uintptr_t>(m_pIo) < reinterpret_cast<std::uintptr_t>(other.m_pIo);
}

std::ostream& operator<<(std::ostream& stream, IoBase const& handle)
{
    handle.m_pIo->Output(stream);
    return stream;
}

std::wostream& operator<<(std::wostream& stream, IoBase const& handle)
{
    handle.m_pIo->Output(stream);
    return stream;
}

// --------------------------------------------------------------- IoDevice

bool IoDevice::Open() { return Open(Param()); }

bool IoDevice::Open(Param const& param)
{
    m_Handle.Clear();
    IoObject* object = Create(param);
    if (object != nullptr) {
        m_Handle = IoHandle(object);
        object->DecRef(); // the handle is now the only owner
    }
    return m_Handle.IsValid();
}

IoObject* IoDevice::Create(Param const&) { return nullptr; }

} // namespace Io
} // namespace Vor
