#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

namespace platform { struct LocalTime; }

// A point in time as read from a Date field: seconds since 1970 UTC plus
// the zone offset the text carried (minutes east of UTC).
struct EmailDateValue {
    int64_t unixTime = 0;
    int zoneMinutes = 0;
};

// RFC 2822 date texts.
class EmailDate {
public:
    // "Fri, 04 Dec 2026 14:07:00 +0100" for now in local time. Appends.
    static void currentDateText(StringBuffer& out);
    // Same format for a given local time. Appends.
    static void formatDateText(const platform::LocalTime& t, StringBuffer& out);
    // Sign, two digits of hours and two of minutes; the sign follows the
    // offset even below one hour ("-0030"). Appends.
    static void appendZone(int offsetMinutes, StringBuffer& out);

    // Accepts "[Day,] DD Mon YYYY HH:MM[:SS] zone" where zone is +hhmm/-hhmm
    // or one of UT, GMT, EST, EDT, CST, CDT, MST, MDT, PST, PDT (any case);
    // a missing or unknown zone counts as UTC. False when no date is found.
    static bool parse(const char* text, EmailDateValue& out);
};

}  // namespace ostmail
