// The I/O object model: parameter blocks, implementation objects, the handles
// that hold them and the devices that open them.
//
// Every kind of I/O goes through three layers. An IoObject does the work
// through virtual operations and is counted through GlobalRef. Handles
// (IoHandle, ReadHandle, WriteHandle) are small values holding one counted
// reference each; copying a handle shares the object. A device opens an
// object from a parameter block and keeps an IoHandle to it.
//
// A handle never holds a null pointer: an empty handle holds the one static
// NullIo object, on which every operation fails harmlessly.
//
// Read operations return a byte count, with IoObject::FAILED (0xFFFFFFFF) as
// the failure marker; write operations return whether every byte was taken.
// Typed reads and writes move a value's bytes as they lie in memory on the
// host (little-endian), without conversion.
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <iosfwd>
#include <typeinfo>

namespace Vor {
namespace Io {

class IoObject;
class IoBase;

// A polymorphic block of per-operation options. Empty parameter references
// are empty guards (Guard<IoParam>::s_pNull).
class VOR_API IoParam : public Core::LocalRef {
public:
    // Seek origins.
    enum Offset : int {
        BEGIN = 0,   // the absolute value of the offset
        END = 1,     // the size minus the absolute value of the offset
        CURRENT = 2, // the position plus the signed offset
    };

    // Bit numbers in an object's attribute set.
    enum Attrib : int {
        VALID = 0,
        READABLE = 1,
        WRITABLE = 2,
        RESERVED3 = 3,
        IDLE = 4,
        LOCAL = 5,
        DATAGRAM = 6, // sockets: plain transfers make one system call
        RESERVED7 = 7,
        BUFFERED = 8, // the object works over a buffered FILE stream
        RANDOM = 9,   // random access at positions
        EXCEPT = 31,
    };

    IoParam() = default;
    // A copy takes the source's counting mode and starts with one reference.
    IoParam(IoParam const& other) : LocalRef(other) {}
    IoParam& operator=(IoParam const&) { return *this; }
    // Public so that parameter blocks can live on the stack for one call.
    ~IoParam() override = default;

    // Takes the values of `other` when it is of a kind this block accepts.
    virtual bool Copy(IoParam const& other);
};

// The positions of a positional transfer. NONE (all ones) marks a position
// that was not given.
class VOR_API RandomParam : public IoParam {
public:
    static constexpr unsigned long long NONE = ~0ull;

    RandomParam() = default;
    RandomParam(unsigned long long readPos, unsigned long long writePos)
        : m_uReadPos(readPos), m_uWritePos(writePos)
    {
    }
    RandomParam(RandomParam const& other)
        : IoParam(other), m_uReadPos(other.m_uReadPos), m_uWritePos(other.m_uWritePos)
    {
    }
    RandomParam& operator=(RandomParam const& other)
    {
        m_uReadPos = other.m_uReadPos;
        m_uWritePos = other.m_uWritePos;
        return *this;
    }
    ~RandomParam() override = default;

    // Succeeds only for another RandomParam: copies both positions.
    bool Copy(IoParam const& other) override;

    unsigned long long GetReadPos() const { return m_uReadPos; }
    void SetReadPos(unsigned long long pos) { m_uReadPos = pos; }
    unsigned long long GetWritePos() const { return m_uWritePos; }
    void SetWritePos(unsigned long long pos) { m_uWritePos = pos; }

private:
    unsigned long long m_uReadPos = NONE;
    unsigned long long m_uWritePos = NONE;
};

// The base of every I/O implementation object.
//
// The attribute bits live in one atomic word: the select engine, the idle
// checker and task threads change them on one object at the same time.
class VOR_API IoObject : public Core::GlobalRef {
public:
    // The failure marker of read operations.
    static constexpr unsigned int FAILED = 0xFFFFFFFFu;
    // Positions and sizes of objects that have none.
    static constexpr unsigned long long NO_POSITION = ~0ull;

    // Buffer transfers are the device's own. The object forms copy between
    // two objects; see the implementation for which side moves the bytes.
    virtual unsigned int Read(void* buffer, unsigned int n, IoParam& param) const = 0;
    virtual unsigned int Read(IoObject& dst, unsigned int n, IoParam& param) const;
    virtual unsigned int Read(void* buffer, unsigned int n) const = 0;
    virtual unsigned int Read(IoObject& dst, unsigned int n) const;
    virtual bool Write(void const* buffer, unsigned int n, IoParam& param) = 0;
    virtual bool Write(IoObject const& src, unsigned int n, IoParam& param);
    virtual bool Write(void const* buffer, unsigned int n) = 0;
    virtual bool Write(IoObject const& src, unsigned int n);
    virtual bool Close() = 0;

