#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <gtest/gtest.h>

using namespace ostmail;

TEST(StringBuffer, EmbeddedZerosAndSelfAliasing) {
    StringBuffer sb;
    sb.appendN("ab\0cd", 5);
    EXPECT_EQ(5u, sb.getSize());
    EXPECT_FALSE(sb.containsSubstring("cd"));  // searches stop at the zero
    EXPECT_EQ(3, sb.indexOfChar('c'));

    sb.setString("abcd");
    sb.setString(sb.getString() + 2);  // a tail of itself
    EXPECT_STREQ("cd", sb.getString());
    sb.append(sb.getString());
    EXPECT_STREQ("cdcd", sb.getString());
    std::string big(1000, 'q');
    sb.setString(big.c_str());
    sb.appendN(sb.getString(), sb.getSize());  // forces growth while reading itself
    EXPECT_EQ(std::string(2000, 'q'), sb.toStdString());
    sb.setString("one two");
    sb.replaceFirstOccurrence("two", sb.getString());  // replacement aliases the text
    EXPECT_STREQ("one one two", sb.getString());
}

TEST(StringBuffer, TakeFromDataBuffer) {
    DataBuffer db;
    db.append("hello", 6);  // terminator included
    const unsigned char* mem = db.getData();
    StringBuffer sb("old text");
    sb.takeFrom(db);
    EXPECT_STREQ("hello", sb.getString());
    EXPECT_EQ(5u, sb.getSize());
    EXPECT_EQ(static_cast<const void*>(mem), static_cast<const void*>(sb.getString()));
    EXPECT_EQ(nullptr, db.getData());

    DataBuffer one;
    one.appendByte(0);
    sb.takeFrom(one);  // too short: only empties the text
    EXPECT_EQ(0u, sb.getSize());
    EXPECT_EQ(1u, one.getSize());

    static const char foreign[] = "borrowed";
    DataBuffer b;
    b.borrow(foreign, sizeof foreign);
    sb.takeFrom(b);
    EXPECT_STREQ("borrowed", sb.getString());
    EXPECT_NE(static_cast<const void*>(foreign), static_cast<const void*>(sb.getString()));
}

TEST(StringBuffer, CaseComparisonsAndFormatting) {
    StringBuffer sb("ABC\xC4\xE4\xDF\xC0z");
    sb.toLowerCase();
    EXPECT_STREQ("abc\xE4\xE4\xFF\xE0z", sb.getString());
    EXPECT_TRUE(sb.equalsIgnoreCase("ABC\xE4\xE4\xFF\xE0Z"));
    EXPECT_FALSE(sb.equalsIgnoreCase("ABC"));
    EXPECT_FALSE(sb.equalsIgnoreCase(nullptr));
    EXPECT_TRUE(StringBuffer().equalsIgnoreCase(nullptr));

    StringBuffer h("Content-Type: text/plain");
    EXPECT_TRUE(h.beginsWithIgnoreCase("content-type:"));
    EXPECT_FALSE(h.beginsWith("content"));
    EXPECT_TRUE(h.containsSubstringNoCase("TEXT/"));
    EXPECT_EQ(14, h.indexOf("text"));
    EXPECT_EQ(-1, h.indexOf("text", 15));
    EXPECT_EQ(-1, h.indexOf("x", 1000));
    StringBuffer bits("plain\x80text");
    EXPECT_TRUE(bits.is7bit(5));
    EXPECT_FALSE(bits.is7bit(6));

    StringBuffer f;
    f.appendInt(-42);
    f.appendInt64(-5000000000LL);
    std::string longArg(600, 'w');
    f.appendFormat(" %s=%u%s", "n", 7u, longArg.c_str());
    EXPECT_EQ("-42-5000000000 n=7" + longArg, f.toStdString());
}
