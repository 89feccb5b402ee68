#include "core/CodingTestSupport.h"
#include "core/Logger.h"
#include "core/MacArabic.h"

#include <gtest/gtest.h>

using namespace ostmail;
using namespace ostmail_test;

// A codec by Python's name, a UTF-8 text; without sameBytes Python only has to
// read our output back.
struct PeerCase { const char* codec; uint32_t codePage; const char* text; bool sameBytes; };

// Each boundary where a Unicode form changes its unit count or layout.
const char kEdges[] = "h\u00e9llo \U0001F600 \u007f\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff";

const PeerCase kCorpus[] = {
    {"cp1252", 1252, "Caf\u00e9 \u2013 \u201cquoted\u201d \u20ac5, na\u00efve \u0152uvre \u00df \u00ff", true},
    {"iso8859_2", 28592, "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148, Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105", true},
    {"koi8_r", 20866, "\u0421\u044a\u0435\u0448\u044c \u0436\u0435 \u0435\u0449\u0451 \u044d\u0442\u0438\u0445 \u0411\u0423\u041b\u041e\u041a", true},
    {"cp866", 866, "\u041f\u0440\u0438\u0432\u0435\u0442 \u2554\u2550\u2557", true},
    {"iso8859_15", 28605, "\u20acuro \u0160\u0161 \u017d\u017e", true},
    {"mac_roman", 10000, "Caf\u00e9 \u0192 \u2211 \u2022", true}, {"cp037", 37, "Hello, World! 123 [x]", true},
    {"shift_jis", 932, "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8 abc", true},
    {"cp932", 932, "\u30ab\u30bf\u30ab\u30ca\u3068\uff76\uff80\uff76\uff85\u3002\u2460\u2161\uff3c", true},
    {"euc_jp", 51932, "\u65e5\u672c\u8a9e \u3072\u3089\u304c\u306a \u30ab\u30bf\u30ab\u30ca \uff76\uff85", true},
    {"iso2022_jp", 50220, "\u65e5\u672c\u8a9e\u4f1a\u8a71 text\r\n\u3053\u3093\u306b\u3061\u306f\u3001\u4e16\u754c\u3000\u30df", true},
    {"iso2022_jp", 50221, "\u65e5\u672c abc \u6f22\u5b57", true},
    {"iso2022_jp", 50222, "\u65e5\u672c abc \u6f22\u5b57", true},
    {"gbk", 936, "\u4e2d\u6587\u5b57\u7b26\uff0c\u7b80\u4f53\u6c49\u5b57 abc", true},
    {"gb2312", 51936, "\u4e2d\u6587 \u7b80\u4f53", true}, {"gb2312", 936, "\u4e2d\u6587 \u7b80\u4f53", true},
    {"gb18030", 54936, "\u4e2d\u6587 \U0001F600 \u00ff", true}, {"hz", 52936, "\u4e2d\u6587 hz text", true},
    {"big5", 950, "\u7e41\u9ad4\u4e2d\u6587\u6e2c\u8a66", true},
    {"cp950", 950, "\u7e41\u9ad4\u4e2d\u6587\uff0c\u81fa\u7063", true},
    {"cp949", 949, "\ud55c\uad6d\uc5b4 \ub620\ubc29\uac01\ud558", true},
    {"iso2022_kr", 50225, "\ud55c\uad6d\uc5b4 \ud14d\uc2a4\ud2b8\r\nabc \uac00\ub098\ub2e4 \ub365\ub2e4", true},
    {"iso2022_kr", 50225, "abc \uac00\ub098\ub2e4 def", false},
    {"utf_7", 65000, "A\u2262\u0391.", true}, {"utf_7", 65000, "Hi Mom -\u263a-! \u01a0", true},
    {"utf_7", 65000, "Item 3 is \u00a31. a+b~\\c \U0001F600/x \u65e5\u672c\u8a9e", true},
    {"euc_kr", 51949, "\ud55c\uad6d\uc5b4 \ud14d\uc2a4\ud2b8", true},
    {"utf_16_le", 1200, kEdges, true}, {"utf_16_be", 1201, kEdges, true},
    {"utf_32_le", 65005, kEdges, true}, {"utf_32_be", 65006, kEdges, true},
};

