#include "core/ScoredStrings.h"
#include "core/StringBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostmail {
namespace {

std::vector<std::string> listing(const ScoredStrings& s) {
    ExtPtrArray arr;
    EXPECT_TRUE(s.sortedAscending(arr));
    std::vector<std::string> out;
    for (int32_t i = 0; i < arr.getSize(); ++i) out.push_back(arr.at<StringBuffer>(i)->toStdString());
    arr.removeAllObjects();
    return out;
}

// A repeated string takes its latest score; the listing is by score, not
// by name or by insertion.
TEST(ScoredStrings, LatestScoreWinsAndListingIsAscending) {
    ScoredStrings s;
    s.add("c.example", 30);
    s.add("a.example", 20);
    s.add("b.example", 10);
    s.add("a.example", 5);
    s.add("b.example", 40);
    EXPECT_EQ(s.count(), 3);
    EXPECT_TRUE(s.contains("a.example"));
    EXPECT_FALSE(s.contains("A.example"));
    EXPECT_EQ(listing(s), (std::vector<std::string>{"a.example", "c.example", "b.example"}));
    s.clear();
    EXPECT_TRUE(listing(s).empty());
}

}  // namespace
}  // namespace ostmail
