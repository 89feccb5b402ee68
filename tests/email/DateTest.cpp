#include "EmailTestUtil.h"
#include "email/EmailDate.h"
#include "platform/Clock.h"

#include <cstdlib>
#include <ctime>

using namespace ostmail;

// The present moment in the zone set: read back by the parser below, it is
// now, with the zone's offset.
TEST(EmailDate, CurrentTextFollowsTimeZone) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    for (auto [zone, minutes] : {std::make_pair("UTC0", 0), {"IST-5:30", 330}, {"XYZ0:30", -30}, {"EST5", -300},
                                 {"XYZ-14", 840}}) {
        setenv("TZ", zone, 1);
        tzset();
        StringBuffer sb;
        EmailDate::currentDateText(sb);
        EmailDateValue v;
        ASSERT_TRUE(EmailDate::parse(sb.getString(), v)) << sb.getString();
        EXPECT_LT(std::abs(v.unixTime - static_cast<int64_t>(std::time(nullptr))), 5) << zone;
        EXPECT_EQ(v.zoneMinutes, minutes) << zone;
        EXPECT_EQ(sb.getString()[sb.getSize() - 5], minutes < 0 ? '-' : '+') << zone;  // UTC is +0000
    }
    oldTz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(EmailDate, FormatsAndParsesZonesAndRejectsJunk) {
    for (auto [t, text] : {std::make_pair(platform::LocalTime{2026, 12, 4, 14, 7, 0, 5, 60},
                                          "Fri, 04 Dec 2026 14:07:00 +0100"),
                           std::make_pair(platform::LocalTime{2027, 1, 3, 0, 5, 9, 0, -30},
                                          "Sun, 03 Jan 2027 00:05:09 -0030")}) {
        StringBuffer sb;
        EmailDate::formatDateText(t, sb);
        EXPECT_EQ(sb.toStdString(), text);
    }
    // Every one of these is 2026-12-04T13:07:00Z.
    const std::pair<const char*, int> same[] = {
        {"Fri, 04 Dec 2026 14:07:00 +0100", 60},
        {"Fri, 04 Dec 2026 13:07:00 GMT", 0},     {"04 Dec 2026 13:07:00 ut", 0},
        {"Fri, 04 Dec 2026 08:07:00 EST", -300},  {"Fri, 04 Dec 2026 09:07:00 edt", -240},
        {"Fri, 04 Dec 2026 07:07:00 CST", -360},  {"Fri, 04 Dec 2026 08:07:00 CDT", -300},
        {"Fri, 04 Dec 2026 06:07:00 MST", -420},  {"Fri, 04 Dec 2026 07:07:00 MDT", -360},
        {"Fri, 04 Dec 2026 05:07:00 PST", -480},  {"Fri, 04 Dec 2026 06:07:00 PDT", -420},
        {"Fri, 4 Dec 26 12:37 -0030", -30},       {"fri,04 dec 2026 13:07:00", 0},
    };
    EmailDateValue v;
    for (auto [text, zone] : same) {
        ASSERT_TRUE(EmailDate::parse(text, v)) << text;
        EXPECT_EQ(v.unixTime, 1796389620) << text;
        EXPECT_EQ(v.zoneMinutes, zone) << text;
    }
    ASSERT_TRUE(EmailDate::parse("Tue, 29 Feb 2028 13:07:00 GMT", v));  // before March, on a leap day
    EXPECT_EQ(v.unixTime, 1835442420);
    for (const char* bad : {"", "yesterday", "Fri, 32 Dec 2026 10:00:00 +0000", "04 Foo 2026 10:00:00",
                            "04 Dec 2026 25:00:00", "04 Dec 2026", "04 Dec 2026 10:00:00 +01", (const char*)nullptr})
        EXPECT_FALSE(EmailDate::parse(bad, v)) << (bad ? bad : "(null)");
}
