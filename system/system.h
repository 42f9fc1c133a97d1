// System services: socket-layer start-up, time and dates, the last error,
// sleeping, number/text conversion and the library's version.
#pragma once

#include <vor/core/export.h>

#include <string>
#include <type_traits>

namespace Vor {
namespace System {

// A local calendar date and time.
struct DateInfo {
    unsigned int year;    // full year, e.g. 2009
    unsigned int month;   // 1 .. 12
    unsigned int day;     // 1 .. 31
    unsigned int hour;    // 0 .. 23
    unsigned int minute;  // 0 .. 59
    unsigned int second;  // 0 .. 59 (60 or 61 at a leap second)
    unsigned int weekDay; // 0 .. 6, 0 = Sunday
};

// Start-up and shut-down of the socket layer. The sockets of this system
// need no start-up, so both only report success; applications still pair
// them as they would elsewhere.
VOR_API bool Init();
VOR_API bool UnInit();

// Milliseconds since 1970-01-01 00:00:00 UTC, from the wall clock: for time
// stamps only (it follows clock changes).
VOR_API unsigned long long GetTime64();
// The low 32 bits of GetTime64().
VOR_API unsigned int GetTime();
// The current local date and time; every field 0 when it cannot be read.
VOR_API DateInfo GetDate();

// The calling thread's last system error code (errno).
VOR_API unsigned int GetError();

VOR_API bool IsLittleEndian();

// Sleeps at least ms milliseconds (0 sleeps 1 ms). Always true.
VOR_API bool Sleep(unsigned int ms);

// Decimal text to numbers. Leading white space and a sign are accepted;
// text without digits (or a null pointer) gives 0 and values beyond the
// type's range saturate at its nearest limit. The 32-bit forms keep the
// 32-bit rules even though `long` is wider here: Str2Int32("3000000000") is
// 2147483647, and Str2Uint32 of a negative number is its 32-bit two's
// complement ("-1" gives 4294967295) unless the magnitude overflows.
VOR_API unsigned long long Str2Uint64(char const* text);
VOR_API unsigned long long Str2Uint64(wchar_t const* text);
VOR_API long long Str2Int64(char const* text);
VOR_API long long Str2Int64(wchar_t const* text);
VOR_API unsigned int Str2Uint32(char const* text);
VOR_API unsigned int Str2Uint32(wchar_t const* text);
VOR_API int Str2Int32(char const* text);
VOR_API int Str2Int32(wchar_t const* text);

// Numbers to decimal text, padded with leading zeros to at least `width`
// characters (a minus sign counts; 0: no padding). Each form has a result
// limit: 15 characters for the narrow 32-bit forms, 31 for the narrow 64-bit
// and the wide 32-bit forms, 63 for the wide 64-bit forms. Text longer than
// the limit (a width above it included) gives the empty string.
VOR_API std::string Uint2Str32A(unsigned int const& v, unsigned int width = 0);
VOR_API std::string Int2Str32A(int const& v, unsigned int width = 0);
VOR_API std::string Uint2Str64A(unsigned long long const& v, unsigned int width = 0);
VOR_API std::string Int2Str64A(long long const& v, unsigned int width = 0);
VOR_API std::wstring Uint2Str32W(unsigned int const& v, unsigned int width = 0);
VOR_API std::wstring Int2Str32W(int const& v, unsigned int width = 0);
VOR_API std::wstring Uint2Str64W(unsigned long long const& v, unsigned int width = 0);
VOR_API std::wstring Int2Str64W(long long const& v, unsigned int width = 0);

// An unsigned number as text of Char (char or wchar_t), through the 64-bit
// forms above.
template <class Char, class Number>
std::basic_string<Char> Num2Str(Number const& v, unsigned int width = 0)
{
    static_assert(std::is_same<Char, char>::value || std::is_same<Char, wchar_t>::value,
                  "Num2Str writes char or wchar_t text");
    unsigned long long wide = static_cast<unsigned long long>(v);
    if constexpr (std::is_same<Char, char>::value)
        return Uint2Str64A(wide, width);
    else
        return Uint2Str64W(wide, width);
}

template <class T>
T Min(T const& a, T const& b)
{
    return b < a ? b : a;
}

template <class T>
T Max(T const& a, T const& b)
{
    return a < b ? b : a;
}

// The library's version.
VOR_API unsigned int GetMajor();
VOR_API unsigned int GetMinor();
VOR_API unsigned int GetRevision();
VOR_API char const* GetRevTime();
VOR_API char const* GetBuildTime();

} // namespace System
} // namespace Vor
