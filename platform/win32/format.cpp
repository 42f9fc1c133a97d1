#include "platform/format.h"

#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace Vor {
namespace Platform {

namespace {

// The sizes an argument of an integer or floating conversion can have.
enum class Size { Int, Long, LongLong, Pointer, LongDouble };

// Walks the conversions as the formatter will, taking each argument by its
// type, and looks at the width and precision of every integer field. A
// conversion it does not know ends the walk: the formatter refuses it, or
// the arguments after it cannot be placed.
template <class Char>
bool FieldsFit(Char const* format, std::va_list args)
{
    if (format == nullptr)
        return true;
    std::va_list walk;
    va_copy(walk, args);
    bool fit = true;
    auto number = [](Char const*& at) {
        unsigned long long value = 0;
        for (; *at >= '0' && *at <= '9'; ++at)
            value = value > kWidestIntegerField ? value : value * 10 + static_cast<unsigned int>(*at - '0');
        return value;
    };
    for (Char const* at = format; fit && *at != 0; ++at) {
        if (*at != '%')
            continue;
        if (*++at == '%')
            continue;
        while (*at == '-' || *at == '+' || *at == ' ' || *at == '#' || *at == '0' || *at == '\'')
            ++at;
        unsigned long long width = 0, precision = 0;
        if (*at == '*') {
            int given = va_arg(walk, int);
            width = given < 0 ? 0ull - static_cast<long long>(given) : static_cast<unsigned long long>(given);
            ++at;
        } else {
            width = number(at);
        }
        if (*at == '$')
            break; // numbered arguments: not walked
        if (*at == '.') {
            ++at;
            if (*at == '*') {
                int given = va_arg(walk, int);
                precision = given < 0 ? 0 : static_cast<unsigned long long>(given);
                ++at;
            } else {
                precision = number(at);
            }
        }
        Size size = Size::Int;
        for (bool more = true; more;) {
            switch (*at) {
            case 'h':
                ++at;
                break;
            case 'l':
                size = size == Size::Long ? Size::LongLong : Size::Long;
                ++at;
                break;
            case 'q':
            case 'L':
                size = *at == 'L' ? Size::LongDouble : Size::LongLong;
                ++at;
                break;
            case 'j':
                size = sizeof(std::intmax_t) > sizeof(long) ? Size::LongLong : Size::Long;
                ++at;
                break;
            case 'z':
            case 't':
                size = Size::Pointer;
                ++at;
                break;
            case 'I':
                if (at[1] == '6' && at[2] == '4')
                    size = Size::LongLong, at += 3;
                else if (at[1] == '3' && at[2] == '2')
                    size = Size::Int, at += 3;
                else
                    size = Size::Pointer, ++at;
                break;
            default:
                more = false;
            }
        }
        switch (*at) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            fit = width <= kWidestIntegerField && precision <= kWidestIntegerField;
            if (size == Size::LongLong)
                va_arg(walk, long long);
            else if (size == Size::Long)
                va_arg(walk, long);
            else if (size == Size::Pointer)
                va_arg(walk, std::ptrdiff_t);
            else
                va_arg(walk, int);
            break;
        case 'p':
            fit = width <= kWidestIntegerField && precision <= kWidestIntegerField;
            va_arg(walk, void*);
            break;
        case 'c':
        case 'C':
            va_arg(walk, int);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (size == Size::LongDouble)
                va_arg(walk, long double);
            else
                va_arg(walk, double);
            break;
        case 's':
        case 'S':
        case 'n':
            va_arg(walk, void*);
            break;
        default:
            at = nullptr;
        }
        if (at == nullptr || *at == 0)
            break;
    }
    va_end(walk);
    return fit;
}

} // namespace

bool FormatFieldsFit(char const* format, std::va_list args) { return FieldsFit(format, args); }
bool FormatFieldsFit(wchar_t const* format, std::va_list args) { return FieldsFit(format, args); }

} // namespace Platform
} // namespace Vor
