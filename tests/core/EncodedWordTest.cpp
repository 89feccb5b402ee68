#include "core/CodingTestSupport.h"
#include "core/ContentCoding.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

using namespace ostmail;
using namespace ostmail_test;

namespace {

std::string headerWord(const std::string& text, const char* charset, bool commas = false) {
    ContentCoding cc;
    cc.setQEncodeCommas(commas);
    StringBuffer sb;
    cc.encodeHeaderWord(text.data(), text.size(), charset, sb);
    return str(sb);
}

std::string toUtf8(const std::string& text) {
    StringBuffer sb(text.data(), text.size());
    ContentCoding::decodeWordsToUtf8(sb);
    return str(sb);
}

std::string raw(const std::string& text, bool* whole = nullptr) {
    StringBuffer in(text.data(), text.size());
    StringBuffer out;
    const bool ok = ContentCoding::decodeWordsRaw(in, out);
    if (whole) *whole = ok;
    return str(out);
}

// Leaves comma alone unless the decoder sets it.
std::string addressList(const std::string& text, bool& comma) {
    StringBuffer sb(text.data(), text.size());
    ContentCoding::decodeWordsForAddressList(sb, comma);
    return str(sb);
}

// The words of a split encoding, without the folds between them.
std::vector<std::string> splitWords(const std::string& bytes, const char* charset, bool bWords) {
    StringBuffer sb;
    EXPECT_TRUE(bWords ? ContentCoding::encodeBWordsSplit(bytes.data(), bytes.size(), charset, sb)
                       : ContentCoding().encodeQWordsSplit(bytes.data(), bytes.size(), charset, sb));
    return splitOn(str(sb), "\r\n\t");
}

std::string removeAll(std::string s, const std::string& what) {
    for (size_t p; (p = s.find(what)) != std::string::npos;) s.erase(p, what.size());
    return s;
}

const char* const kPythonText = "str(email.header.make_header(email.header.decode_header(x.decode()))).encode()";

}  // namespace

