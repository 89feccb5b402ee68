#include "core/Charset.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

TEST(Charset, NameLookupNormalisesAndRejectsShortNames) {
    EXPECT_EQ(Charset::codePageOfName("utf_8"), 65001u);
    EXPECT_EQ(Charset::codePageOfName("  UTF-8\t"), 65001u);
    EXPECT_EQ(Charset::codePageOfName("utf8"), 65001u);
    EXPECT_EQ(Charset::codePageOfName("Shift_JIS"), 932u);
    EXPECT_EQ(Charset::codePageOfName("KS_C_5601-1987"), 949u);
    EXPECT_EQ(Charset::codePageOfName("ISO-8859-8 Visual"), 28598u);
    EXPECT_EQ(Charset::codePageOfName("iso-2022-kr-8bit"), 51949u);
    EXPECT_EQ(Charset::codePageOfName("x-user-defined"), 50000u);
    EXPECT_EQ(Charset::codePageOfName("l1"), 0u);  // two letters
    EXPECT_EQ(Charset::codePageOfName(""), 0u);
    EXPECT_EQ(Charset::codePageOfName(nullptr), 0u);
    EXPECT_EQ(Charset::codePageOfName("no-such-charset"), 0u);
}

// Every canonical name leads back to its code page, whichever direction is
// asked first; 50222 shares the name of 50220.
TEST(Charset, CanonicalNamesRoundTrip) {
    int named = 0;
    for (uint32_t cp = 1; cp < 70000; ++cp) {
        StringBuffer name;
        if (!Charset::nameOfCodePage(cp, name)) {
            EXPECT_EQ(name.getSize(), 0u);
            continue;
        }
        ++named;
        std::string s = name.getString();
        uint32_t back = Charset::codePageOfName(s.c_str());
        EXPECT_EQ(back, cp == 50222 ? 50220u : cp) << s;
    }
    EXPECT_EQ(named, 139);  // 138 canonical pairs and the second name of 50220
    StringBuffer sb("x:");
    EXPECT_TRUE(Charset::nameOfCodePage(50222, sb));
    EXPECT_STREQ(sb.getString(), "x:iso-2022-jp");
}

// "ANSI" names the system's page; an alias may lead to a page that has no
// canonical name.
TEST(Charset, SystemPageNamesAndAliases) {
    platform::setAnsiCodePageOverride(1251);
    EXPECT_EQ(Charset::codePageOfName("ANSI"), 1251u);
    platform::setAnsiCodePageOverride(0);
    EXPECT_EQ(Charset::codePageOfName("cp930"), 50930u);
    StringBuffer name;
    EXPECT_FALSE(Charset::nameOfCodePage(50930, name));
}

}  // namespace
}  // namespace ostmail
