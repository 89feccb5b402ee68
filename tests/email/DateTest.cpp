#include "EmailTestUtil.h"
#include "email/EmailDate.h"
#include "platform/Clock.h"

#include <cstdlib>
#include <ctime>

using namespace ostmail;

// Fixed times give exact texts. The present moment in the zone set, read
// back by the parser, is now, with the zone's offset.
TEST(EmailDate, TextOfFixedTimesAndOfNowInEachZone) {
    for (auto [t, text] : {std::make_pair(platform::LocalTime{2026, 12, 4, 14, 7, 0, 5, 60},
                                          "Fri, 04 Dec 2026 14:07:00 +0100"),
                           std::make_pair(platform::LocalTime{2027, 1, 3, 0, 5, 9, 0, -30},
                                          "Sun, 03 Jan 2027 00:05:09 -0030")}) {
        StringBuffer sb;
        EmailDate::formatDateText(t, sb);
        EXPECT_EQ(sb.toStdString(), text);
    }
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
