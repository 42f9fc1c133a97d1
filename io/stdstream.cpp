#include <vor/io/stdstream.h>

#include "io/internal/format.h"
#include "io/internal/text.h"

#include <vor/basic/array.h>

#include <iostream>
#include <sstream>
#include <string>

namespace Vor {
namespace Io {

namespace {

// Extracts a T from the console input. The extraction goes into a
// temporary: a failed extraction stores 0 in its target. A failure other
// than the end of the input is cleared so that later reads can go on.
template <class T>
T Extract(T fallback)
{
    T value;
    if (std::cin >> value)
        return value;
    if (!std::cin.eof())
        std::cin.clear();
    return fallback;
}

} // namespace

// -------------------------------------------------------------- StdStream

bool StdStream::Open(unsigned int mask) { return IoDevice::Open(Param(mask)); }

IoObject* StdStream::Create(IoDevice::Param const& param)
{
    Param const* streams = dynamic_cast<Param const*>(&param);
    if (streams == nullptr)
        return IoDevice::Create(param);
    StdStreamIo* object = new StdStreamIo;
    if (object->Open(streams->m_uMask))
        return object;
    object->DecRef();
    return nullptr;
}

// ------------------------------------------------------------ StdStreamIo

StdStreamIo::StdStreamIo() : m_Input(stdin), m_Output(stdout)
{
    SetAttrib(IoParam::READABLE, true);
    SetAttrib(IoParam::WRITABLE, true);
    SetAttrib(IoParam::BUFFERED, true);
    SetAttrib(IoParam::DATAGRAM, false);
}

bool StdStreamIo::Open(unsigned int mask)
{
    if ((mask & StdStream::STD_IN) != 0)
        m_Input = stdin;
    if ((mask & StdStream::STD_ERR) != 0)
        m_Output = stderr;
    if ((mask & StdStream::STD_OUT) != 0)
        m_Output = stdout;
    return true;
}

unsigned int StdStreamIo::Read(void* buffer, unsigned int n, IoParam&) const { return Read(buffer, n); }

unsigned int StdStreamIo::Read(void* buffer, unsigned int n) const
{
    if (n == 0)
        return 0;
    std::FILE* input = m_Input;
    char* at = static_cast<char*>(buffer);
    unsigned int got = 0;
    while (got < n) {
        std::size_t count = std::fread(at + got, 1, n - got, input);
        if (count == 0)
            break; // the end of the input, or an error
        got += static_cast<unsigned int>(count);
    }
    return got > 0 ? got : FAILED;
}

bool StdStreamIo::Write(void const* buffer, unsigned int n, IoParam&) { return Write(buffer, n); }

bool StdStreamIo::Write(void const* buffer, unsigned int n)
{
    if (n == 0)
        return true;
    std::FILE* output = m_Output;
    char const* at = static_cast<char const*>(buffer);
    unsigned int put = 0;
    // An unbuffered stream may count bytes its failed write never took; its
    // error indicator tells. It is cleared first so that an old error does
    // not fail this write.
    std::clearerr(output);
    while (put < n) {
        std::size_t count = std::fwrite(at + put, 1, n - put, output);
        if (count == 0)
            break;
        put += static_cast<unsigned int>(count);
    }
    return put == n && !std::ferror(output);
}

bool StdStreamIo::Close() { return true; }

unsigned char StdStreamIo::ReadUInt8(unsigned char value) const { return Extract(value); }
unsigned short StdStreamIo::ReadUInt16(unsigned short value) const { return Extract(value); }
unsigned int StdStreamIo::ReadUInt32(unsigned int value) const { return Extract(value); }
unsigned long long StdStreamIo::ReadUInt64(unsigned long long value) const { return Extract(value); }
float StdStreamIo::ReadFloat(float value) const { return Extract(value); }
double StdStreamIo::ReadDouble(double value) const { return Extract(value); }

// The text a console stream's insertion makes, written to the selected
// stream.
template <class T>
bool StdStreamIo::WriteText(T const& value)
{
    std::ostringstream text;
    text << value;
    std::string bytes = text.str();
    return Write(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

bool StdStreamIo::WriteUInt8(unsigned char value) { return WriteText(value); }
bool StdStreamIo::WriteUInt16(unsigned short value) { return WriteText(value); }
bool StdStreamIo::WriteUInt32(unsigned int value) { return WriteText(value); }
bool StdStreamIo::WriteUInt64(unsigned long long value) { return WriteText(value); }
bool StdStreamIo::WriteFloat(float value) { return WriteText(value); }
bool StdStreamIo::WriteDouble(double value) { return WriteText(value); }

bool StdStreamIo::Printf(char const* format, std::va_list args)
{
    if (format == nullptr)
        return false;
    std::va_list copy;
    va_copy(copy, args);
    int count = std::vfprintf(m_Output, format, copy);
    va_end(copy);
    return count >= 0;
}

// A stream that has been written narrow refuses wide output, so wide text
// goes out as UTF-8 bytes.
bool StdStreamIo::Printf(wchar_t const* format, std::va_list args)
{
    Basic::Array<wchar_t> text;
    unsigned int length = 0;
    if (!Internal::FormatText(text, length, format, args))
        return false;
    std::string bytes;
    Internal::AppendUtf8(bytes, text, length);
    return Write(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

bool StdStreamIo::Flush() { return std::fflush(m_Output) == 0; }

} // namespace Io
} // namespace Vor
