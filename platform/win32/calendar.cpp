#include "platform/calendar.h"
#include "platform/win32/native.h"

#include <ctime>

namespace Vor {
namespace Platform {

bool LocalNow(CalendarTime& out)
{
    out = CalendarTime{};
    SYSTEMTIME local;
    GetLocalTime(&local);
    out.year = local.wYear;
    out.month = local.wMonth;
    out.day = local.wDay;
    out.hour = local.wHour;
    out.minute = local.wMinute;
    out.second = local.wSecond;
    out.weekDay = local.wDayOfWeek;
    return true;
}

bool LocalTimeAt(long long seconds, CalendarTime& out)
{
    out = CalendarTime{};
    __time64_t at = static_cast<__time64_t>(seconds);
    std::tm local;
    // The runtime's 64-bit form with a result of the caller's: the plain
    // localtime shares one result per thread and ends in 2038.
    if (_localtime64_s(&local, &at) != 0)
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
