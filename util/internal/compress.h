// Compression of backed-up log files. Not part of the installed interface.
#pragma once

#include <string>

namespace Vor {
namespace Util {
namespace Internal {

// Compresses the file `name` into `name` + ".gz", leaving `name` in place.
// The library carries no compressor yet: this always fails (and creates
// nothing), so backups stay uncompressed.
bool Compress(std::string const& name);

} // namespace Internal
} // namespace Util
} // namespace Vor