TEST(EncodedWordTest, WordFormAndCharsetChoice) {
    EXPECT_EQ(headerWord("a b", "big5"), "=?big5?B?YSBi?=");
    EXPECT_EQ(headerWord("a b", "BIG5"), "=?BIG5?B?YSBi?=");
    EXPECT_EQ(headerWord("a b", "iso-8859-1"), "=?iso-8859-1?Q?a_b?=");
    EXPECT_EQ(headerWord("x=y?z_w\x01\x7f\xe9,(\"')", "iso-8859-1"), "=?iso-8859-1?Q?x=3Dy=3Fz=5Fw=01=7F=E9,(\"')?=");
    EXPECT_EQ(headerWord("Doe, John", "iso-8859-1", true), "=?iso-8859-1?Q?Doe=2C_John?=");
    EXPECT_EQ(headerWord("caf\xc3\xa9", ""), "=?utf-8?Q?caf=C3=A9?=");
    // Text that already holds words is passed on untouched.
    EXPECT_EQ(headerWord("=?utf-8?Q?a?=", "big5"), "=?utf-8?Q?a?=");
    EXPECT_EQ(headerWord(std::string(100, 'x') + "?B?", "big5").substr(0, 10), "=?big5?B?e");

    for (const char* b : {"Shift-JIS", "cp-1256"}) EXPECT_TRUE(ContentCoding::isBWordCharset(b)) << b;
    for (const char* q : {"shift_jis ", "windows-1252"}) EXPECT_FALSE(ContentCoding::isBWordCharset(q)) << q;

    // What Python reads back from our words is the text we put in.
    const std::vector<std::string> texts = {"Hello world", "caf\xc3\xa9 cr\xc3\xa8me = ok? _yes_",
                                            "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "tab\there, comma"};
    std::vector<std::string> words;
    for (const auto& t : texts) {
        StringBuffer q, b;
        ContentCoding().encodeQWord(t.data(), t.size(), "utf-8", q);
        ContentCoding::encodeBWord(t.data(), t.size(), "utf-8", b);
        words.push_back(str(q));
        words.push_back(str(b));
    }
    const auto back = pythonMap(kPythonText, words);
    for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(back[i], texts[i / 2]) << words[i];
}

TEST(EncodedWordTest, SplitWordsKeepCharactersWhole) {
    // 30 bytes of UTF-8, 15 characters: 12 in the first word, 3 in the second.
    std::string s30;
    for (int i = 0; i < 15; ++i) s30 += "\xc3\xa9";
    const auto bWords = splitWords(s30, "utf-8", true);
    ASSERT_EQ(bWords.size(), 2u);
    EXPECT_EQ(raw(bWords[0]), s30.substr(0, 24));
    EXPECT_EQ(raw(bWords[0] + bWords[1]), s30);
    EXPECT_EQ(splitWords("Twenty-three bytes long", "utf-8", true).size(), 1u);
    const auto qWords = splitWords(std::string(35, 'q'), "iso-8859-1", false);
    ASSERT_EQ(qWords.size(), 3u);
    EXPECT_EQ(qWords[0], "=?iso-8859-1?Q?" + std::string(17, 'q') + "?=");

    // Multi-byte text in several charsets, and a surrogate pair at a cut.
    const std::string japanese = "\u65e5\u672c\u8a9e\u306e\u4ef6\u540d\u3067\u3059\u3002\u9577\u3044\u30c6"
                                 "\u30ad\u30b9\u30c8\u3092\u5206\u3051\u307e\u3059";
    const std::string emoji = std::string(11, 'e') + "\xf0\x9f\x98\x80" + std::string(20, 'f');
    struct Case { std::string text; const char* charset; uint32_t cp; };
    const std::vector<Case> cases = {{japanese, "utf-8", 65001},     {japanese, "shift_jis", 932},
                                     {japanese, "iso-2022-jp", 50220}, {japanese, "euc-jp", 51932},
                                     {emoji, "utf-8", 65001},          {emoji, "no-such-charset", 65001}};
    // Each B word alone must decode to whole characters; so must the runs.
    std::vector<std::string> words;
    std::string want;  // per case, the text twice (B then Q)
    for (const auto& c : cases) {
        const std::string bytes = ostmail_test::convert(65001, c.cp, c.text);
        ASSERT_FALSE(bytes.empty()) << c.charset;
        const auto b = splitWords(bytes, c.charset, true), q = splitWords(bytes, c.charset, false);
        EXPECT_GT(b.size(), 1u) << c.charset;
        words.insert(words.end(), b.begin(), b.end());
        words.push_back(std::accumulate(q.begin(), q.end(), std::string()));
        want += c.text + c.text;
    }
    const auto back = pythonMap("str(email.header.make_header(email.header.decode_header("
                                "x.decode().replace('no-such-charset', 'utf-8')))).encode()",
                                words);
    EXPECT_EQ(std::accumulate(back.begin(), back.end(), std::string()), want);
}

TEST(EncodedWordTest, DecodeRules) {
    EXPECT_EQ(toUtf8("=?utf-8?Q?a_b?="), "a b");
    EXPECT_EQ(toUtf8("x =?utf-8?Q?a?= =?UTF-8?b?Yg==?= y"), "x a b y");
    EXPECT_EQ(toUtf8("=?8bit?Q?caf=C3=A9?="), "caf\xc3\xa9");
    EXPECT_EQ(toUtf8("=?iso-8859-1?Q?caf=e9?="), "caf\xc3\xa9");
    EXPECT_EQ(raw("=?iso-8859-1?Q?caf=E9?="), "caf\xe9");
    EXPECT_EQ(toUtf8("=?x-unknown?Q?caf=E9?="), "caf\xe9");
    EXPECT_EQ(toUtf8("=?utf-8?Q?=FF=FE?="), "\xff\xfe");  // invalid UTF-8 passes as it is
    EXPECT_EQ(toUtf8("=?utf-8?Q?a=zz=4?="), "a=zz=4");
    EXPECT_EQ(toUtf8("=?utf-8?Q?a?b\x01\x7f\x85\xa0?="), "ab\xa0");
    EXPECT_EQ(toUtf8("[=?utf-8?Q?" "?=]"), "[]");
    EXPECT_EQ(toUtf8("no words here"), "no words here");

    bool whole = true;
    EXPECT_EQ(raw("before =?utf-8?Q?abc", &whole), "before ");
    EXPECT_FALSE(whole);
    EXPECT_EQ(raw("a =?utf-8?Q?b?= c =?utf-8", &whole), "a b c ");
    EXPECT_EQ(raw("x =?utf-8?Qabc?= y"), "x ");
    EXPECT_EQ(raw("x =?utf-8?Q?"), "x ");

    bool comma = false;
    EXPECT_EQ(addressList("=?utf-8?Q?Doe=2C_John?= <j@x.org>, =?utf-8?B?U21pdGgsIEE=?= <a@x.org>", comma),
              "Doe_COMMA_ John <j@x.org>, Smith_COMMA_ A <a@x.org>");
    EXPECT_TRUE(comma);
    EXPECT_EQ(addressList("=?utf-8?Q?Doe?= <j@x.org>, b@x.org", comma), "Doe <j@x.org>, b@x.org");
    EXPECT_FALSE(comma);
}

TEST(EncodedWordTest, DecodesWhatPythonWrites) {
    const std::string latin = "caf\xc3\xa9 cr\xc3\xa8me br\xc3\xbbl\xc3\xa9" "e, a line long enough to be folded";
    const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe4\xbb\xb6\xe5\x90\x8d";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"utf-8", latin},       {"utf-8", japanese},     {"iso-8859-1", latin}, {"iso-8859-1", "a_b=c?d"},
        {"iso-2022-jp", japanese}, {"shift_jis", japanese}, {"euc-kr", japanese}};
    for (const auto& c : cases) {
        const auto words =
            pythonMap(std::string("email.header.Header(x.decode(), '") + c.first + "').encode().encode()", {c.second});
        // Python folds between words with "\n "; the decoder keeps that space.
        EXPECT_EQ(removeAll(toUtf8(words[0]), "\n "), c.second) << c.first << ": " << words[0];
    }
}

