#include "core/Charset.h"
#include "core/EncodingConvert.h"
#include "platform/FileSystem.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sstream>

using namespace ostmail;

// Names are normalised; short ones are refused. "ANSI" names the system's
// page; an alias may lead to a page that has no canonical name (cp930).
TEST(Charset, NameLookup) {
    const std::pair<const char*, uint32_t> names[] = {
        {"utf_8", 65001}, {"  UTF-8\t", 65001}, {"utf8", 65001}, {"Shift_JIS", 932}, {"KS_C_5601-1987", 949},
        {"ISO-8859-8 Visual", 28598}, {"iso-2022-kr-8bit", 51949}, {"x-user-defined", 50000}, {"cp930", 50930},
        {"iso646-us", 20127}, {"l1", 0}, {"", 0}, {"no-such-charset", 0}, {"HZ-GB-2312", 52936},
    };
    for (const auto& [name, cp] : names) EXPECT_EQ(Charset::codePageOfName(name), cp) << '"' << name << '"';
    EXPECT_EQ(Charset::codePageOfName(nullptr), 0u);
    platform::setAnsiCodePageOverride(1251);
    EXPECT_EQ(Charset::codePageOfName("ANSI"), 1251u);
    platform::setAnsiCodePageOverride(0);
}

// Every canonical name leads back to its code page, whichever direction is
// asked first; 50222 shares the name of 50220. docs/codepages.md lists the
// code pages that no table covers: exactly what the converter reports, for
// canonical and alias-only pages.
TEST(Charset, CanonicalNamesRoundTripAndTheDocListsTheUncovered) {
    int named = 0;
    std::set<uint32_t> missing;
    for (uint32_t cp = 1; cp < 70000; ++cp) {
        StringBuffer name;
        if (!Charset::nameOfCodePage(cp, name)) {
            EXPECT_EQ(name.getSize(), 0u);
            continue;
        }
        ++named;
        EXPECT_EQ(Charset::codePageOfName(name.getString()), cp == 50222 ? 50220u : cp) << name.getString();
        if (!EncodingConvert::canConvert(cp)) missing.insert(cp);
    }
    EXPECT_EQ(named, 139);  // 138 canonical pairs and the second name of 50220 (none for 50930)
    StringBuffer sb("x:");
    EXPECT_TRUE(Charset::nameOfCodePage(50222, sb));
    EXPECT_STREQ(sb.getString(), "x:iso-2022-jp");
    for (const char* alias : {"asmo-449", "x-cp21027", "x-user-defined", "cp930", "cp939", "euc-tw"}) {
        const uint32_t cp = Charset::codePageOfName(alias);
        ASSERT_NE(cp, 0u) << alias;
        if (!EncodingConvert::canConvert(cp)) missing.insert(cp);
    }
    // The doc lists the pages without an ICU table; Windows has its own set.
#ifndef _WIN32
    std::string doc;
    ASSERT_TRUE(platform::readWholeFile(OSTMAIL_SOURCE_DIR "/docs/codepages.md", doc));
    std::set<uint32_t> listed;
    std::istringstream uncovered(doc.substr(0, doc.find("## Covered, but")));
    for (std::string line; std::getline(uncovered, line);) {
        if (line.size() > 2 && line.compare(0, 2, "| ") == 0 && std::isdigit(static_cast<unsigned char>(line[2])))
            listed.insert(static_cast<uint32_t>(std::stoul(line.substr(2))));
    }
    EXPECT_EQ(listed, missing);
#endif
}