// Every charset both ways against Python: our bytes equal Python's (or
// Python reads ours back to the same text), and we read Python's bytes back.
TEST(EncodingConvertPeer, CorpusMatchesPythonBothWays) {
    CodecPeer peer;  // answers in pairs: Python's bytes, Python reading ours
    std::vector<std::string> ours;
    for (const PeerCase& c : kCorpus) {
        bool ok = false;
        ours.push_back(convert(65001, c.codePage, c.text, &ok));
        EXPECT_TRUE(ok) << c.codec;
        peer.add("enc", c.codec, "strict", c.text);
        peer.add("dec", c.codec, "strict", ours.back());
    }
    ASSERT_TRUE(peer.run());
    for (size_t i = 0; i < std::size(kCorpus); ++i) {
        const PeerCase& c = kCorpus[i];
        SCOPED_TRACE(std::string(c.codec) + " " + std::to_string(c.codePage));
        if (c.sameBytes) {
            EXPECT_EQ(toHex(ours[i]), toHex(peer.bytes(2 * i)));
        }
        EXPECT_EQ(peer.bytes(2 * i + 1), c.text) << "reading our bytes";
        bool ok = false;
        EXPECT_EQ(convert(c.codePage, 65001, peer.bytes(2 * i), &ok), c.text) << "reading Python's";
        EXPECT_TRUE(ok);
    }
}

static std::string utf16le(const std::string& utf8) { return convert(65001, 1200, utf8); }

// The actions the library uses: dropping (the default) and the alternate code
// page, which without one set writes '?'.
struct ActionCase { int action; const char* pyErrors; bool ok; };

const ActionCase kActions[] = {
    {EncodingConvert::kDrop, "ignore", false},
    {EncodingConvert::kAltCodePage, "replace", true},
};

// Each error action against a Python error handler that does the same, on a
// single-byte table (fast path from UTF-8 and the UTF-16 path), on a
// multi-byte one and on HZ, whose replacements go in its ASCII mode.
TEST(EncodingConvertPeer, ErrorActionsMatchPythonHandlers) {
    const std::string text = "a\u00e9\u20ac\U0001F600\u0416\U00010000b";
    const struct { const char* codec; uint32_t cp; } targets[] = {{"ascii", 20127}, {"latin-1", 28591}, {"cp932", 932}, {"hz", 52936}};
    CodecPeer peer;
    for (const auto& t : targets)
        for (const ActionCase& a : kActions) peer.add("enc", t.codec, a.pyErrors, text);
    ASSERT_TRUE(peer.run());
    size_t answer = 0;
    for (const auto& t : targets) {
        for (const ActionCase& a : kActions) {
            const std::string want = toHex(peer.bytes(answer++));
            for (uint32_t from : {65001u, 1200u}) {
                SCOPED_TRACE(std::to_string(from) + "->" + std::to_string(t.cp) + " " + a.pyErrors);
                EncodingConvert ec;
                ec.setErrorAction(a.action);
                bool ok = false;
                EXPECT_EQ(toHex(convert(ec, from, t.cp, from == 1200 ? utf16le(text) : text, &ok)), want);
                EXPECT_EQ(ok, a.ok);
            }
        }
    }
}

// Half-width katakana in each of the three ISO-2022-JP forms: Python reads
// 50220 (folded to full width, voiced marks joined) and 50221 (ESC ( I); 50222
// (SO/SI) has no Python codec and must at least read back.
TEST(EncodingConvertPeer, Iso2022JpHalfWidthKana) {
    const std::string half = "\uff76\uff9e\uff8a\uff9f\uff71 \uff73\uff9e";
    CodecPeer peer;
    const size_t full = peer.add("dec", "iso2022_jp", "strict", convert(65001, 50220, half));
    const size_t escI = peer.add("dec", "iso2022_jp_ext", "strict", convert(65001, 50221, half));
    const size_t fromPy = peer.add("enc", "iso2022_jp_ext", "strict", half);
    ASSERT_TRUE(peer.run());
    EXPECT_EQ(peer.bytes(full), "\u30ac\u30d1\u30a2 \u30f4");
    EXPECT_EQ(peer.bytes(escI), half);
    EXPECT_EQ(convert(50221, 65001, peer.bytes(fromPy)), half);
    const std::string so = convert(65001, 50222, half);
    EXPECT_NE(so.find('\x0E'), std::string::npos);
    EXPECT_EQ(convert(50222, 65001, so), half);
}

