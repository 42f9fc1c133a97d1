// The local calendar date and time of the system clock.
#pragma once

#include "platform/export.h"

namespace Vor {
namespace Platform {

struct CalendarTime {
    unsigned int year;    // full year
    unsigned int month;   // 1 .. 12
    unsigned int day;     // 1 .. 31
    unsigned int hour;    // 0 .. 23
    unsigned int minute;  // 0 .. 59
    unsigned int second;  // 0 .. 60 (leap second)
    unsigned int weekDay; // 0 .. 6, 0 = Sunday
};

// The current local time in the process's time zone. False (and every field
// 0) when the system could not convert the clock.
VOR_PLATFORM_API bool LocalNow(CalendarTime& out);

// The local time of `seconds` since 1970-01-01 UTC, in the process's time
// zone; false (and every field 0) when it cannot be converted. Lets a caller
// derive a whole time stamp from one clock reading.
VOR_PLATFORM_API bool LocalTimeAt(long long seconds, CalendarTime& out);

} // namespace Platform
} // namespace Vor
