// The process's standard streams as an I/O object.
//
// Raw reads come from the selected input stream (standard input); raw
// writes, formatted output and typed writes go to the selected output
// stream (standard output or standard error). Typed reads and writes are
// text conversions: numbers are read and written as decimal text.
#pragma once

#include <vor/core/export.h>

#include <vor/core/atomic.h>
#include <vor/io/iobase.h>

#include <cstdio>

namespace Vor {
namespace Io {

// The device of the standard streams: opens standard input, output or
// error as an object.
class VOR_API StdStream : public IoDevice {
public:
    // Stream selection mask. With both STD_OUT and STD_ERR, standard output
    // wins.
    static constexpr unsigned int STD_IN = 0x1;
    static constexpr unsigned int STD_OUT = 0x2;
    static constexpr unsigned int STD_ERR = 0x4;

    // Which standard stream to open (the mask above).
    class VOR_API Param : public IoDevice::Param {
    public:
        explicit Param(unsigned int mask = 0) : m_uMask(mask) {}

        unsigned int m_uMask;
    };

    StdStream() = default;

    bool Open() override { return IoDevice::Open(); }
    virtual bool Open(unsigned int mask);

protected:
    using IoDevice::Open;
    IoObject* Create(IoDevice::Param const& param) override;
};

// Never closes the standard streams. The selections are atomic values, so
// Open on one thread and transfers on another see either the old or the
// new stream; the transfers rely on the locking of the streams themselves.
class VOR_API StdStreamIo : public IoObject {
public:
    StdStreamIo();
    StdStreamIo(StdStreamIo const&) = delete;
    StdStreamIo& operator=(StdStreamIo const&) = delete;

    using IoObject::Printf;
    using IoObject::Read;
    using IoObject::Write;

    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override;
    // Waits for all n bytes; at the end of the input (or on an error) it
    // returns what arrived, or the failure marker when nothing did.
    unsigned int Read(void* buffer, unsigned int n) const override;
    bool Write(void const* buffer, unsigned int n, IoParam& param) override;
    // False when the stream stops taking bytes.
    bool Write(void const* buffer, unsigned int n) override;
    // Does nothing: the standard streams stay open.
    bool Close() override;

    // Extracted from the console input stream as text; the given value when
    // nothing could be extracted.
    unsigned char ReadUInt8(unsigned char value = 0) const override;
    unsigned short ReadUInt16(unsigned short value = 0) const override;
    unsigned int ReadUInt32(unsigned int value = 0) const override;
    unsigned long long ReadUInt64(unsigned long long value = 0) const override;
    float ReadFloat(float value = 0) const override;
    double ReadDouble(double value = 0) const override;
    // Written as text: a byte as its character, numbers in decimal.
    bool WriteUInt8(unsigned char value) override;
    bool WriteUInt16(unsigned short value) override;
    bool WriteUInt32(unsigned int value) override;
    bool WriteUInt64(unsigned long long value) override;
    bool WriteFloat(float value) override;
    bool WriteDouble(double value) override;

    // To the selected output stream; wide text as UTF-8. An empty text is a
    // success.
    bool Printf(wchar_t const* format, std::va_list args) override;
    bool Printf(char const* format, std::va_list args) override;
    bool Flush() override;

    // Applies the selection mask; always true.
    virtual bool Open(unsigned int mask);

protected:
    ~StdStreamIo() override = default;

private:
    template <class T>
    bool WriteText(T const& value);

    Core::Value<std::FILE*, 0, 0, sizeof(std::FILE*), 0> m_Input;
    Core::Value<std::FILE*, 0, 0, sizeof(std::FILE*), 0> m_Output;
};

} // namespace Io
} // namespace Vor
