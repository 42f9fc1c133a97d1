#include <vor/system/system.h>

#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/socket.h"

#include <atomic>

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace Vor {
namespace System {

namespace {
std::atomic<int> s_iInits{0};
}

// Each Init starts the system's socket service once more, and each UnInit
// that matches one stops it once; an UnInit without an Init does nothing.
bool Init()
{
    if (!Platform::StartNetwork())
        return false;
    s_iInits.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool UnInit()
{
    int count = s_iInits.load(std::memory_order_relaxed);
    while (count > 0 && !s_iInits.compare_exchange_weak(count, count - 1, std::memory_order_relaxed)) {
    }
    if (count > 0)
        Platform::StopNetwork();
    return true;
}

unsigned long long GetTime64() { return Platform::WallMs(); }

unsigned int GetTime() { return static_cast<unsigned int>(GetTime64()); }

DateInfo GetDate()
{
    Platform::CalendarTime now;
    Platform::LocalNow(now);
    return DateInfo{now.year, now.month, now.day, now.hour, now.minute, now.second, now.weekDay};
}

unsigned int GetError() { return static_cast<unsigned int>(Platform::LastError()); }

bool IsLittleEndian()
{
    unsigned int const probe = 1;
    return *reinterpret_cast<unsigned char const*>(&probe) == 1;
}

bool Sleep(unsigned int ms)
{
    // The platform sleep resumes after signals with the time that is left.
    Platform::SleepMs(ms == 0 ? 1 : ms);
    return true;
}

namespace {

// The runtime's conversions for both character types, base 10.
long long ToSigned(char const* text) { return std::strtoll(text, nullptr, 10); }
long long ToSigned(wchar_t const* text) { return std::wcstoll(text, nullptr, 10); }
unsigned long long ToUnsigned(char const* text) { return std::strtoull(text, nullptr, 10); }
unsigned long long ToUnsigned(wchar_t const* text) { return std::wcstoull(text, nullptr, 10); }
bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsSpace(wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; }

template <class Char>
bool IsNegative(Char const* text)
{
    while (IsSpace(*text))
        ++text;
    return *text == Char('-');
}

template <class Char>
int ToInt32(Char const* text)
{
    if (text == nullptr)
        return 0;
    long long v = ToSigned(text);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// The unsigned conversion negates a negative number within its own width.
// Done in 64 bits, "-1" would become 2^64 - 1 and then saturate; the
// 32-bit result is the negation in 32 bits, and only a magnitude beyond 32
// bits saturates.
template <class Char>
unsigned int ToUint32(Char const* text)
{
    if (text == nullptr)
        return 0;
    errno = 0;
    unsigned long long v = ToUnsigned(text);
    if (errno == ERANGE)
        return UINT_MAX;
    bool negative = IsNegative(text);
    unsigned long long magnitude = negative ? 0 - v : v;
    if (magnitude > UINT_MAX)
        return UINT_MAX;
    unsigned int low = static_cast<unsigned int>(magnitude);
    return negative ? 0u - low : low;
}

// Formats v with zero padding to `width` into at most `limit` characters.
template <class Char, class Value>
std::basic_string<Char> Format(Char const* format, Value v, unsigned int width, unsigned int limit)
{
    // A width beyond the limit can only give text beyond it; refusing it
    // here also keeps absurd widths away from the formatter.
    if (width > limit)
        return std::basic_string<Char>();
    Char buffer[64] = {};
    int written;
    if constexpr (std::is_same<Char, char>::value)
        written = std::snprintf(buffer, limit + 1, format, static_cast<int>(width), v);
    else
        written = std::swprintf(buffer, limit + 1, format, static_cast<int>(width), v);
    if (written < 1 || static_cast<unsigned int>(written) > limit)
        return std::basic_string<Char>();
    return std::basic_string<Char>(buffer, static_cast<std::size_t>(written));
}

} // namespace

unsigned long long Str2Uint64(char const* text) { return text == nullptr ? 0 : ToUnsigned(text); }
unsigned long long Str2Uint64(wchar_t const* text) { return text == nullptr ? 0 : ToUnsigned(text); }
long long Str2Int64(char const* text) { return text == nullptr ? 0 : ToSigned(text); }
long long Str2Int64(wchar_t const* text) { return text == nullptr ? 0 : ToSigned(text); }
unsigned int Str2Uint32(char const* text) { return ToUint32(text); }
unsigned int Str2Uint32(wchar_t const* text) { return ToUint32(text); }
int Str2Int32(char const* text) { return ToInt32(text); }
int Str2Int32(wchar_t const* text) { return ToInt32(text); }

std::string Uint2Str32A(unsigned int const& v, unsigned int width) { return Format("%0*u", v, width, 15); }
std::string Int2Str32A(int const& v, unsigned int width) { return Format("%0*d", v, width, 15); }
std::string Uint2Str64A(unsigned long long const& v, unsigned int width) { return Format("%0*llu", v, width, 31); }
std::string Int2Str64A(long long const& v, unsigned int width) { return Format("%0*lld", v, width, 31); }
std::wstring Uint2Str32W(unsigned int const& v, unsigned int width) { return Format(L"%0*u", v, width, 31); }
std::wstring Int2Str32W(int const& v, unsigned int width) { return Format(L"%0*d", v, width, 31); }
std::wstring Uint2Str64W(unsigned long long const& v, unsigned int width) { return Format(L"%0*llu", v, width, 63); }
std::wstring Int2Str64W(long long const& v, unsigned int width) { return Format(L"%0*lld", v, width, 63); }

unsigned int GetMajor() { return 2; }
unsigned int GetMinor() { return 5; }
unsigned int GetRevision() { return 1082; }
char const* GetRevTime() { return "2009/11/24 18:01:56"; }
char const* GetBuildTime() { return "2009/12/08 16:54:12"; }

} // namespace System
} // namespace Vor
