#include "core/CodingTestSupport.h"
#include "core/ContentCoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace ostmail;
using namespace ostmail_test;

namespace {

using Encoder = bool (ContentCoding::*)(const void*, size_t, StringBuffer&) const;
std::string encode(Encoder f, const std::string& in, int lineLength) {
    ContentCoding cc;
    cc.setLineLength(lineLength);
    StringBuffer sb;
    (cc.*f)(in.data(), in.size(), sb);
    return str(sb);
}
std::string b64Lines(const std::string& in, int len = 72) { return encode(&ContentCoding::encodeBase64, in, len); }
std::string qpEncode(const std::string& in, int len = 72) {
    return encode(&ContentCoding::encodeQuotedPrintable, in, len);
}
std::string b64Flat(const std::string& in) {
    StringBuffer sb;
    ContentCoding::encodeBase64Flat(in.data(), in.size(), sb);
    return str(sb);
}
// Decoders read from an exactly sized heap copy, so a read past the input trips ASan.
template <class Decoder>
std::string decode(Decoder f, const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    DataBuffer db;
    f(exact.data(), exact.size(), db);
    return str(db);
}
std::string b64Decode(const std::string& text) { return decode(ContentCoding::decodeBase64, text); }
std::string qpDecode(const std::string& text) { return decode(ContentCoding::decodeQuotedPrintable, text); }

// "<octal mode> <name>\n" and the data, or "!" when nothing decodes.
std::string uudecode(const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    DataBuffer db;
    uint32_t mode = 0;
    StringBuffer name;
    if (!ContentCoding::uudecode(exact.data(), exact.size(), db, mode, name)) return "!";
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o ", mode);
    return octal + str(name) + "\n" + str(db);
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Mail-like text: words, line breaks, dots and "From " at line starts,
// blanks before breaks, the odd 8-bit byte.
std::string randomText(std::mt19937& rng, size_t n) {
    static const char* pieces[] = {"the ", "quick ", "From ", ".", "\r\n", " \r\n", "\t", "a=b ", "\xC3\xA9",
                                   "brown fox jumps over the lazy dog ", "\n", "\r", "=", "?", "_", "F"};
    std::string s;
    while (s.size() < n) s += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
    return s;
}

}  // namespace

TEST(ContentCodingTest, LineLengthSetterAndBase64LineLayout) {
    ContentCoding cc;
    EXPECT_EQ(cc.getLineLength(), 72);
    cc.setLineLength(5);
    EXPECT_EQ(cc.getLineLength(), 10);

    EXPECT_EQ(b64Lines(std::string(54, 'x')).substr(72), "\r\n\r\n");
    EXPECT_EQ(b64Lines(std::string(55, 'x')).substr(72), "\r\neA==\r\n");

    // A length that is not a multiple of 4 closes the line at the first group
    // that reaches it.
    const auto lines = splitOn(b64Lines(std::string(100, 'y'), 10), "\r\n");
    EXPECT_EQ(lines.front().size(), 12u);
    for (size_t i = 0; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 12u) << i;

    StringBuffer sb("keep:");
    EXPECT_FALSE(cc.encodeBase64("", 0, sb));
    EXPECT_FALSE(cc.encodeBase64(nullptr, 3, sb));
    EXPECT_TRUE(cc.encodeBase64("ab", 2, sb));
    EXPECT_EQ(str(sb), "keep:YWI=\r\n");
}

TEST(ContentCodingTest, Base64AgreesWithPython) {
    std::mt19937 rng(2047);
    std::vector<std::string> inputs;
    for (size_t n : {1, 2, 3, 4, 53, 54, 55, 57, 1023, 1024, 4096, 10001}) inputs.push_back(randomBytes(rng, n));

    const auto pyFlat = pythonMap("base64.b64encode(x)", inputs);
    const auto pyLines = pythonMap("base64.encodebytes(x)", inputs);
    std::vector<std::string> ours;  // at 72, then at 76 characters a line
    for (int len : {72, 76})
        for (const auto& in : inputs) ours.push_back(b64Lines(in, len));
    const auto back = pythonMap("base64.b64decode(x.replace(b'\\r\\n', b''), validate=True)", ours);
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i].size());
        EXPECT_EQ(b64Flat(inputs[i]), pyFlat[i]);
        EXPECT_EQ(back[i], inputs[i]);
        EXPECT_EQ(back[inputs.size() + i], inputs[i]);
        EXPECT_EQ(b64Decode(pyLines[i]), inputs[i]);
        EXPECT_EQ(b64Decode(ours[i]), inputs[i]);
        for (const auto& line : splitOn(ours[i], "\r\n")) EXPECT_LE(line.size(), 72u);
    }
}

