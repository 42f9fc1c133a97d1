#include "platform/calendar.h"

#include <ctime>

namespace Vor {
namespace Platform {

bool LocalNow(CalendarTime& out)
{
    out = CalendarTime{};
    std::time_t now = std::time(nullptr);
    return now != static_cast<std::time_t>(-1) && LocalTimeAt(static_cast<long long>(now), out);
}

bool LocalTimeAt(long long seconds, CalendarTime& out)
{
    out = CalendarTime{};
    std::time_t at = static_cast<std::time_t>(seconds);
    std::tm local;
    // localtime_r: the plain form shares one static result between threads.
    if (localtime_r(&at, &local) == nullptr)
        return false;
    out.year = static_cast<unsigned int>(local.tm_year + 1900);
    out.month = static_cast<unsigned int>(local.tm_mon + 1);
    out.day = static_cast<unsigned int>(local.tm_mday);
    out.hour = static_cast<unsigned int>(local.tm_hour);
    out.minute = static_cast<unsigned int>(local.tm_min);
    out.second = static_cast<unsigned int>(local.tm_sec);
    out.weekDay = static_cast<unsigned int>(local.tm_wday);
    return true;
}

} // namespace Platform
} // namespace Vor
