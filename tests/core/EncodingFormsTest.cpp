#include "core/CodingTestSupport.h"
#include "core/Logger.h"
#include "core/MacArabic.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using ostmail_test::CodecPeer;
using ostmail_test::toHex;
using ostmail_test::convert;

TEST(EncodingForms, ByteOrderMarksAndCopies) {
    EXPECT_EQ(convert(65001, 1200, "\xEF\xBB\xBFhi"), std::string("h\0i\0", 4));
    EXPECT_EQ(convert(65001, 1201, "\xEF\xBB\xBFhi"), std::string("\0h\0i", 4));
    EXPECT_EQ(convert(1200, 1201, std::string("\xFF\xFEh\0", 4)), std::string("\0h", 2));
    // A big-endian mark on 1200 input makes it big-endian.
    EXPECT_EQ(convert(1200, 65001, std::string("\xFE\xFF\0h\0\xE9", 6)), "h\xC3\xA9");
    bool ok = false;
    EXPECT_EQ(convert(65001, 28591, "\xEF\xBB\xBF", &ok), "");
    EXPECT_TRUE(ok);
    // Target 0 or the source itself: bytes unchanged, even malformed ones.
    EXPECT_EQ(convert(65001, 0, "\xFF\xEF\xBB\xBF"), "\xFF\xEF\xBB\xBF");
    EXPECT_EQ(convert(932, 932, "\x82"), "\x82");
}

TEST(EncodingForms, ByNamesAndMissingTables) {
    EncodingConvert ec;
    DataBuffer out;
    Logger log;
    EXPECT_TRUE(ec.convertByNames("utf_8", "Latin1", "\xC3\xA9", 2, out, log));
    EXPECT_EQ(ostmail_test::str(out), "\xE9");
    EXPECT_EQ(ec.dstCodePage(), 28591u);
    EXPECT_FALSE(ec.convertByNames("utf-8", "klingon", "a", 1, out, log));
    EXPECT_FALSE(ec.convert(65001, 1361, "abc", 3, out, log));
    EXPECT_FALSE(ec.convert(10001, 65001, "abc", 3, out, log));
    StringBuffer text;
    log.GetText(text);
    EXPECT_TRUE(text.containsSubstring("No conversion table for the code page.")) << text.getString();
    EXPECT_TRUE(text.containsSubstring("1361"));
    EXPECT_FALSE(EncodingConvert::canConvert(1361));
    EXPECT_TRUE(EncodingConvert::canConvert(50222));
}

// Half-width katakana in each of the three ISO-2022-JP forms: Python reads
// 50220 (folded to full width, voiced marks joined) and 50221 (ESC ( I);
// 50222 (SO/SI) has no Python codec and must at least read back.
TEST(EncodingForms, HalfWidthKanaInIso2022Jp) {
    const std::string half = "\uff76\uff9e\uff8a\uff9f\uff71 \uff73\uff9e";
    CodecPeer peer;
    size_t full = peer.add("dec", "iso2022_jp", "strict", convert(65001, 50220, half));
    size_t escI = peer.add("dec", "iso2022_jp_ext", "strict", convert(65001, 50221, half));
    size_t fromPy = peer.add("enc", "iso2022_jp_ext", "strict", half);
    ASSERT_TRUE(peer.run());
    EXPECT_EQ(peer.bytes(full), "\u30ac\u30d1\u30a2 \u30f4");
    EXPECT_EQ(peer.bytes(escI), half);
    EXPECT_EQ(convert(50221, 65001, peer.bytes(fromPy)), half);
    std::string so = convert(65001, 50222, half);
    EXPECT_NE(so.find('\x0E'), std::string::npos);
    EXPECT_EQ(convert(50222, 65001, so), half);
}

// RFC 2152 rules the peer corpus does not reach: "+-", an implicit end of
// a shifted run, and malformed input.
TEST(EncodingForms, Utf7Reading) {
    bool ok = false;
    EXPECT_EQ(convert(65000, 65001, "1 +- 1 = 2+ZeVnLIqe.", &ok), "1 + 1 = 2\u65e5\u672c\u8a9e.");
    EXPECT_TRUE(ok);
    EXPECT_EQ(convert(65000, 65001, "a\xE9z", &ok), "a\uFFFDz");
    EXPECT_FALSE(ok);
    // Six leftover bits (an incomplete unit) make the text malformed.
    EXPECT_EQ(convert(65000, 65001, "+ZeVnL-x", &ok), "\u65e5x");
    EXPECT_FALSE(ok);
}

TEST(EncodingForms, Iso2022KrDesignatorOnlyWithKorean) {
    EXPECT_EQ(convert(65001, 50225, "plain\r\n"), "plain\r\n");
    std::string kr = convert(65001, 50225, "x\uac00\r\n\uac00");
    EXPECT_EQ(kr.find("\x1B$)C"), 0u);
    EXPECT_EQ(kr.rfind("\x1B$)C"), 0u);
    bool ok = false;
    // Characters outside KS X 1001 (UHC additions) have no ISO-2022-KR form.
    convert(65001, 50225, "\ub620", &ok);
    EXPECT_FALSE(ok);
}

// Visual-order Mac Arabic: the logical bytes are Python's mac_arabic form of
// the text; the visual form has the word reversed and uses the right-to-left
// space and digits, which become ASCII.
TEST(EncodingForms, MacArabicVisualToLogical) {
    CodecPeer peer;
    size_t word = peer.add("enc", "mac_arabic", "strict", "\u0633\u0644\u0627\u0645");
    ASSERT_TRUE(peer.run());
    std::string logical = peer.bytes(word);
    std::string visual(logical.rbegin(), logical.rend());
    visual += "\xA0\xB1\xB2\x81\xAC";
    std::string bytes = visual;
    MacArabic::toLogical(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
    EXPECT_EQ(toHex(bytes), toHex(logical + " 12\xA0\xAC"));
    // The conversion applies the fix-up before it needs the 10004 table.
    EncodingConvert ec;
    convert(ec, 10004, 65001, visual);
    EXPECT_EQ(ec.trace().getString()[0], 'a');
}

}  // namespace
}  // namespace ostmail
