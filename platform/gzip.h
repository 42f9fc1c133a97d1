// Whole-file gzip compression, for log backups. Present when the library
// was built with zlib; otherwise every call fails with ENOSYS.
#pragma once

#include "platform/export.h"

namespace Vor {
namespace Platform {

// True when this build can compress.
VOR_PLATFORM_API bool CanGzip();

// Compresses the file `from` into a new gzip file `to`. An existing `to` is
// never replaced (EEXIST). On failure nothing is left at `to` and the
// reason is in LastError.
VOR_PLATFORM_API bool GzipFile(char const* from, char const* to);

} // namespace Platform
} // namespace Vor
