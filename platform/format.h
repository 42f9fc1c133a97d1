// Formatting: what the C runtime's formatter can take.
#pragma once

#include "platform/export.h"

#include <cstdarg>

namespace Vor {
namespace Platform {

// Whether the system's formatter can format `format` with `args` without
// ending the process. The Windows runtime builds an integer field (width or
// precision) in a buffer on the stack, so that a field of some megabytes
// overflows it; such a field is refused there, while Linux formats it.
// `args` is not consumed.
VOR_PLATFORM_API bool FormatFieldsFit(char const* format, std::va_list args);
VOR_PLATFORM_API bool FormatFieldsFit(wchar_t const* format, std::va_list args);

// The widest integer field FormatFieldsFit lets through on Windows.
constexpr unsigned int kWidestIntegerField = 1u << 16;

} // namespace Platform
} // namespace Vor