    // Typed reads return `value` when the whole value could not be read.
    virtual unsigned char ReadUInt8(unsigned char value = 0) const;
    virtual unsigned short ReadUInt16(unsigned short value = 0) const;
    virtual unsigned int ReadUInt32(unsigned int value = 0) const;
    virtual unsigned long long ReadUInt64(unsigned long long value = 0) const;
    virtual float ReadFloat(float value = 0) const;
    virtual double ReadDouble(double value = 0) const;
    virtual bool WriteUInt8(unsigned char value);
    virtual bool WriteUInt16(unsigned short value);
    virtual bool WriteUInt32(unsigned int value);
    virtual bool WriteUInt64(unsigned long long value);
    virtual bool WriteFloat(float value);
    virtual bool WriteDouble(double value);

    virtual bool Seek(long long offset, IoParam::Offset origin);
    virtual unsigned long long GetPosition() const;
    virtual unsigned long long GetSize() const;

    // Formatted output. The text is written without a terminating null;
    // wide text as UTF-16LE, two bytes per unit. Each call consumes its own
    // copy of `args`, so the caller's list stays usable.
    virtual bool Printf(IoParam& param, wchar_t const* format, std::va_list args);
    virtual bool Printf(IoParam& param, char const* format, std::va_list args);
    virtual bool Printf(wchar_t const* format, std::va_list args);
    virtual bool Printf(char const* format, std::va_list args);
    virtual bool Flush();

    virtual bool GetAttrib(IoParam::Attrib bit) const;
    // Sets (true) or clears (false) the bit; false for a bit above 31.
    virtual bool SetAttrib(IoParam::Attrib bit, bool on);
    // Several attributes at once, bit n standing for attribute n: those of
    // `bits` that are on; and a change that clears the bits of `clear`,
    // then sets those of `set`. Each bit goes through GetAttrib (SetAttrib),
    // so a class that answers them its own way sees every one; an object
    // of a library class whose attributes are this class's own (see
    // m_pOwnAttribs) takes one step instead.
    unsigned int GetAttribs(unsigned int bits) const
    {
        if (m_pOwnAttribs == &typeid(*this))
            return m_uAttrib.load(std::memory_order_acquire) & bits;
        return GetEach(bits);
    }
    void SetAttribs(unsigned int clear, unsigned int set)
    {
        if (m_pOwnAttribs != &typeid(*this))
            return SetEach(clear, set);
        unsigned int now = m_uAttrib.load(std::memory_order_relaxed);
        while (!m_uAttrib.compare_exchange_weak(now, (now & ~clear) | set, std::memory_order_acq_rel,
                                                std::memory_order_relaxed)) {
        }
    }
    virtual Core::Guard<IoParam> GetParam() const;
    virtual bool SetParam(Core::Guard<IoParam> param);

protected:
    // `count` as for GlobalRef: GlobalRef::UNCOUNTED makes an object that
    // reference counting never destroys.
    explicit IoObject(unsigned int count = 1);
    ~IoObject() override;

    virtual void Output(std::wostream& stream) const;
    virtual void Output(std::ostream& stream) const;

    // True for objects that move the bytes of an object-to-object copy
    // themselves, straight between their storage and the other object.
    virtual bool OptReadWrite() const;
    // Asked of an object whose OptReadWrite() is true: take up to `n` bytes
    // from `src` and report how many arrived (FAILED on failure). `param` is
    // null for the forms without a parameter. The base writes through the
    // Write object forms, which cannot tell a short transfer apart.
    virtual unsigned int ReceiveFrom(IoObject const& src, unsigned int n, IoParam* param);

    // The target of a seek from `position` in an object of `size` bytes,
    // with the full 64-bit offset: BEGIN and END take the offset's absolute
    // value, CURRENT adds it signed, any other origin takes it as it is.
    // False when the target would be negative or pass 2^64 - 1.
    static bool SeekTarget(long long offset, IoParam::Offset origin, unsigned long long position,
                           unsigned long long size, unsigned long long& target);

