#include "core/ExtPtrArray.h"
#include "core/ScoredStrings.h"
#include "core/StringBuffer.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ostmail;

struct Counted : VelmoraObject {
    explicit Counted(int* live) : live(live) { ++*live; }
    ~Counted() override { --*live; }
    int* live;
};

static std::vector<std::string> listing(const ScoredStrings& s) {
    ExtPtrArray arr;
    EXPECT_TRUE(s.sortedAscending(arr));
    std::vector<std::string> out;
    for (int32_t i = 0; i < arr.getSize(); ++i) out.push_back(arr.at<StringBuffer>(i)->toStdString());
    arr.removeAllObjects();
    return out;
}

TEST(ExtPtrArray, IndexOperations) {
    ExtPtrArray a;
    int v[6];
    EXPECT_EQ(nullptr, a.elementAt(0));
    EXPECT_EQ(nullptr, a.pop());
    a.insertAt(-4, &v[1]);  // clamped to the front
    a.insertAt(99, &v[3]);  // clamped to the end
    a.insertAt(1, &v[2]);
    a.insertAt(0, &v[0]);
    ASSERT_EQ(4, a.getSize());
    for (int i = -1; i <= 4; ++i) EXPECT_EQ(i >= 0 && i < 4 ? &v[i] : nullptr, a.elementAt(i)) << i;
    EXPECT_EQ(2, a.find(&v[2]));
    EXPECT_EQ(-1, a.find(&v[5]));
    EXPECT_EQ(&v[1], a.removeAt(1));
    EXPECT_EQ(&v[2], a.elementAt(1));
    EXPECT_EQ(nullptr, a.removeAt(3));  // one past the end
    EXPECT_EQ(&v[3], a.pop());
    EXPECT_EQ(2, a.getSize());
}

TEST(ExtPtrArray, OwnershipIsExplicit) {
    int live = 0;
    Counted* survivor = new Counted(&live);
    {
        ExtPtrArray a;
        a.appendObject(survivor);
    }
    EXPECT_EQ(1, live);  // the array freed only its slots
    ExtPtrArray a;
    a.appendObject(survivor);
    a.appendObject(new Counted(&live));
    a.appendPtr(nullptr);
    a.appendObject(new StringBuffer("owned"));
    EXPECT_EQ(2, live);
    EXPECT_STREQ("owned", a.at<StringBuffer>(3)->getString());
    a.removeAllObjects();
    EXPECT_EQ(0, live);
    EXPECT_EQ(0, a.getSize());
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
    EXPECT_TRUE(s.contains("a.example"));
    EXPECT_FALSE(s.contains("A.example"));
    EXPECT_EQ(listing(s), (std::vector<std::string>{"a.example", "c.example", "b.example"}));
    s.clear();
    EXPECT_TRUE(listing(s).empty());
}
