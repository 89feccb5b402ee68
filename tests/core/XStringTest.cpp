#include "core/XString.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ostmail;

// Pins the ANSI code page for one test.
class AnsiCodePage {
public:
    explicit AnsiCodePage(uint32_t cp) { platform::setAnsiCodePageOverride(cp); }
    ~AnsiCodePage() { platform::setAnsiCodePageOverride(0); }
    void set(uint32_t cp) { platform::setAnsiCodePageOverride(cp); }
};

static std::vector<uint16_t> units(XString& x) {
    const uint16_t* u = x.getUnicode();
    return std::vector<uint16_t>(u, u + x.getUnicodeUnits());
}

TEST(XString, ConvertsBetweenFormsThroughTheAnsiCodePageAndRefreshesLossyAnsi) {
    AnsiCodePage acp(1252);
    XString x;
    EXPECT_STREQ("", x.getAnsi());
    EXPECT_EQ(0, x.getUnicode()[0]);
    x.setFromUtf8("text");
    x.setFromUtf8("");  // same as clear
    EXPECT_TRUE(x.isEmpty());
    EXPECT_EQ(0, x.getUnicode()[0]);

    acp.set(28595);  // ISO-8859-5: the bytes mean Cyrillic, not what 1252 makes of them
    x.setFromAnsi("\xB0");
    EXPECT_STREQ("\xD0\x90", x.getUtf8());
    acp.set(65001);
    x.setFromAnsi("\xE4\xB8\xAD");
    EXPECT_EQ(std::vector<uint16_t>{0x4E2D}, units(x));

    // A lossy ANSI form is converted afresh after it is copied out.
    acp.set(1252);
    const uint16_t text[] = {'a', 0x4E2D, 'b'};
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
    x.setFromUnicode(lone, 6);
    EXPECT_STREQ("x\xEF\xBF\xBDy\xEF\xBF\xBD\xF0\x9F\x98\x80", x.getUtf8());
    EXPECT_EQ(6u, x.numChars());

    // Valid text of every length, short and 5 MB long, survives the round trip unchanged.
    const std::string all = "A\xC2\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    std::string big;
    while (big.size() < (5u << 20)) big += "Zeile mit Umlaut \xC3\xA4 und \xE2\x82\xAC und \xF0\x9F\x93\x8E\r\n";
    for (const auto& [text, nUnits] : {std::make_pair(all, size_t(7)), std::make_pair(big, big.size() / 38 * 33)}) {
        XString r, back;
        r.setFromUtf8(text.c_str(), text.size());
        back.setFromUnicode(r.getUnicode(), r.getUnicodeUnits());
        EXPECT_EQ(nUnits, r.getUnicodeUnits());
        EXPECT_EQ(text, back.getUtf8());
    }

    x.setFromWide(std::wstring(L"x\U00010000\U0010FFFF\u00E9"));  // first and last pair
    EXPECT_EQ(6u, x.getUnicodeUnits());
    EXPECT_EQ(std::wstring(L"x\U00010000\U0010FFFF\u00E9"), x.getWide());
    EXPECT_STREQ("x\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xC3\xA9", x.getUtf8());
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


    x.setFromUtf8("  \xC3\xA9t\xC3\xA9\r\n");
    x.trim();
    EXPECT_EQ(3u, x.getUnicodeUnits());
}