// Bytes that look like marked pieces are plain Latin-1 unless markers are
// asked for; Arabic digits in ISO-8859-6; visual-order Mac Arabic: the logical
// bytes are Python's mac_arabic form of the text, the visual form has the word
// reversed and uses the right-to-left space and digits, which become ASCII.
TEST(EncodingConvertPeer, UnmarkedPiecesAndArabic) {
    const std::string marked = std::string("a\xFD\xEF\x02\xE9\x00", 6) + "b\xFD\xEF\x06&";
    bool ok = false;
    const std::string arabic = "\u0663\u0664\u0665 \u06f0\u06f9 \u0633";
    CodecPeer peer;
    const size_t plain = peer.add("dec", "latin-1", "strict", marked);
    const size_t digits = peer.add("enc", "iso8859_6", "strict", "345 09 \u0633");
    const size_t word = peer.add("enc", "mac_arabic", "strict", "\u0633\u0644\u0627\u0645");
    ASSERT_TRUE(peer.run());
    EXPECT_EQ(convert(28591, 65001, marked), peer.bytes(plain));
    EXPECT_EQ(toHex(convert(65001, 28596, arabic, &ok)), toHex(peer.bytes(digits)));
    EXPECT_TRUE(ok);
    EXPECT_EQ(toHex(convert(1200, 28596, utf16le(arabic))), toHex(peer.bytes(digits)));

    const std::string logical = peer.bytes(word);
    std::string visual(logical.rbegin(), logical.rend());
    visual += "\xA0\xE6\xE5\xB1\xB2\x81\xAC\xFD\xFB\xFE\xFF";  // "min" and "\xFE\xFF": runs of two reverse too
    std::string bytes = visual;
    MacArabic::toLogical(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
    EXPECT_EQ(toHex(bytes), toHex(logical + " \xE5\xE6" "12\xA0\xAC}{\xFF\xFE"));
    // The conversion applies the fix-up before it needs the 10004 table.
    EncodingConvert ec;
    convert(ec, 10004, 65001, visual);
    EXPECT_EQ(ec.trace().getString()[0], 'a');
}

// Byte order marks; copies when the target is 0 or the source itself (bytes
// unchanged, even malformed ones); the UTF-7 rules the peer corpus does not
// reach: "+-", an implicit end of a shifted run, malformed input, six
// leftover bits (an incomplete unit); the ISO-2022-KR designator once at the start, and
// only when there is Korean.
TEST(EncodingForms, SingleConversions) {
    const struct { uint32_t from, to; std::string in, out; int ok; } cases[] = {  // ok -1: either
        {65001, 1200, "\xEF\xBB\xBFhi", std::string("h\0i\0", 4), -1},
        {65001, 1201, "\xEF\xBB\xBFhi", std::string("\0h\0i", 4), -1},
        {1200, 1201, std::string("\xFF\xFEh\0", 4), std::string("\0h", 2), -1},
        {1201, 65001, std::string("\xFF\xFEh\0", 4), "h", -1},  // little-endian mark on 1201 input
        {1200, 65001, std::string("\xFE\xFF\0h\0\xE9", 6), "h\xC3\xA9", -1},  // big-endian mark on 1200 input
        {65001, 28591, "\xEF\xBB\xBF", "", 1},
        {65001, 0, "\xFF\xEF\xBB\xBF", "\xFF\xEF\xBB\xBF", -1},
        {932, 932, "\x82", "\x82", -1},
        {65000, 65001, "1 +- 1 = 2+ZeVnLIqe.", "1 + 1 = 2\u65e5\u672c\u8a9e.", 1},
        {65000, 65001, "a\xE9z", "a\uFFFDz", 0},
        {65000, 65001, "+ZeVnL-x", "\u65e5x", 0},
        {65000, 65001, "+AGF-", "a", 0}, {65000, 65001, "+AGF", "a", 0},  // bits left over
        {65001, 50225, "plain\r\n", "plain\r\n", -1},
        {65001, 52936, "a\u4e2db", "a~{VP~}b", 1}, {65001, 52936, "\u4e2d\u6587", "~{VPND~}", 1},
        {65001, 52936, "~\u4e2d~", "~~~{VP~}~~", 1},
        {65001, 50225, "x\uac00\r\n\uac00", "\x1B$)Cx\x0E\x30\x21\x0F\r\n\x0E\x30\x21\x0F", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + "->" + std::to_string(c.to) + " " + toHex(c.in));
        bool ok = false;
        EXPECT_EQ(toHex(convert(c.from, c.to, c.in, &ok)), toHex(c.out));
        EXPECT_TRUE(c.ok < 0 || ok == (c.ok == 1)) << "ok " << ok;
    }
    // Characters outside KS X 1001 (UHC additions) have no ISO-2022-KR form.
    bool ok = true;
    EXPECT_EQ(convert(65001, 50225, "\uac02", &ok), "");  // both of its bytes dropped
    EXPECT_FALSE(ok);
    // An error action that writes something writes it unshifted.
    EncodingConvert ec;
    ec.setErrorAction(EncodingConvert::kAltCodePage);
    EXPECT_EQ(toHex(convert(ec, 65001, 50225, "\uac00\ub620", &ok)), toHex("\x1B$)C\x0E\x30\x21\x0F?"));
    EXPECT_TRUE(ok);
}

TEST(EncodingForms, MissingTablesFailAndAreLogged) {
    EncodingConvert ec;
    DataBuffer out;
    Logger log;
    EXPECT_FALSE(ec.convert(65001, 1361, "abc", 3, out, log));
    EXPECT_FALSE(ec.convert(10001, 65001, "abc", 3, out, log));
    StringBuffer text;
    log.GetText(text);
    EXPECT_TRUE(text.containsSubstring("No conversion table for the code page.")) << text.getString();
    EXPECT_TRUE(text.containsSubstring("1361"));
}

TEST(EncodingRobustness, MalformedUnicodeFormsReadLikePython) {
    const std::string valid = "ok\xE2\x82\xAC" "ok";
    const struct { uint32_t from, to; const char *op, *codec; std::vector<std::string> inputs; } groups[] = {
        {65001, 1200, "dec16", "utf-8", {"\xC3", "a\xE2\x82", "\xF0\x9F\x98", "\xED\xA0\x80z", "\xC0\xAF",
                                          "\xF5\x80\x80", "a\x80\x80" "b", "\xE0\x80\xAF", "\xF4\x90\x80\x80",
                                          "\xFE\xFF", valid}},
        {1200, 65001, "dec", "utf-16-le",
         {std::string("\x00\xD8\x41\x00", 4), std::string("\x00\xDC", 2), std::string("a\x00\x3D\xD8", 4)}},
        {65005, 65001, "dec", "utf-32-le", {std::string("\x00\x00\x11\x00", 4), std::string("\x00\xD8\x00\x00", 4)}},
    };
    CodecPeer peer;
    for (const auto& g : groups)
        for (const auto& s : g.inputs) peer.add(g.op, g.codec, "replace", s);
    ASSERT_TRUE(peer.run());
    size_t answer = 0;
    for (const auto& g : groups) {
        for (const auto& s : g.inputs) {
            bool ok = true;
            EXPECT_EQ(toHex(convert(g.from, g.to, s, &ok)), toHex(peer.bytes(answer++))) << toHex(s);
            EXPECT_EQ(ok, s == valid) << toHex(s);
        }
    }
    // The UTF-8 texts through the direct single-byte path.
    for (const auto& s : groups[0].inputs) EXPECT_EQ(convert(65001, 20127, s).find('\x80'), std::string::npos);
    bool ok = true;
    EXPECT_EQ(convert(1200, 65001, std::string("a\0b", 3), &ok), "a");
    EXPECT_FALSE(ok);
}

// Every prefix of a valid text in each form: what is read is a prefix of the
// whole text (apart from replacement characters at the cut), and writing a
// text cut on a character boundary succeeds and reads back.
TEST(EncodingRobustness, CutInputReadsAsAPrefix) {
    const std::string text = "A\u00e9\u65e5\uff76+\ud55c-\U0001F600 z";
    const std::vector<uint32_t> ownForms = {65001, 1200, 1201, 65005, 65006, 65000, 50220, 50221, 50222, 50225};
    std::vector<uint32_t> pages = ownForms;
    pages.insert(pages.end(), {932, 949, 52936, 1252, 37});
    for (uint32_t cp : pages) {
        EncodingConvert ec;
        ec.setErrorAction(EncodingConvert::kReplace);
        ec.setReplacement("?", 1);
        const std::string encoded = convert(ec, 65001, cp, text);
        std::string whole = convert(cp, 65001, encoded);
        for (size_t k = 0; k <= encoded.size(); ++k) {
            std::string got = convert(cp, 65001, encoded.substr(0, k));
            while (got.size() >= 3 && got.compare(got.size() - 3, 3, "\xEF\xBF\xBD") == 0) got.resize(got.size() - 3);
            EXPECT_EQ(whole.compare(0, got.size(), got), 0) << cp << " cut at " << k;
        }
    }
    for (uint32_t cp : ownForms) {
        for (size_t k = 0; k <= text.size(); ++k) {
            std::string cut = text.substr(0, k);
            bool boundary = k == text.size() || (static_cast<unsigned char>(text[k]) & 0xC0) != 0x80;
            bool ok = false;
            std::string encoded = convert(65001, cp, cut, &ok);
            // UTF-8 to itself is a copy; not every character fits ISO-2022.
            if (cp == 65001 || cp == 50225 || (cp >= 50220 && cp <= 50222)) continue;
            EXPECT_EQ(ok, boundary) << cp << " cut at " << k;
            if (boundary) {
                EXPECT_EQ(convert(cp, 65001, encoded), cut) << cp << " cut at " << k;
            }
        }
    }
}
