#include "core/ExtPtrArray.h"
#include "core/ScoredStrings.h"
#include "core/StringBuffer.h"

#include <gtest/gtest.h>

using namespace ostmail;

TEST(ExtPtrArray, IndexOperations) {
    ExtPtrArray a;
    int v[4];
    EXPECT_EQ(nullptr, a.elementAt(0));
    EXPECT_EQ(nullptr, a.pop());
    a.insertAt(-4, &v[1]);  // clamped to the front
    a.insertAt(99, &v[3]);  // clamped to the end
    a.insertAt(1, &v[2]);
    a.insertAt(0, &v[0]);
    ASSERT_EQ(4, a.getSize());
    for (int i = -1; i <= 4; ++i) EXPECT_EQ(i >= 0 && i < 4 ? &v[i] : nullptr, a.elementAt(i)) << i;
    EXPECT_EQ(&v[1], a.removeAt(1));
    EXPECT_EQ(&v[2], a.elementAt(1));
    EXPECT_EQ(nullptr, a.removeAt(3));  // one past the end
    EXPECT_EQ(&v[3], a.pop());
    EXPECT_EQ(2, a.getSize());
}

// A repeated string takes its latest score (an MX answer may name a host
// twice); the listing is by score, not by name or by insertion.
TEST(ScoredStrings, LatestScoreWinsAndListingIsAscending) {
    const std::pair<const char*, int32_t> adds[] = {
        {"c.example", 30}, {"a.example", 20}, {"b.example", 10}, {"a.example", 5}, {"b.example", 40}};
    ScoredStrings s;
    for (const auto& [name, score] : adds) s.add(name, score);
    ExtPtrArray sorted;
    ASSERT_TRUE(s.sortedAscending(sorted));
    std::string listing;
    for (int32_t i = 0; i < sorted.getSize(); ++i) listing += sorted.at<StringBuffer>(i)->toStdString() + " ";
    sorted.removeAllObjects();
    EXPECT_EQ(listing, "a.example c.example b.example ");
}
