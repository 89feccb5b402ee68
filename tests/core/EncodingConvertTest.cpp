#include "core/CodingTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostmail {
namespace {

using ostmail_test::CodecPeer;
using ostmail_test::convert;
using ostmail_test::toHex;

struct PeerCase {
    const char* codec;  // Python's name
    uint32_t codePage;
    const char* text;   // UTF-8
    bool sameBytes;     // false: Python only has to read our output back
};

const PeerCase kCorpus[] = {
    {"cp1252", 1252, "Caf\u00e9 \u2013 \u201cquoted\u201d \u20ac5, na\u00efve \u0152uvre \u00df \u00ff", true},
    {"iso8859_2", 28592, "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148, Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105", true},
    {"koi8_r", 20866, "\u0421\u044a\u0435\u0448\u044c \u0436\u0435 \u0435\u0449\u0451 \u044d\u0442\u0438\u0445 \u0411\u0423\u041b\u041e\u041a", true},
    {"cp866", 866, "\u041f\u0440\u0438\u0432\u0435\u0442 \u2554\u2550\u2557", true},
    {"iso8859_15", 28605, "\u20acuro \u0160\u0161 \u017d\u017e", true},
    {"mac_roman", 10000, "Caf\u00e9 \u0192 \u2211 \u2022", true},
    {"cp037", 37, "Hello, World! 123 [x]", true},
    {"shift_jis", 932, "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8 abc", true},
    {"cp932", 932, "\u30ab\u30bf\u30ab\u30ca\u3068\uff76\uff80\uff76\uff85\u3002\u2460\u2161\uff3c", true},
    {"euc_jp", 51932, "\u65e5\u672c\u8a9e \u3072\u3089\u304c\u306a \u30ab\u30bf\u30ab\u30ca \uff76\uff85", true},
    {"iso2022_jp", 50220, "\u65e5\u672c\u8a9e text\r\n\u3053\u3093\u306b\u3061\u306f\u3001\u4e16\u754c", true},
    {"iso2022_jp", 50221, "\u65e5\u672c abc \u6f22\u5b57", true},
    {"iso2022_jp", 50222, "\u65e5\u672c abc \u6f22\u5b57", true},
    {"gbk", 936, "\u4e2d\u6587\u5b57\u7b26\uff0c\u7b80\u4f53\u6c49\u5b57 abc", true},
    {"gb2312", 51936, "\u4e2d\u6587 \u7b80\u4f53", true},
    {"gb2312", 936, "\u4e2d\u6587 \u7b80\u4f53", true},
    {"gb18030", 54936, "\u4e2d\u6587 \U0001F600 \u00ff", true},
    {"hz", 52936, "\u4e2d\u6587 hz text", true},
    {"big5", 950, "\u7e41\u9ad4\u4e2d\u6587\u6e2c\u8a66", true},
    {"cp950", 950, "\u7e41\u9ad4\u4e2d\u6587\uff0c\u81fa\u7063", true},
    {"euc_kr", 51949, "\ud55c\uad6d\uc5b4 \ud14d\uc2a4\ud2b8", true},
    {"cp949", 949, "\ud55c\uad6d\uc5b4 \ub620\ubc29\uac01\ud558", true},
    {"iso2022_kr", 50225, "\ud55c\uad6d\uc5b4 \ud14d\uc2a4\ud2b8\r\nabc \uac00\ub098\ub2e4", true},
    {"iso2022_kr", 50225, "abc \uac00\ub098\ub2e4 def", false},
    {"utf_7", 65000, "A\u2262\u0391.", true},
    {"utf_7", 65000, "Hi Mom -\u263a-!", true},
    {"utf_7", 65000, "\u65e5\u672c\u8a9e", true},
    {"utf_7", 65000, "Item 3 is \u00a31.", true},
    {"utf_7", 65000, "a+b~\\c \U0001F600/x", true},
    {"utf_16_le", 1200, "h\u00e9llo \U0001F600", true},
    {"utf_16_be", 1201, "h\u00e9llo \U0001F600", true},
    {"utf_32_le", 65005, "h\u00e9llo \U0001F600", true},
    {"utf_32_be", 65006, "h\u00e9llo \U0001F600", true},
};

// Every charset both ways against Python: our bytes equal Python's (or
// Python reads ours back to the same text), and we read Python's bytes back.
TEST(EncodingConvertPeer, CorpusMatchesPythonBothWays) {
    CodecPeer peer;
    std::vector<std::string> ours;
    std::vector<size_t> theirs, readBack;
    for (const PeerCase& c : kCorpus) {
        bool ok = false;
        ours.push_back(convert(65001, c.codePage, c.text, &ok));
        EXPECT_TRUE(ok) << c.codec;
        theirs.push_back(peer.add("enc", c.codec, "strict", c.text));
        readBack.push_back(peer.add("dec", c.codec, "strict", ours.back()));
    }
    ASSERT_TRUE(peer.run());
    for (size_t i = 0; i < std::size(kCorpus); ++i) {
        const PeerCase& c = kCorpus[i];
        ASSERT_FALSE(peer.refused(theirs[i])) << c.codec;
        if (c.sameBytes) {
            EXPECT_EQ(toHex(ours[i]), toHex(peer.bytes(theirs[i]))) << c.codec << " " << c.codePage;
        }
        EXPECT_EQ(peer.bytes(readBack[i]), c.text) << c.codec << " reading our bytes";
        bool ok = false;
        EXPECT_EQ(convert(c.codePage, 65001, peer.bytes(theirs[i]), &ok), c.text) << c.codec << " reading Python's";
        EXPECT_TRUE(ok) << c.codec;
    }
}

std::string utf16le(const std::string& utf8) { return convert(65001, 1200, utf8); }

struct ActionCase {
    int action;
    const char* replacement;
    uint32_t alt;
    bool marker;
    const char* pythonErrors;
    bool ok;
};

const ActionCase kActions[] = {
    {EncodingConvert::kDrop, "", 0, false, "ignore", false},
    {EncodingConvert::kReplace, "?", 0, false, "replace", true},
    {EncodingConvert::kReplace, "", 0, false, "ignore", true},
    {EncodingConvert::kHtmlRef, "", 0, false, "hexref", true},
    {EncodingConvert::kPassUnit, "", 0, false, "passunit", true},
    {EncodingConvert::kAltCodePage, "", 65001, false, "alt-utf-8", true},
    {EncodingConvert::kAltCodePage, "", 0, false, "replace", true},
    {EncodingConvert::kHtmlRef, "", 0, true, "mark-hexref", true},
    {EncodingConvert::kPassUnit, "", 0, true, "mark-passunit", true},
    {EncodingConvert::kReplace, "??", 0, true, "mark-replace??", true},
};

// Each error action against a Python error handler that does the same, on a
// single-byte table (fast path from UTF-8 and the UTF-16 path) and on a
// multi-byte one.
TEST(EncodingConvertPeer, ErrorActionsMatchPythonHandlers) {
    const std::string text = "a\u00e9\u20ac\U0001F600\u0416b";
    const struct { const char* codec; uint32_t cp; } targets[] = {{"ascii", 20127}, {"latin-1", 28591}, {"cp932", 932}};
    CodecPeer peer;
    struct Run { std::string ours; bool ok; size_t answer; const ActionCase* a; uint32_t from, to; };
    std::vector<Run> runs;
    for (const auto& t : targets) {
        for (const ActionCase& a : kActions) {
            for (uint32_t from : {65001u, 1200u}) {
                EncodingConvert ec;
                ec.setErrorAction(a.action);
                ec.setReplacement(a.replacement, std::string(a.replacement).size());
                ec.setAltCodePage(a.alt);
                ec.setMarkerFlag(a.marker);
                Run r{};
                r.ours = convert(ec, from, t.cp, from == 1200 ? utf16le(text) : text, &r.ok);
                r.answer = peer.add("enc", t.codec, a.pythonErrors, text);
                r.a = &a;
                r.from = from;
                r.to = t.cp;
                runs.push_back(r);
            }
        }
    }
    ASSERT_TRUE(peer.run());
    for (const Run& r : runs) {
        std::string where = std::to_string(r.from) + "->" + std::to_string(r.to) + " " + r.a->pythonErrors;
        EXPECT_EQ(toHex(r.ours), toHex(peer.bytes(r.answer))) << where;
        EXPECT_EQ(r.ok, r.a->ok) << where;
    }
}

// References inside ISO-2022-JP, marked pieces on input (copied through with
// the flag, plain Latin-1 without it), Arabic digits in ISO-8859-6.
TEST(EncodingConvertPeer, ReferencesMarkersAndArabicDigits) {
    EncodingConvert refs;
    refs.setErrorAction(EncodingConvert::kHtmlRef);
    bool ok = false;
    const std::string jp = convert(refs, 65001, 50220, "\u65e5\u672c\u00e4\u8a9e", &ok);
    EXPECT_TRUE(ok);

    const std::string marked = std::string("a\xFD\xEF\x02\xE9\x00", 6) + "b\xFD\xEF\x06&";
    EncodingConvert withFlag;
    withFlag.setMarkerFlag(true);
    EXPECT_EQ(convert(withFlag, 28591, 65001, marked), std::string("a\xFD\xEF\x02\xE9\x00", 6) + "b\xC3\xBD\xC3\xAF\x06&");

    const std::string arabic = "\u0663\u0664\u0665 \u06f1\u06f2 \u0633";
    CodecPeer peer;
    const size_t jpBack = peer.add("dec", "iso2022_jp", "strict", jp);
    const size_t plain = peer.add("dec", "latin-1", "strict", marked);
    const size_t digits = peer.add("enc", "iso8859_6", "strict", "345 12 \u0633");
    ASSERT_TRUE(peer.run());
    EXPECT_EQ(peer.bytes(jpBack), "\u65e5\u672c&#xE4;\u8a9e");
    EXPECT_EQ(convert(28591, 65001, marked), peer.bytes(plain));
    EXPECT_EQ(toHex(convert(65001, 28596, arabic, &ok)), toHex(peer.bytes(digits)));
    EXPECT_TRUE(ok);
    EXPECT_EQ(toHex(convert(1200, 28596, utf16le(arabic))), toHex(peer.bytes(digits)));
}

}  // namespace
}  // namespace ostmail
