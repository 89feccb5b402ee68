#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace pf = ostmail::platform;

namespace {
// Clears the locale variables for a test and restores them afterwards.
class LocaleEnv {
public:
    LocaleEnv() {
        for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* v = std::getenv(name);
            m_saved.push_back({name, v ? v : "", v != nullptr});
            unsetenv(name);
        }
    }
    ~LocaleEnv() {
        for (const Saved& s : m_saved) s.had ? setenv(s.name, s.value.c_str(), 1) : unsetenv(s.name);
    }

private:
    struct Saved {
        const char* name;
        std::string value;
        bool had;
    };
    std::vector<Saved> m_saved;
};
}  // namespace

TEST(SysInfo, AnsiCodePageFromLocale) {
    LocaleEnv env;
    EXPECT_EQ(1252u, pf::ansiCodePage());  // nothing set
    setenv("LANG", "C", 1);
    EXPECT_EQ(1252u, pf::ansiCodePage());
    setenv("LANG", "de_DE.ISO-8859-15@euro", 1);
    EXPECT_EQ(28605u, pf::ansiCodePage());
    setenv("LC_CTYPE", "ru_RU.KOI8-R", 1);
    EXPECT_EQ(20866u, pf::ansiCodePage());
    setenv("LC_ALL", "en_US.utf8", 1);
    EXPECT_EQ(65001u, pf::ansiCodePage());
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    EXPECT_EQ(932u, pf::ansiCodePage());
    setenv("LC_ALL", "xx_YY.NoSuchCharset", 1);
    EXPECT_EQ(1252u, pf::ansiCodePage());

    pf::setAnsiCodePageOverride(1251);
    EXPECT_EQ(1251u, pf::ansiCodePage());
    pf::setAnsiCodePageOverride(0);
    EXPECT_EQ(1252u, pf::ansiCodePage());
    EXPECT_EQ(437u, pf::oemCodePage());
    pf::setOemCodePageOverride(850);
    EXPECT_EQ(850u, pf::oemCodePage());
    pf::setOemCodePageOverride(0);
    EXPECT_EQ(437u, pf::oemCodePage());
}

TEST(SysInfo, NamesErrorsAndRandom) {
    EXPECT_FALSE(pf::computerName().empty());
    EXPECT_FALSE(pf::userName().empty());
    EXPECT_EQ("", pf::errorText(0));
    EXPECT_EQ(std::string(std::strerror(ENOENT)), pf::errorText(ENOENT));

    unsigned char a[64] = {0}, b[64] = {0};
    ASSERT_TRUE(pf::systemRandom(a, sizeof a));
    ASSERT_TRUE(pf::systemRandom(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(Clock, TicksAdvanceWithSleep) {
    uint32_t t0 = pf::tickCount();
    pf::sleepMs(20);
    uint32_t elapsed = pf::tickCount() - t0;  // unsigned difference survives wrap-around
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);

    pf::LocalTime lt = pf::localNow();
    EXPECT_GE(lt.year, 2020);
    EXPECT_TRUE(lt.month >= 1 && lt.month <= 12);
    EXPECT_TRUE(lt.weekday >= 0 && lt.weekday <= 6);
    pf::UtcTimeOfDay u = pf::utcTimeOfDay();
    EXPECT_TRUE(u.hour >= 0 && u.hour < 24 && u.millisecond >= 0 && u.millisecond < 1000);
    EXPECT_GT(pf::unixTimeNow(), 1600000000);
}
