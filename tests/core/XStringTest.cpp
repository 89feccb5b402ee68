#include "core/XString.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ostmail::StringBuffer;
using ostmail::XString;
namespace pf = ostmail::platform;

namespace {
// Pins the ANSI code page for one test.
class AnsiCodePage {
public:
    explicit AnsiCodePage(uint32_t cp) { pf::setAnsiCodePageOverride(cp); }
    ~AnsiCodePage() { pf::setAnsiCodePageOverride(0); }
    void set(uint32_t cp) { pf::setAnsiCodePageOverride(cp); }
};

std::vector<uint16_t> units(XString& x) {
    const uint16_t* u = x.getUnicode();
    return std::vector<uint16_t>(u, u + x.getUnicodeUnits());
}
}  // namespace

TEST(XString, ConvertsBetweenFormsThroughTheAnsiCodePage) {
    AnsiCodePage acp(1252);
    XString x;
    EXPECT_STREQ("", x.getAnsi());
    EXPECT_EQ(0, x.getUnicode()[0]);
    x.setFromUtf8("text");
    x.setFromUtf8("");  // same as clear
    EXPECT_TRUE(x.isEmpty());
    EXPECT_EQ(0, x.getUnicode()[0]);

    XString a;
    a.setFromAnsi("caf\xE9 \x80");  // 0x80 is the euro sign in 1252
    EXPECT_EQ(XString::kAnsiExact, a.ansiAccuracy());
    EXPECT_STREQ("caf\xC3\xA9 \xE2\x82\xAC", a.getUtf8());
    EXPECT_EQ((std::vector<uint16_t>{'c', 'a', 'f', 0xE9, ' ', 0x20AC}), units(a));
    EXPECT_EQ(6u, a.numChars());

    acp.set(28595);  // ISO-8859-5: the same bytes now mean Cyrillic
    XString cyr;
    cyr.setFromAnsi("\xB0");
    EXPECT_STREQ("\xD0\x90", cyr.getUtf8());

    acp.set(65001);
    XString u;
    u.setFromAnsi("\xE4\xB8\xAD");
    EXPECT_EQ(std::vector<uint16_t>{0x4E2D}, units(u));
}

TEST(XString, LossyAnsiIsConvertedAfreshAfterCopyOut) {
    AnsiCodePage acp(1252);
    const uint16_t text[] = {'a', 0x4E2D, 'b'};
    XString x;
    x.setFromUnicode(text, 3);
    EXPECT_STREQ("ab", x.getAnsi());
    EXPECT_EQ(XString::kAnsiLossy, x.ansiAccuracy());
    EXPECT_EQ(2u, x.numChars());  // the lossy ANSI form is current

    acp.set(65001);
    EXPECT_STREQ("ab", x.getAnsi());  // plain get keeps the cached text
    StringBuffer out;
    ASSERT_TRUE(x.copyAnsiTo(out));
    EXPECT_STREQ("ab", out.getString());
    EXPECT_STREQ("a\xE4\xB8\xAD" "b", x.getAnsi());  // converted again, now exact
    EXPECT_EQ(XString::kAnsiExact, x.ansiAccuracy());
    EXPECT_EQ(3u, x.getUnicodeUnits());  // the exact forms were never touched
}

TEST(XString, IllFormedInputBecomesReplacementCharacters) {
    XString x;
    x.setFromUtf8("a\xC0\x80" "b\xED\xA0\x80" "c\xE4\xB8");
    std::vector<uint16_t> want = {'a', 0xFFFD, 0xFFFD, 'b', 0xFFFD, 0xFFFD, 0xFFFD, 'c', 0xFFFD};
    EXPECT_EQ(want, units(x));
    EXPECT_EQ(want.size(), x.numChars());

    const uint16_t lone[] = {'x', 0xD800, 'y', 0xDC00, 0xD83D, 0xDE00};
    XString s;
    s.setFromUnicode(lone, 6);
    EXPECT_STREQ("x\xEF\xBF\xBDy\xEF\xBF\xBD\xF0\x9F\x98\x80", s.getUtf8());
    EXPECT_EQ(6u, s.numChars());

    // Valid text of every length survives the round trip unchanged.
    std::string all = "A\xC2\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    XString r;
    r.setFromUtf8(all.c_str());
    std::vector<uint16_t> u = units(r);
    XString back;
    back.setFromUnicode(u.data(), u.size());
    EXPECT_EQ(all, back.getUtf8());
    EXPECT_EQ(7u, u.size());

    XString w;
    w.setFromWide(std::wstring(L"x\U0001F600\u00E9"));
    EXPECT_EQ(4u, w.getUnicodeUnits());
    EXPECT_EQ(std::wstring(L"x\U0001F600\u00E9"), w.getWide());
    EXPECT_STREQ("x\xF0\x9F\x98\x80\xC3\xA9", w.getUtf8());
}

TEST(XString, EditsMakeOtherFormsStale) {
    AnsiCodePage acp(1252);
    XString x;
    x.setFromAnsi("Gr\xFC\xDF");
    EXPECT_EQ(4u, x.getUnicodeUnits());
    x.appendUtf8(" \xE2\x82\xAC");
    EXPECT_EQ(6u, x.getUnicodeUnits());
    EXPECT_STREQ("Gr\xFC\xDF \x80", x.getAnsi());
    x.appendAnsi("!");
    EXPECT_STREQ("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC!", x.getUtf8());

    EXPECT_EQ(5, x.indexOf("\xE2\x82\xAC"));  // character index, not byte offset
    EXPECT_EQ(-1, x.indexOf("zz"));

    x.setFromUtf8("  \xC3\xA9t\xC3\xA9\r\n");
    x.trim();
    EXPECT_EQ(3u, x.getUnicodeUnits());
    XString y;
    y.copyFrom(x);
    x.clear();
    EXPECT_TRUE(y.equalsUtf8("\xC3\xA9t\xC3\xA9"));
}

TEST(XString, LargeTextRoundTrip) {
    std::string big;
    const char* piece = "Zeile mit Umlaut \xC3\xA4 und \xE2\x82\xAC und \xF0\x9F\x93\x8E\r\n";
    while (big.size() < (5u << 20)) big += piece;
    XString x, y;
    x.setFromUtf8(big.c_str(), big.size());
    y.setFromUnicode(x.getUnicode(), x.getUnicodeUnits());
    EXPECT_GT(x.getUnicodeUnits(), 4u << 20);
    ASSERT_EQ(big.size(), y.getSizeUtf8());
    EXPECT_TRUE(y.getUtf8Sb().equals(x.getUtf8Sb()));
}
