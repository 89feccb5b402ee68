#include "core/CodingTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostmail {
namespace {

using ostmail_test::CodecPeer;
using ostmail_test::toHex;
using ostmail_test::convert;

std::string stripReplacements(std::string s) {
    const std::string fffd = "\xEF\xBF\xBD";
    while (s.size() >= 3 && s.compare(s.size() - 3, 3, fffd) == 0) s.resize(s.size() - 3);
    return s;
}

TEST(EncodingRobustness, MalformedUnicodeFormsReadLikePython) {
    const std::vector<std::string> utf8 = {"\xC3", "a\xE2\x82", "\xF0\x9F\x98", "\xED\xA0\x80z", "\xC0\xAF",
                                           "\xF5\x80\x80", "a\x80\x80" "b", "\xE0\x80\xAF", "\xF4\x90\x80\x80",
                                           "\xFE\xFF", "ok\xE2\x82\xACok"};
    const std::vector<std::string> utf16 = {std::string("\x00\xD8\x41\x00", 4), std::string("\x00\xDC", 2),
                                            std::string("a\x00\x3D\xD8", 4)};
    const std::vector<std::string> utf32 = {std::string("\x00\x00\x11\x00", 4), std::string("\x00\xD8\x00\x00", 4)};
    CodecPeer peer;
    std::vector<size_t> a8, a16, a32;
    for (const auto& s : utf8) a8.push_back(peer.add("dec16", "utf-8", "replace", s));
    for (const auto& s : utf16) a16.push_back(peer.add("dec", "utf-16-le", "replace", s));
    for (const auto& s : utf32) a32.push_back(peer.add("dec", "utf-32-le", "replace", s));
    ASSERT_TRUE(peer.run());
    for (size_t i = 0; i < utf8.size(); ++i) {
        bool ok = true;
        EXPECT_EQ(toHex(convert(65001, 1200, utf8[i], &ok)), toHex(peer.bytes(a8[i]))) << toHex(utf8[i]);
        EXPECT_EQ(ok, i == utf8.size() - 1) << toHex(utf8[i]);
        // The same text through the direct single-byte path.
        EXPECT_EQ(convert(65001, 20127, utf8[i], &ok).find('\x80'), std::string::npos);
    }
    for (size_t i = 0; i < utf16.size(); ++i) {
        bool ok = true;
        EXPECT_EQ(toHex(convert(1200, 65001, utf16[i], &ok)), toHex(peer.bytes(a16[i]))) << toHex(utf16[i]);
        EXPECT_FALSE(ok);
    }
    for (size_t i = 0; i < utf32.size(); ++i) {
        bool ok = true;
        EXPECT_EQ(toHex(convert(65005, 65001, utf32[i], &ok)), toHex(peer.bytes(a32[i]))) << toHex(utf32[i]);
        EXPECT_FALSE(ok);
    }
    bool ok = true;
    EXPECT_EQ(convert(1200, 65001, std::string("a\0b", 3), &ok), "a");
    EXPECT_FALSE(ok);
}

const uint32_t kOwnForms[] = {65001, 1200, 1201, 65005, 65006, 65000, 50220, 50221, 50222, 50225};
const uint32_t kTables[] = {932, 949, 52936, 1252, 37};

// Every prefix of a valid text in each form: what is read is a prefix of the
// whole text (apart from replacement characters at the cut), and writing a
// text cut on a character boundary succeeds and reads back.
TEST(EncodingRobustness, CutInputReadsAsAPrefix) {
    const std::string text = "A\u00e9\u65e5\uff76+\ud55c-\U0001F600 z";
    std::vector<uint32_t> pages(std::begin(kOwnForms), std::end(kOwnForms));
    pages.insert(pages.end(), std::begin(kTables), std::end(kTables));
    for (uint32_t cp : pages) {
        EncodingConvert ec;
        ec.setErrorAction(EncodingConvert::kReplace);
        ec.setReplacement("?", 1);
        const std::string encoded = convert(ec, 65001, cp, text);
        std::string whole = convert(cp, 65001, encoded);
        for (size_t k = 0; k <= encoded.size(); ++k) {
            std::string got = stripReplacements(convert(cp, 65001, encoded.substr(0, k)));
            EXPECT_EQ(whole.compare(0, got.size(), got), 0) << cp << " cut at " << k;
        }
    }
    for (uint32_t cp : kOwnForms) {
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

// Random bytes through every own converter in both directions: no fault, and
// output bounded by a small multiple of the input.
TEST(EncodingRobustness, RandomBytesStayBounded) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<unsigned char>(seed >> 16);
    };
    for (int round = 0; round < 300; ++round) {
        std::string in;
        size_t len = static_cast<size_t>(round % 40);
        for (size_t i = 0; i < len; ++i) {
            unsigned char b = next();
            // Favour the bytes that steer the stateful forms.
            if (b < 40) b = "\x1B$()BJI@C+-\x0E\x0F\xFD\xEF~{}"[b % 19];
            in += static_cast<char>(b);
        }
        for (uint32_t cp : kOwnForms) {
            for (uint32_t other : {65001u, 1200u, 932u, 50220u, 65000u}) {
                EXPECT_LE(convert(cp, other, in).size(), 8 * len + 8) << cp << "->" << other;
                EXPECT_LE(convert(other, cp, in).size(), 8 * len + 8) << other << "->" << cp;
            }
        }
    }
}

}  // namespace
}  // namespace ostmail