TEST(ContentCodingTest, Base64DecodeIsTolerant) {
    EXPECT_EQ(b64Decode("QUJD"), "ABC");
    EXPECT_EQ(b64Decode(" Q U\r\nJ\tD "), "ABC");
    EXPECT_EQ(b64Decode("Q!U-J.D*"), "ABC");       // outside '+'..'z': skipped
    EXPECT_EQ(b64Decode("Q[U]J^D`:@"), "ABC");     // inside the range, not the alphabet
    EXPECT_EQ(b64Decode("QUJD=QUJD"), "ABC");      // '=' ends the data
    EXPECT_EQ(b64Decode(std::string("QUJD\0QUJD", 9)), "ABC");
    EXPECT_EQ(b64Decode("QUI"), "AB");             // short final groups keep whole bytes
    EXPECT_EQ(b64Decode("QQ"), "A");
    EXPECT_EQ(b64Decode("Q"), "");
    EXPECT_EQ(b64Decode("QUJDR"), "ABC");

    DataBuffer db;
    EXPECT_FALSE(ContentCoding::decodeBase64("", 0, db));
    EXPECT_FALSE(ContentCoding::decodeBase64(nullptr, 4, db));
    db.append("xy", 2);
    EXPECT_TRUE(ContentCoding::decodeBase64("QUJD", 4, db));
    ASSERT_EQ(str(db), "xyABC");
    EXPECT_EQ(db.getData()[db.getSize()], 0);  // terminated for text use

    EXPECT_TRUE(ContentCoding::isBase64("QU Jk\r\n[]==!!", 13));
    EXPECT_FALSE(ContentCoding::isBase64("QU!Jk", 5));
    EXPECT_FALSE(ContentCoding::isBase64("QU~", 3));
}

TEST(ContentCodingTest, QuotedPrintableEncodeRules) {
    EXPECT_EQ(qpEncode(".\r\n.x"), "=2E\r\n=2Ex");
    EXPECT_EQ(qpEncode("From me\r\nFrom you\r\nFro"), "=46rom me\r\n=46rom you\r\nFro");
    EXPECT_EQ(qpEncode("a From b"), "a From b");
    EXPECT_EQ(qpEncode("a \r\nb\t\r\nc d "), "a=20\r\nb=09\r\nc d=20");
    EXPECT_EQ(qpEncode("x=y\rz\n\x7f\xe9\x01"), "x=3Dy=0Dz=0A=7F=E9=01");

    const std::string a100(100, 'a');
    EXPECT_EQ(qpEncode(a100), std::string(72, 'a') + "=\r\n" + std::string(28, 'a'));
    // No soft break right before a hard one.
    EXPECT_EQ(qpEncode(std::string(72, 'a') + "\r\nb"), std::string(72, 'a') + "\r\nb");
    // A soft break starts a line: the dot rule applies again.
    EXPECT_EQ(qpEncode(std::string(72, 'a') + ".b"), std::string(72, 'a') + "=\r\n=2Eb");
    // Escapes may carry the count past the length; the break comes after them.
    EXPECT_EQ(qpEncode(std::string(71, 'a') + "\xff" + "b"), std::string(71, 'a') + "=FF=\r\nb");
    // A full last line still gets its soft break; it decodes to nothing.
    EXPECT_EQ(qpEncode(std::string(30, 'a'), 10), "aaaaaaaaaa=\r\naaaaaaaaaa=\r\naaaaaaaaaa=\r\n");

    StringBuffer sb;
    EXPECT_FALSE(ContentCoding().encodeQuotedPrintable("", 0, sb));
    EXPECT_EQ(sb.getSize(), 0u);
}

TEST(ContentCodingTest, QuotedPrintableDecodeRules) {
    EXPECT_EQ(qpDecode("=41=4a=4A"), "AJJ");
    EXPECT_EQ(qpDecode("soft=\r\nbreak= \r\nhere"), "softbreakhere");
    EXPECT_EQ(qpDecode("trail  \t\r\nnext\nlast"), "trail\r\nnext\r\nlast");
    EXPECT_EQ(qpDecode("=G1 a=4 x="), "=G1 a=4 x");
    EXPECT_EQ(qpDecode(std::string("ab\0=41", 6)), "ab");
    EXPECT_EQ(qpDecode("="), "");
    DataBuffer db;
    EXPECT_FALSE(ContentCoding::decodeQuotedPrintable("", 0, db));
}