    // Writes the formatted text: narrow text as it is, wide text as UTF-16LE.
    // `param` null selects the plain Write.
    bool FormatAndWrite(IoParam* param, char const* format, std::va_list args);
    bool FormatAndWrite(IoParam* param, wchar_t const* format, std::va_list args);

    // The buffer state of the library's own memory objects, through which
    // their handles move 32-bit values themselves, without the virtual call,
    // while the room (or the data) is there. Only for an object whose exact
    // type is `exact`, which that type's constructor sets: the handle then
    // does what that type's own operations do. Any other object, an
    // application's subclass of a memory object included, is called
    // virtually, and so is every case the fast path does not cover.
    struct VOR_API Direct {
        std::type_info const* exact = nullptr;
        char* data = nullptr;
        unsigned int capacity = 0;
        unsigned int size = 0;     // the highest position written
        unsigned int position = 0;
        bool network = false;      // integers most significant byte first
    };
    // Null until a typed call made virtually finds the object to be of
    // exactly the type its direct state was made for; set to that state
    // then, and from then on the handles take the fast path. A constructed
    // object's type never changes, so the test is made once, not per value.
    mutable Direct* m_pDirect = nullptr;
    // A 32-bit value with its bytes in network order, most significant
    // first: the order of a memory object that is `network`.
    static unsigned int NetworkOrder(unsigned int value)
    {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return value;
#else
        return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
#endif
    }
    // Set by the constructor of a library class that answers GetAttrib and
    // SetAttrib as this class does, to that class's type: GetAttribs and
    // SetAttribs take one step for an object of exactly that type.
    std::type_info const* m_pOwnAttribs = nullptr;

private:
    friend class IoBase;
    template <class H>
    friend class ReadOper;
    template <class H>
    friend class WriteOper;
    friend std::ostream& operator<<(std::ostream& stream, IoBase const& handle);
    friend std::wostream& operator<<(std::wostream& stream, IoBase const& handle);

    unsigned int GetEach(unsigned int bits) const;
    void SetEach(unsigned int clear, unsigned int set);
    // The 32-bit value at the position, moving past it; false (nothing
    // read) when it is not all there.
    bool DirectRead(unsigned int& value) const
    {
        if (m_pDirect == nullptr)
            return false;
        Direct& d = *m_pDirect;
        unsigned int position = d.position;
        if (position > d.size || d.size - position < 4)
            return false;
        std::memcpy(&value, d.data + position, 4);
        if (d.network)
            value = NetworkOrder(value);
        d.position = position + 4;
        return true;
    }
    // Writes the value at the position when the buffer has the room and the
    // position lies inside the data; false (nothing written) otherwise.
    bool DirectWrite(unsigned int value)
    {
        if (m_pDirect == nullptr)
            return false;
        Direct& d = *m_pDirect;
        // Everything is read before the value is stored: the store may
        // alias any field, and would make the compiler read them again.
        unsigned int position = d.position;
        unsigned int size = d.size;
        if (position > size || d.capacity - position < 4)
            return false;
        char* at = d.data + position;
        if (d.network)
            value = NetworkOrder(value);
        position += 4;
        std::memcpy(at, &value, 4);
        d.position = position;
        if (position > size)
            d.size = position;
        return true;
    }
    unsigned int CopyTo(IoObject& dst, unsigned int n, IoParam* param) const;
    bool CopyFrom(IoObject const& src, unsigned int n, IoParam* param);

    std::atomic<unsigned int> m_uAttrib;
    Core::Guard<IoParam> m_Param;
};
} // namespace Io

// The null object of I/O handles lives in the library (see NullIo): one for
// the library and every program that uses it.
template <>
VOR_API Io::IoObject* Core::Guard<Io::IoObject>::s_pNull;

namespace Io {

// The null object that empty handles hold: reads fail, writes fail, Close
// succeeds. It is never destroyed by reference counting.
class VOR_API NullIo final : public IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override;
    unsigned int Read(void* buffer, unsigned int n) const override;
    bool Write(void const* buffer, unsigned int n, IoParam& param) override;
    bool Write(void const* buffer, unsigned int n) override;
    bool Close() override;

private:
    friend class IoBase;
    NullIo();
    ~NullIo() override = default;
};

template <class H>
class ReadOper;
template <class H>
class WriteOper;

// The common part of every handle: one counted reference to an object,
// never null.
class VOR_API IoBase {
public:
    // A copy and a release are one atomic step on the count the handle
    // already holds: inline, as handles are copied all along the road.
    VOR_HOT IoBase(IoBase const& other) : m_pIo(other.m_pIo) { m_pIo->IncRefHeld(); }
    virtual ~IoBase() { m_pIo->DecRef(); } // the null object is uncounted

