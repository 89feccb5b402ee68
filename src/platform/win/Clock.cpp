#include "platform/Clock.h"

#include <windows.h>

namespace ostmail {
namespace platform {

namespace {
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
}  // namespace

// GetTickCount moves in steps of 10 to 16 ms, too coarse for the 50 ms
// heartbeats; the performance counter gives the same 32-bit milliseconds
// (wrapping alike) at full resolution.
uint32_t tickCount() {
    static const LONGLONG perSecond = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
    }();
    LARGE_INTEGER now;
    if (!perSecond || !QueryPerformanceCounter(&now)) return GetTickCount();
    const unsigned long long t = static_cast<unsigned long long>(now.QuadPart);
    const unsigned long long f = static_cast<unsigned long long>(perSecond);
    return static_cast<uint32_t>((t / f) * 1000ull + (t % f) * 1000ull / f);
}

void sleepMs(uint32_t ms) { Sleep(ms); }

UtcTimeOfDay utcTimeOfDay() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    return UtcTimeOfDay{st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

LocalTime localNow() {
    TIME_ZONE_INFORMATION tz;
    DWORD zone = GetTimeZoneInformation(&tz);
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTime lt{};
    lt.year = st.wYear;
    lt.month = st.wMonth;
    lt.day = st.wDay;
    lt.hour = st.wHour;
    lt.minute = st.wMinute;
    lt.second = st.wSecond;
    lt.weekday = st.wDayOfWeek;
    // Bias is minutes west of UTC: UTC = local + bias.
    long bias = tz.Bias;
    if (zone == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
    else if (zone == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
    lt.gmtOffsetMinutes = zone == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(-bias);
    return lt;
}

int64_t unixTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>((t - kUnixEpochFileTime) / 10000000ull);
}

}  // namespace platform
}  // namespace ostmail