TEST(ContentCodingTest, QuotedPrintableAgreesWithPython) {
    std::mt19937 rng(45);
    std::vector<std::string> inputs;
    for (size_t n : {1, 5, 73, 200, 1000, 3000, 5000}) {
        inputs.push_back(randomText(rng, n));
        inputs.push_back(randomBytes(rng, n));
    }
    std::vector<std::string> ours;
    for (const auto& in : inputs) ours.push_back(qpEncode(in));
    const auto pyDecoded = pythonMap("quopri.decodestring(x)", ours);
    // Python's encoder leaves a lone CR bare, which no decoder can keep, so
    // that direction gets texts without one.
    std::vector<std::string> noCr = inputs;
    for (auto& in : noCr) std::replace(in.begin(), in.end(), '\r', 'r');
    const auto pyEncoded = pythonMap("quopri.encodestring(x)", noCr);
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pyDecoded[i], inputs[i]);
        EXPECT_EQ(qpDecode(ours[i]), inputs[i]);
        // Lines stay within the 76 characters of RFC 2045 at the default length.
        for (const auto& line : splitOn(ours[i], "\r\n")) ASSERT_LE(line.size(), 76u) << line;
        for (unsigned char c : ours[i]) ASSERT_TRUE(c == '\r' || c == '\n' || c == '\t' || (c >= 32 && c < 127)) << int(c);
        std::string crlf;
        for (char c : noCr[i]) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        EXPECT_EQ(qpDecode(pyEncoded[i]), crlf);
    }
}

TEST(ContentCodingTest, UuencodeRoundTripsWithPython) {
    std::mt19937 rng(644);
    std::vector<std::string> inputs;
    for (size_t n : {1, 44, 45, 46, 90, 1000}) inputs.push_back(randomBytes(rng, n));
    std::vector<std::string> ours;
    for (const auto& in : inputs) {
        StringBuffer sb;
        EXPECT_TRUE(ContentCoding::uuencode(in.data(), in.size(), 0644, "f.bin", sb));
        ours.push_back(str(sb));
    }
    const auto pyRead =
        pythonMap("b''.join(binascii.a2b_uu(l) for l in x.split(b'\\r\\n')[1:] if l and l != b'end')", ours);
    const auto pyWritten = pythonMap(
        "b'junk\\nBEGIN 755 report.pdf\\n' + b''.join(binascii.b2a_uu(x[i:i+45]) for i in range(0, len(x), 45))"
        " + b'`\\nend\\ntrailer\\n'",
        inputs);
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i].size());
        EXPECT_EQ(ours[i].substr(0, 17), "begin 644 f.bin\r\n");
        EXPECT_EQ(pyRead[i], inputs[i]);
        EXPECT_EQ(uudecode(pyWritten[i]), "755 report.pdf\n" + inputs[i]);
    }
}

TEST(ContentCodingTest, UudecodeEdges) {
    EXPECT_EQ(uudecode("no begin\nhere\n"), "!");
    // A count beyond the line: missing values read as zero, nothing past the
    // input is touched. Without a mode the name is not read.
    EXPECT_EQ(uudecode("begin x\r\nM86)C\r\n#86)C\nend\n#86)C\n"), "0 \nabc" + std::string(42, '\0') + "abc");
}

TEST(ContentCodingTest, HostileInputNeitherCrashesNorOverreads) {
    const char one = 'x';
    const size_t huge = 0xFFFFFFFFu;
    ContentCoding cc;
    StringBuffer sb;
    EXPECT_FALSE(cc.encodeBase64(&one, huge, sb));
    EXPECT_FALSE(ContentCoding::encodeBase64Flat(&one, huge, sb));
    EXPECT_FALSE(cc.encodeQuotedPrintable(&one, huge, sb));
    EXPECT_EQ(sb.getSize(), 0u);

    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        const std::string junk = randomBytes(rng, rng() % 600);
        // Base64: the same as decoding only the alphabet characters before the stop.
        std::string filtered;
        for (char c : junk) {
            if (c == '=' || c == '\0') break;
            if (std::string(alphabet).find(c) != std::string::npos) filtered += c;
        }
        ASSERT_EQ(b64Decode(junk), b64Decode(filtered)) << seed;
        ASSERT_EQ(b64Decode(filtered).size(), filtered.size() * 6 / 8) << seed;

        ASSERT_LE(qpDecode(junk).size(), 2 * junk.size()) << seed;
        const std::string uu = uudecode("begin 644 x\n" + junk);
        ASSERT_EQ(uu.rfind("644 x\n", 0), 0u) << seed;
        ASSERT_LE(uu.size() - 6, 63 * (1 + junk.size())) << seed;
    }
}