    // True when the handle holds a real object (not the null object). Any
    // handle's construction has made the null object, and installed it as
    // the guards' null.
    bool IsValid() const { return m_pIo != Core::Guard<IoObject>::s_pNull; }
    // Drops the object and becomes empty; false when already empty.
    bool Clear();
    // Closes the object; on success the handle drops it. False when the
    // object refused to close (the handle keeps it) or the handle is empty.
    bool Close();

    bool Seek(long long offset, IoParam::Offset origin) { return m_pIo->Seek(offset, origin); }
    unsigned long long GetPosition() const { return m_pIo->GetPosition(); }
    unsigned long long GetSize() const { return m_pIo->GetSize(); }
    bool GetAttrib(IoParam::Attrib bit) const { return m_pIo->GetAttrib(bit); }
    bool SetAttrib(IoParam::Attrib bit, bool on) { return m_pIo->SetAttrib(bit, on); }
    unsigned int GetAttribs(unsigned int bits) const { return m_pIo->GetAttribs(bits); }
    void SetAttribs(unsigned int clear, unsigned int set) { m_pIo->SetAttribs(clear, set); }
    Core::Guard<IoParam> GetParam() const { return m_pIo->GetParam(); }
    bool SetParam(Core::Guard<IoParam> param) { return m_pIo->SetParam(param); }

    // A counted reference to the object, for code that needs the object
    // itself (to test its kind, or to keep it alive during a call).
    Core::Guard<IoObject> GetObject() const;
    // The object as a T, or null when it is of another kind. Not counted:
    // the pointer is good while this handle keeps the object, which makes it
    // the cheap choice on hot paths that hold the handle anyway.
    template <class T>
    T* As() const
    {
        return dynamic_cast<T*>(m_pIo);
    }
    // The object as a T when its type is exactly T (a final class, for one),
    // without the walk of the class tree; null otherwise.
    template <class T>
    T* AsExact() const
    {
        return &typeid(*m_pIo) == &typeid(T) ? static_cast<T*>(m_pIo) : nullptr;
    }

    // Handles compare and order by the address of their objects; two empty
    // handles are equal.
    bool operator==(IoBase const& other) const { return m_pIo == other.m_pIo; }
    bool operator!=(IoBase const& other) const { return m_pIo != other.m_pIo; }
    bool operator<(IoBase const& other) const;
    bool operator>(IoBase const& other) const { return other < *this; }
    bool operator<=(IoBase const& other) const { return !(other < *this); }
    bool operator>=(IoBase const& other) const { return !(*this < other); }

protected:
    IoBase();
    // Takes its own reference to `object`; empty when that fails.
    explicit IoBase(IoObject* object);
    // One reference more on an object the caller holds (through a guard):
    // no look-up. Empty for null.
    struct Held {};
    IoBase(IoObject* object, Held);
    // The object of `holder`, lent without a reference of its own, for code
    // that keeps `holder` (and so the object) for longer than this handle
    // lives. EndLoan must run before the handle ends; a copy made meanwhile
    // is an ordinary handle with its own reference.
    struct Loan {};
    IoBase(IoBase const& holder, Loan) : m_pIo(holder.m_pIo) {}
    void EndLoan() { m_pIo = Core::Guard<IoObject>::s_pNull; } // uncounted
    IoBase& operator=(IoBase const& other);

    IoObject* GetIo() const { return m_pIo; }

private:
    template <class H>
    friend class ReadOper;
    template <class H>
    friend class WriteOper;
    friend std::ostream& operator<<(std::ostream& stream, IoBase const& handle);
    friend std::wostream& operator<<(std::wostream& stream, IoBase const& handle);

    // The null object, made on first use; returned with a reference taken.
    static IoObject* GetNull();
    static IoObject* Acquire(IoObject* object);
    static IoObject* AcquireHeld(IoObject* object);
    static void Release(IoObject* object);

