// The prefix of a log line, and the clock it reads. Not part of the
// installed interface.
#pragma once

#include <vor/core/export.h>

#include <atomic>
#include <string>

namespace Vor {
namespace Util {
namespace Internal {

// Milliseconds since 1970-01-01 UTC.
using LogClock = unsigned long long (*)();
// The clock of time stamps; null means the system's wall clock. Tests put
// their own here.
extern VOR_API std::atomic<LogClock> g_LogClock;

// The printed name of a level: five characters for the named levels, the
// decimal number for any other value.
VOR_API std::string LevelName(unsigned int level);

// Appends "[date time,mmm] [LEVEL] [tid] " to `line`, the date, time and
// milliseconds all from one clock reading. Appends nothing when the local
// time cannot be had or the prefix would pass 127 characters.
VOR_API void AppendLinePrefix(std::string& line, unsigned int level);

} // namespace Internal
} // namespace Util
} // namespace Vor
