// Compression of backed-up log files. Not part of the installed interface.
#pragma once

#include <atomic>
#include <string>

namespace Vor {
namespace Util {
namespace Internal {

// Compresses the file `name` into `name` + ".gz", leaving `name` in place;
// true on success. The library carries no compressor yet: unless a test has
// put one into g_Compressor, this fails (and creates nothing), so backups
// stay uncompressed.
bool Compress(std::string const& name);

using Compressor = bool (*)(std::string const& name);
extern std::atomic<Compressor> g_Compressor;

} // namespace Internal
} // namespace Util
} // namespace Vor
