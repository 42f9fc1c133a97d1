#include <vor/basic/array.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace Vor {
namespace Basic {

namespace {
constexpr unsigned int FIRST_CAPACITY = 256;
} // namespace

unsigned int FormatToArray(Array<char>& array, char const* format, va_list args)
{
    if (format == nullptr)
        return 0;
    unsigned int capacity = FIRST_CAPACITY;
    for (;;) {
        if (!array.Alloc(capacity))
            return 0;
        // A va_list is spent by the formatter that reads it: every attempt
        // reads its own copy.
        va_list attempt;
        va_copy(attempt, args);
        int length = std::vsnprintf(array, capacity, format, attempt);
        va_end(attempt);
        if (length < 0)
            return 0;
        unsigned int needed = static_cast<unsigned int>(length);
        if (needed < capacity)
            return needed;
        // The formatter told the length: grow once, far enough.
        if (needed >= FORMAT_LIMIT)
            return 0;
        while (capacity <= needed)
            capacity *= 2;
    }
}

unsigned int FormatToArray(Array<wchar_t>& array, wchar_t const* format, va_list args)
{
    if (format == nullptr)
        return 0;
    int const saved = errno;
    unsigned int capacity = FIRST_CAPACITY;
    for (;;) {
        if (!array.Alloc(capacity))
            return 0;
        va_list attempt;
        va_copy(attempt, args);
        // The wide formatter reports text that does not fit and real errors
        // (a bad format, an unconvertible character) with the same -1; only
        // the errors set errno. Retrying an error would double the buffer
        // to the limit for nothing.
        errno = 0;
        int length = std::vswprintf(array, capacity, format, attempt);
        int error = errno;
        va_end(attempt);
        if (length >= 0) {
            errno = saved;
            return static_cast<unsigned int>(length);
        }
        if (error != 0 || capacity >= FORMAT_LIMIT)
            return 0;
        capacity *= 2;
    }
}

unsigned int PrintToArray(Array<char>& array, char const* format, ...)
{
    va_list args;
    va_start(args, format);
    unsigned int length = FormatToArray(array, format, args);
    va_end(args);
    return length;
}

unsigned int PrintToArray(Array<wchar_t>& array, wchar_t const* format, ...)
{
    va_list args;
    va_start(args, format);
    unsigned int length = FormatToArray(array, format, args);
    va_end(args);
    return length;
}

} // namespace Basic
} // namespace Vor
