#include "EmailTestUtil.h"
#include "email/EmailDate.h"
#include "platform/Clock.h"
#include "support/PythonRun.h"

#include <cstdlib>
#include <ctime>

using namespace ostmail;
using testutil::matchesShape;

TEST(EmailDate, FormatsFixedTime) {
    for (auto [t, text] : {std::make_pair(platform::LocalTime{2026, 12, 4, 14, 7, 0, 5, 60, false},
                                          "Fri, 04 Dec 2026 14:07:00 +0100"),
                           std::make_pair(platform::LocalTime{2027, 1, 3, 0, 5, 9, 0, -30, false},
                                          "Sun, 03 Jan 2027 00:05:09 -0030")}) {
        StringBuffer sb;
        EmailDate::formatDateText(t, sb);
        EXPECT_EQ(sb.toStdString(), text);
    }
}

// Python's e-mail utilities read the present moment and the zone back.
TEST(EmailDate, CurrentTextFollowsTimeZone) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    std::vector<std::string> args;
    for (const char* zone : {"UTC0", "IST-5:30", "XYZ0:30", "EST5", "XYZ-14"}) {
        setenv("TZ", zone, 1);
        tzset();
        StringBuffer sb;
        EmailDate::currentDateText(sb);
        args.push_back(sb.toStdString());
        EXPECT_TRUE(matchesShape(args.back(), "AAA, 99 AAA 9999 99:99:99 +9999") ||
                    matchesShape(args.back(), "AAA, 99 AAA 9999 99:99:99 -9999"))
            << args.back();
    }
    oldTz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
    const auto r = testsupport::runPython("import sys, email.utils, time\n"
                                          "for a in sys.argv[1:]:\n"
                                          "    d = email.utils.parsedate_to_datetime(a)\n"
                                          "    now = abs(d.timestamp() - time.time()) < 5\n"
                                          "    print(int(d.utcoffset().total_seconds() // 60), int(now))\n",
                                          "", args);
    EXPECT_EQ(r.out, "0 1\n330 1\n-30 1\n-300 1\n840 1\n") << r.err;
}

// Every one of these is 2026-12-04T13:07:00Z.
TEST(EmailDate, ParsesZonesAndRejectsJunk) {
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
    for (const char* bad : {"", "yesterday", "Fri, 32 Dec 2026 10:00:00 +0000", "04 Foo 2026 10:00:00",
                            "04 Dec 2026 25:00:00", "04 Dec 2026", "04 Dec 2026 10:00:00 +01", (const char*)nullptr})
        EXPECT_FALSE(EmailDate::parse(bad, v)) << (bad ? bad : "(null)");
}
