// Compression of backed-up log files. Not part of the installed interface.
#pragma once

#include <vor/core/export.h>

#include <atomic>
#include <string>

namespace Vor {
namespace Util {
namespace Internal {

// Compresses the file `name` into `name` + ".gz" with gzip, leaving `name`
// in place; true on success. An existing `name` + ".gz" is never replaced.
// A build without zlib has no compressor: unless a test has put one into
// g_Compressor, this fails (and creates nothing), so backups stay
// uncompressed.
VOR_API bool Compress(std::string const& name);
// True when this build compresses backups (it was built with zlib).
VOR_API bool CanCompress();

using Compressor = bool (*)(std::string const& name);
extern VOR_API std::atomic<Compressor> g_Compressor;

} // namespace Internal
} // namespace Util
} // namespace Vor
