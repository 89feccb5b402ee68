#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace pf = ostmail::platform;

#ifndef _WIN32
// Each variable set in turn; the later ones take precedence. The locale
// variables are cleared first and restored at the end.
TEST(SysInfo, AnsiCodePageFromLocale) {
    const char* const names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    std::vector<std::pair<const char*, std::string>> saved;
    for (const char* name : names) {
        if (const char* v = std::getenv(name)) saved.emplace_back(name, v);
        unsetenv(name);
    }
    EXPECT_EQ(1252u, pf::ansiCodePage());  // nothing set
    const struct { const char *var, *value; uint32_t cp; } steps[] = {
        {"LANG", "C", 1252}, {"LANG", "de_DE.ISO-8859-15@euro", 28605}, {"LC_CTYPE", "ru_RU.KOI8-R", 20866},
        {"LC_ALL", "en_US.utf8", 65001}, {"LC_ALL", "ja_JP.SJIS", 932}, {"LC_ALL", "C.ANSI_X3.4-1968", 20127},
        {"LC_ALL", "xx_YY.NoSuchCharset", 1252},
    };
    for (const auto& s : steps) {
        setenv(s.var, s.value, 1);
        EXPECT_EQ(s.cp, pf::ansiCodePage()) << s.var << "=" << s.value;
    }
    pf::setAnsiCodePageOverride(1251);
    EXPECT_EQ(1251u, pf::ansiCodePage());
    pf::setAnsiCodePageOverride(0);
    EXPECT_EQ(1252u, pf::ansiCodePage());
    EXPECT_EQ(437u, pf::oemCodePage());
    for (const char* name : names) unsetenv(name);
    for (const auto& [name, v] : saved) setenv(name, v.c_str(), 1);
}
#endif

TEST(SysInfo, NamesErrorsAndRandom) {
    EXPECT_FALSE(pf::computerName().empty());
    EXPECT_FALSE(pf::userName().empty());
    EXPECT_EQ("", pf::errorText(0));
#ifdef _WIN32
    // The system's text, without the line end the log adds itself.
    const std::string text = pf::errorText(2);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
    pf::setOemCodePageOverride(850);
    EXPECT_EQ(850u, pf::oemCodePage());
    pf::setOemCodePageOverride(0);
    EXPECT_NE(0u, pf::oemCodePage());
    EXPECT_TRUE(ostmail::platform::ansiCodePage() > 0);
#else
    EXPECT_EQ(std::string(std::strerror(ENOENT)), pf::errorText(ENOENT));
#endif

    unsigned char a[64] = {0}, b[64] = {0};
    ASSERT_TRUE(pf::systemRandom(a, sizeof a));
    ASSERT_TRUE(pf::systemRandom(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}
