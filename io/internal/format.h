// Formatting for the Printf operations of I/O objects. Not part of the
// installed interface.
#pragma once

#include <vor/basic/array.h>

#include "platform/format.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace Vor {
namespace Io {
namespace Internal {

// FormatToArray reports 0 characters both for an empty text and for a
// failure (formatter error, text too long, memory exhausted); an empty text
// is the only case in which formatting into no room at all succeeds.
inline bool IsEmptyText(char const* format, std::va_list args)
{
    if (!Platform::FormatFieldsFit(format, args))
        return false;
    std::va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    return length == 0;
}

inline bool IsEmptyText(wchar_t const* format, std::va_list args)
{
    if (!Platform::FormatFieldsFit(format, args))
        return false;
    wchar_t none[1];
    std::va_list copy;
    va_copy(copy, args);
    int length = std::vswprintf(none, 1, format, copy);
    va_end(copy);
    return length == 0;
}

// Formats into `text`; `length` receives the number of characters. False
// when the text cannot be formatted: a null format, a formatter error, a
// text of Basic::FORMAT_LIMIT characters or more, or no memory. `args` is
// not consumed.
template <class Char>
bool FormatText(Basic::Array<Char>& text, unsigned int& length, Char const* format, std::va_list args)
{
    length = 0;
    if (format == nullptr)
        return false;
    length = Basic::FormatToArray(text, format, args);
    return length > 0 || IsEmptyText(format, args);
}

} // namespace Internal
} // namespace Io
} // namespace Vor