    IoObject* m_pIo;
};

// Writes the address of the handle's object.
std::ostream& operator<<(std::ostream& stream, IoBase const& handle);
std::wostream& operator<<(std::wostream& stream, IoBase const& handle);

// The read operations of a handle, forwarded to its object.
template <class H>
class ReadOper {
public:
    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const { return Io()->Read(buffer, n, param); }
    unsigned int Read(IoObject& dst, unsigned int n, IoParam& param) const { return Io()->Read(dst, n, param); }
    unsigned int Read(void* buffer, unsigned int n) const { return Io()->Read(buffer, n); }
    unsigned int Read(IoObject& dst, unsigned int n) const { return Io()->Read(dst, n); }
    // Copies into the object of another handle.
    unsigned int Read(IoBase const& dst, unsigned int n, IoParam& param) const { return Io()->Read(*dst.GetIo(), n, param); }
    unsigned int Read(IoBase const& dst, unsigned int n) const { return Io()->Read(*dst.GetIo(), n); }

    unsigned char ReadUInt8(unsigned char value = 0) const { return Io()->ReadUInt8(value); }
    unsigned short ReadUInt16(unsigned short value = 0) const { return Io()->ReadUInt16(value); }
    unsigned int ReadUInt32(unsigned int value = 0) const
    {
        unsigned int got;
        return Io()->DirectRead(got) ? got : Io()->ReadUInt32(value);
    }
    unsigned long long ReadUInt64(unsigned long long value = 0) const { return Io()->ReadUInt64(value); }
    float ReadFloat(float value = 0) const { return Io()->ReadFloat(value); }
    double ReadDouble(double value = 0) const { return Io()->ReadDouble(value); }

    ReadOper(ReadOper const&) = default;
    ReadOper& operator=(ReadOper const&) = default;

protected:
    ReadOper() = default;
    virtual ~ReadOper() = default;

private:
    IoObject* Io() const { return static_cast<H const*>(this)->m_pIo; }
};

// The write operations of a handle, forwarded to its object.
template <class H>
class WriteOper {
public:
    bool Write(void const* buffer, unsigned int n, IoParam& param) const { return Io()->Write(buffer, n, param); }
    bool Write(IoObject const& src, unsigned int n, IoParam& param) const { return Io()->Write(src, n, param); }
    bool Write(void const* buffer, unsigned int n) const { return Io()->Write(buffer, n); }
    bool Write(IoObject const& src, unsigned int n) const { return Io()->Write(src, n); }
    // Copies from the object of another handle.
    bool Write(IoBase const& src, unsigned int n, IoParam& param) const { return Io()->Write(*src.GetIo(), n, param); }
    bool Write(IoBase const& src, unsigned int n) const { return Io()->Write(*src.GetIo(), n); }

    bool WriteUInt8(unsigned char value) const { return Io()->WriteUInt8(value); }
    bool WriteUInt16(unsigned short value) const { return Io()->WriteUInt16(value); }
    bool WriteUInt32(unsigned int value) const { return Io()->DirectWrite(value) || Io()->WriteUInt32(value); }
    bool WriteUInt64(unsigned long long value) const { return Io()->WriteUInt64(value); }
    bool WriteFloat(float value) const { return Io()->WriteFloat(value); }
    bool WriteDouble(double value) const { return Io()->WriteDouble(value); }

    // Formatted output from an argument list the caller started. Named apart
    // from the variadic forms: Printf("%d", 0) must never take the 0 for a
    // list.
    bool VPrintf(IoParam& param, wchar_t const* format, std::va_list args) const { return Io()->Printf(param, format, args); }
    bool VPrintf(IoParam& param, char const* format, std::va_list args) const { return Io()->Printf(param, format, args); }
    bool VPrintf(wchar_t const* format, std::va_list args) const { return Io()->Printf(format, args); }
    bool VPrintf(char const* format, std::va_list args) const { return Io()->Printf(format, args); }

    [[gnu::format(printf, 2, 3)]] bool Printf(char const* format, ...) const
    {
        std::va_list args;
        va_start(args, format);
        bool done = Io()->Printf(format, args);
        va_end(args);
        return done;
    }
    bool Printf(wchar_t const* format, ...) const
    {
        std::va_list args;
        va_start(args, format);
        bool done = Io()->Printf(format, args);
        va_end(args);
        return done;
    }
    [[gnu::format(printf, 3, 4)]] bool Printf(IoParam& param, char const* format, ...) const
    {
        std::va_list args;
        va_start(args, format);
        bool done = Io()->Printf(param, format, args);
        va_end(args);
        return done;
    }
    bool Printf(IoParam& param, wchar_t const* format, ...) const
    {
        std::va_list args;
        va_start(args, format);
        bool done = Io()->Printf(param, format, args);
        va_end(args);
        return done;
    }