TEST(EncodedWordTest, HostileTextNeitherCrashesNorOverreads) {
    const std::string full = "Re: =?utf-8?Q?caf=C3=A9?= and =?iso-8859-1?B?Y2Fm6Q==?= =?utf-8?Q?x_y?= end";
    const std::string fullRaw = raw(full);
    for (size_t k = 0; k <= full.size(); ++k) {
        std::string cut = raw(full.substr(0, k));
        // A lone '=' is plain text until the '?' after it arrives.
        if (k < full.size() && full[k] == '?' && !cut.empty() && cut.back() == '=') cut.pop_back();
        ASSERT_EQ(fullRaw.compare(0, cut.size(), cut), 0) << k << ": " << cut;
    }

    static const char* tokens[] = {"=?", "?Q?", "?B?", "?q?", "?=", "=", "?", "_", ",", "utf-8", "8bit",
                                   "iso-8859-1", "=C3", "=A9", "QUJD", " ", "\r\n\t", "\x80", "\xff"};
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        std::string text;
        for (size_t i = 0, parts = rng() % 40; i < parts; ++i)
            text += rng() % 4 == 0 ? std::string(1, char(rng() & 0xFF)) : tokens[rng() % std::size(tokens)];
        ASSERT_LE(raw(text).size(), text.size()) << seed;
        bool comma = false;
        const std::string list = addressList(text, comma);
        std::string restored = list;
        for (size_t p; (p = restored.find("_COMMA_")) != std::string::npos;) restored.replace(p, 7, ",");
        ASSERT_EQ(comma, restored != list) << seed;
        ASSERT_EQ(restored, toUtf8(text)) << seed;
    }
}
