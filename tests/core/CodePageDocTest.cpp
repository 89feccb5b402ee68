#include "core/Charset.h"
#include "core/EncodingConvert.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sstream>

namespace ostmail {
namespace {

// docs/codepages.md lists the code pages that no table covers; the list must
// be exactly what the converter reports, for canonical and alias-only pages.
TEST(CodePageDoc, ListsExactlyTheUncoveredCodePages) {
    std::string doc;
    ASSERT_TRUE(platform::readWholeFile(OSTMAIL_SOURCE_DIR "/docs/codepages.md", doc));
    std::set<uint32_t> listed, missing;
    std::istringstream uncovered(doc.substr(0, doc.find("## Covered, but")));
    for (std::string line; std::getline(uncovered, line);) {
        if (line.size() > 2 && line.compare(0, 2, "| ") == 0 && std::isdigit(static_cast<unsigned char>(line[2])))
            listed.insert(static_cast<uint32_t>(std::stoul(line.substr(2))));
    }
    for (uint32_t cp = 1; cp < 70000; ++cp) {
        StringBuffer name;
        if (Charset::nameOfCodePage(cp, name) && !EncodingConvert::canConvert(cp)) missing.insert(cp);
    }
    for (const char* alias : {"asmo-449", "x-cp21027", "x-user-defined", "cp930", "cp939", "euc-tw"}) {
        const uint32_t cp = Charset::codePageOfName(alias);
        ASSERT_NE(cp, 0u) << alias;
        if (!EncodingConvert::canConvert(cp)) missing.insert(cp);
    }
    EXPECT_EQ(listed, missing);
}

}  // namespace
}  // namespace ostmail
