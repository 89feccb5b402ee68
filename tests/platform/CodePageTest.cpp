#include "platform/CodePage.h"
#include "platform/Idna.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pf = ostmail::platform;
using Status = pf::CodePage::Status;

namespace {

// The whole text the way the converters' callers drive them: the room
// doubles after kOutputFull, each bad character is noted and skipped.
struct Converted {
    bool opened = false;
    std::string bytes;
    std::u16string text;
    std::vector<std::u16string> badUnits;  // encoding
    std::vector<int> badLens;              // decoding
};

Converted encode(uint32_t cp, const std::u16string& text) {
    Converted r;
    pf::CodePage c;
    if (!(r.opened = c.open(cp))) return r;
    const char16_t* in = text.data();
    const char16_t* end = in + text.size();
    for (size_t room = 1, calls = 0; calls < 200; ++calls) {
        std::string buf(room, '\0');
        unsigned char* out = reinterpret_cast<unsigned char*>(&buf[0]);
        unsigned char* start = out;
        char16_t bad[2];
        int badLen = 0;
        Status st = c.fromUtf16(in, end, out, start + room, bad, badLen);
        r.bytes.append(buf, 0, static_cast<size_t>(out - start));
        if (st == Status::kDone || st == Status::kError) break;
        if (st == Status::kOutputFull) room *= 2;
        if (st == Status::kBadChar) r.badUnits.emplace_back(bad, bad + badLen);
    }
    return r;
}

Converted decode(uint32_t cp, const std::string& bytes) {
    Converted r;
    pf::CodePage c;
    if (!(r.opened = c.open(cp))) return r;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = in + bytes.size();
    for (size_t room = 1, calls = 0; calls < 200; ++calls) {
        std::u16string buf(room, u'\0');
        char16_t* out = &buf[0];
        int badLen = 0;
        Status st = c.toUtf16(in, end, out, &buf[0] + room, badLen);
        r.text.append(buf, 0, static_cast<size_t>(out - &buf[0]));
        if (st == Status::kDone || st == Status::kError) break;
        if (st == Status::kOutputFull) room *= 2;
        if (st == Status::kBadChar) r.badLens.push_back(badLen);
    }
    return r;
}

}  // namespace

// Single- and double-byte pages both ways, through whichever system tables
// the build uses (the other pages through the converter's corpus test),
// with text that needs more room than the first call has.
// A character the page lacks stops the conversion once, with its code units
// (both of a surrogate pair); the rest still converts.
TEST(CodePage, ConvertsBothWaysAndStopsAtMissingCharacters) {
    const struct {
        uint32_t cp;
        std::u16string text;
        std::string bytes;
        std::vector<std::u16string> bad;
    } rows[] = {
        {1252, u"caf\u00e9 \u20ac", "caf\xe9 \x80", {}},
        {1251, u"\u0416\u0430", "\xc6\xe0", {}},
        {932, u"\u65e5\u672c\u3042a", "\x93\xfa\x96\x7b\x82\xa0" "a", {}},
        {1252, u"a\u0416b\u0416", "ab", {u"\u0416", u"\u0416"}},
        {1252, u"x\U0001F600y", "xy", {u"\U0001F600"}},
        {932, u"\u3042\ud55c!", "\x82\xa0!", {u"\ud55c"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cp);
        ASSERT_TRUE(pf::CodePage::hasTable(row.cp));
        Converted e = encode(row.cp, row.text);
        ASSERT_TRUE(e.opened);
        EXPECT_EQ(row.bytes, e.bytes);
        EXPECT_EQ(row.bad, e.badUnits);
        if (!row.bad.empty()) continue;
        Converted d = decode(row.cp, row.bytes);
        EXPECT_EQ(row.text, d.text);
        EXPECT_TRUE(d.badLens.empty());
    }
    // A lead byte with nothing after it is one bad byte.
    Converted d = decode(932, "\x82\xa0\x82");
    EXPECT_EQ(u"\u3042", d.text);
    EXPECT_EQ(std::vector<int>{1}, d.badLens);
}

// International domains to A-labels, through the system's IDNA (libidn2 or
// IdnToAscii); a name IDNA 2008 forbids is refused with a reason.
TEST(Idna, DomainsToALabels) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"müller.de", "xn--mller-kva.de"}, {"例子.广告", "xn--fsqu00a.xn--4rr70v"}, {"x.test", "x.test"}};
    for (const auto& k : cases) {
        std::string ascii, reason;
        EXPECT_TRUE(ostmail::platform::idnaToAscii(k.in, ascii, reason)) << reason;
        EXPECT_EQ(ascii, k.out);
    }
#ifndef _WIN32
    std::string ascii, reason;
    EXPECT_FALSE(ostmail::platform::idnaToAscii("☃.de", ascii, reason));
    EXPECT_EQ(reason, "string contains a disallowed character");
#endif
}
