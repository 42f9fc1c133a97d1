// Encodings of wide text for byte devices. Not part of the installed
// interface.
//
// wchar_t holds UTF-32 on Linux and UTF-16 on Windows, where a character
// beyond the basic plane takes two wchar_t (a surrogate pair). Byte devices (memory, sockets, the parameter
// forms of Printf) carry wide text as UTF-16LE, two bytes per unit, so a
// reader on any platform sees the same bytes; text meant for people (the
// standard streams, stream files) goes out as UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace Vor {
namespace Io {
namespace Internal {

// Code points that cannot be encoded become U+FFFD.
inline char32_t ValidCodePoint(wchar_t c)
{
    char32_t u = static_cast<char32_t>(c);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))
        return 0xFFFD;
    return u;
}

// The code point that starts at text[i]; i moves past it. A surrogate pair
// of 16-bit wchar_t is one code point; a lone surrogate is U+FFFD.
inline char32_t NextCodePoint(wchar_t const* text, std::size_t length, std::size_t& i)
{
    char32_t u = static_cast<char32_t>(text[i++]);
    if (sizeof(wchar_t) == 2 && u >= 0xD800 && u <= 0xDBFF && i < length) {
        char32_t low = static_cast<char32_t>(text[i]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++i;
            return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return ValidCodePoint(static_cast<wchar_t>(u));
}

// Appends the UTF-16LE bytes of `length` wide characters to `out`.
inline void AppendUtf16Le(std::string& out, wchar_t const* text, std::size_t length)
{
    out.reserve(out.size() + length * 2);
    auto unit = [&out](char32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>((u >> 8) & 0xFF));
    };
    for (std::size_t i = 0; i < length;) {
        char32_t u = NextCodePoint(text, length, i);
        if (u < 0x10000) {
            unit(u);
        } else {
            u -= 0x10000;
            unit(0xD800 + (u >> 10));
            unit(0xDC00 + (u & 0x3FF));
        }
    }
}

// Appends the UTF-8 bytes of `length` wide characters to `out`.
inline void AppendUtf8(std::string& out, wchar_t const* text, std::size_t length)
{
    out.reserve(out.size() + length);
    for (std::size_t i = 0; i < length;) {
        char32_t u = NextCodePoint(text, length, i);
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else if (u < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (u >> 18)));
            out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
}

} // namespace Internal
} // namespace Io
} // namespace Vor
