#include <vor/basic/array.h>

#include "platform/format.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace Vor {
namespace Basic {

namespace {

constexpr unsigned int FIRST_CAPACITY = 256;

// What one attempt of the formatter tells: the text fitted (with its
// terminator), or it did not and a buffer of `needed` characters may hold
// it, or it failed in a way no buffer cures (needed 0).
struct Attempt {
    bool fitted;
    unsigned int length;
    unsigned long long needed;
};

// The narrow formatter reports the length the text needs.
Attempt Try(char* buffer, unsigned int capacity, char const* format, va_list args)
{
    int length = std::vsnprintf(buffer, capacity, format, args);
    if (length < 0)
        return {false, 0, 0};
    unsigned int n = static_cast<unsigned int>(length);
    return {n < capacity, n, static_cast<unsigned long long>(n) + 1};
}

// The wide formatter reports text that does not fit and real errors (a bad
// format, an unconvertible character) with the same -1; only the errors
// set errno. Retrying an error would double the buffer to the limit for
// nothing; text that did not fit needs more than it had.
Attempt Try(wchar_t* buffer, unsigned int capacity, wchar_t const* format, va_list args)
{
    int const saved = errno;
    errno = 0;
    int length = std::vswprintf(buffer, capacity, format, args);
    int error = errno;
    errno = saved;
    if (length >= 0 && static_cast<unsigned int>(length) < capacity)
        return {true, static_cast<unsigned int>(length), 0};
    // Windows' C99 formatter reports the length text that did not fit
    // needs, as the narrow one does.
    if (length >= 0)
        return {false, 0, static_cast<unsigned long long>(length) + 1};
    return {false, 0, error != 0 ? 0 : static_cast<unsigned long long>(capacity) + 1};
}

template <class Char>
unsigned int Format(Array<Char>& array, Char const* format, va_list args)
{
    if (format == nullptr || !Platform::FormatFieldsFit(format, args))
        return 0;
    unsigned int capacity = FIRST_CAPACITY;
    for (;;) {
        if (!array.Alloc(capacity))
            return 0;
        // A va_list is spent by the formatter that reads it: every attempt
        // reads its own copy.
        va_list copy;
        va_copy(copy, args);
        Attempt attempt = Try(static_cast<Char*>(array), capacity, format, copy);
        va_end(copy);
        if (attempt.fitted)
            return attempt.length;
        if (attempt.needed == 0 || attempt.needed > FORMAT_LIMIT)
            return 0;
        while (capacity < attempt.needed)
            capacity *= 2;
    }
}

} // namespace

unsigned int FormatToArray(Array<char>& array, char const* format, va_list args) { return Format(array, format, args); }

unsigned int FormatToArray(Array<wchar_t>& array, wchar_t const* format, va_list args)
{
    return Format(array, format, args);
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
