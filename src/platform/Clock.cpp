#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace ostmail {
namespace platform {

uint32_t tickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps like the 32-bit tick count
}

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

UtcTimeOfDay utcTimeOfDay() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    return UtcTimeOfDay{t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ts.tv_nsec / 1000000)};
}

LocalTime localNow() {
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    LocalTime lt{};
    lt.year = t.tm_year + 1900;
    lt.month = t.tm_mon + 1;
    lt.day = t.tm_mday;
    lt.hour = t.tm_hour;
    lt.minute = t.tm_min;
    lt.second = t.tm_sec;
    lt.weekday = t.tm_wday;
    lt.gmtOffsetMinutes = static_cast<int>(t.tm_gmtoff / 60);
    return lt;
}

int64_t unixTimeNow() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace platform
}  // namespace ostmail