    bool Flush() const { return Io()->Flush(); }

    WriteOper(WriteOper const&) = default;
    WriteOper& operator=(WriteOper const&) = default;

protected:
    WriteOper() = default;
    virtual ~WriteOper() = default;

private:
    IoObject* Io() const { return static_cast<H const*>(this)->m_pIo; }
};

// A handle with every operation.
class VOR_API IoHandle : public IoBase, public ReadOper<IoHandle>, public WriteOper<IoHandle> {
public:
    IoHandle() = default;
    IoHandle(IoHandle const& other) = default;
    IoHandle(IoBase const& other) : IoBase(other) {}
    // Takes its own reference to `object` (the caller keeps its own).
    explicit IoHandle(IoObject* object) : IoBase(object) {}
    ~IoHandle() override = default;
    IoHandle& operator=(IoHandle const& other) = default;
    IoHandle& operator=(IoBase const& other)
    {
        IoBase::operator=(other);
        return *this;
    }
};

// A handle that only reads.
class VOR_API ReadHandle : public IoBase, public ReadOper<ReadHandle> {
public:
    ReadHandle() = default;
    ReadHandle(ReadHandle const& other) = default;
    ReadHandle(IoHandle const& other) : IoBase(other) {}
    explicit ReadHandle(IoObject* object) : IoBase(object) {}
    ~ReadHandle() override = default;
    ReadHandle& operator=(ReadHandle const& other) = default;
    ReadHandle& operator=(IoHandle const& other)
    {
        IoBase::operator=(other);
        return *this;
    }

protected:
    ReadHandle(IoBase const& holder, Loan loan) : IoBase(holder, loan) {}
};

// A handle that only writes.
class VOR_API WriteHandle : public IoBase, public WriteOper<WriteHandle> {
public:
    WriteHandle() = default;
    WriteHandle(WriteHandle const& other) = default;
    WriteHandle(IoHandle const& other) : IoBase(other) {}
    // The object of any handle, to write to it.
    explicit WriteHandle(IoBase const& other) : IoBase(other) {}
    // The object a guard holds; empty for an empty guard.
    template <class T>
    explicit WriteHandle(Core::Guard<T> const& held) : IoBase(held.IsValid() ? held.Raw() : nullptr, Held())
    {
    }
    explicit WriteHandle(IoObject* object) : IoBase(object) {}
    ~WriteHandle() override = default;
    WriteHandle& operator=(WriteHandle const& other) = default;
    WriteHandle& operator=(IoHandle const& other)
    {
        IoBase::operator=(other);
        return *this;
    }

protected:
    WriteHandle(IoBase const& holder, Loan loan) : IoBase(holder, loan) {}
};

// The base of devices: opens an object from a parameter block and keeps a
// handle to it. Copies of a device share one object.
class VOR_API IoDevice {
public:
    // The base of every device's open parameters.
    class VOR_API Param {
    public:
        Param() = default;
        Param(Param const&) = default;
        Param& operator=(Param const&) = default;
        virtual ~Param() = default;
    };

    IoDevice() = default;
    IoDevice(IoDevice const&) = default;
    IoDevice& operator=(IoDevice const&) = default;
    virtual ~IoDevice() = default;

    // Opens with a default parameter block.
    virtual bool Open();

    IoHandle& GetHandle() { return m_Handle; }
    ReadHandle GetReadHandle() const { return ReadHandle(m_Handle); }
    WriteHandle GetWriteHandle() const { return WriteHandle(m_Handle); }

protected:
    // Drops the present object, makes a new one through Create and keeps it;
    // true when the device's handle then holds an object.
    virtual bool Open(Param const& param);
    // A new object carrying one reference owned by the caller, or null when
    // the parameter block is of the wrong kind or the object cannot be made.
    virtual IoObject* Create(Param const& param);

private:
    IoHandle m_Handle;
};

} // namespace Io
} // namespace Vor
