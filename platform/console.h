// Whole-line writes to the standard streams.
#pragma once

#include "platform/export.h"

#include <cstddef>

namespace Vor {
namespace Platform {

// Writes the bytes to standard error with as few system calls as the system
// allows (one for any ordinary line), so lines from different threads never
// interleave. Bypasses the C library's stream buffers.
VOR_PLATFORM_API void WriteStandardError(char const* text, std::size_t size);

} // namespace Platform
} // namespace Vor
