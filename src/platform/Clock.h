#pragma once
#include <cstdint>

namespace ostmail {
namespace platform {

// Milliseconds from a monotonic clock, 32 bits with wrap-around kept.
uint32_t tickCount();
void sleepMs(uint32_t ms);

// Current UTC time of day, for log time stamps.
struct UtcTimeOfDay {
    int hour, minute, second, millisecond;
};
UtcTimeOfDay utcTimeOfDay();

// Local broken-down time of now, with the zone offset in minutes east of UTC.
struct LocalTime {
    int year, month, day, hour, minute, second, weekday;  // month 1-12, weekday 0 = Sunday
    int gmtOffsetMinutes;
};
LocalTime localNow();
int64_t unixTimeNow();

}  // namespace platform
}  // namespace ostmail
