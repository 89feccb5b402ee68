// uuencoding: "begin <octal mode> <name>", lines led by a length character,
// 6-bit values offset by 32, a zero-count line, "end".
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

namespace ostmail {
namespace {

constexpr size_t kUuLineBytes = 45;

struct Line {
    const char* s;
    const char* e;  // without CR/LF
};

// The line at p, and p moved to the start of the next one.
Line nextLine(const char*& p, const char* end) {
    Line ln{p, p};
    while (ln.e < end && *ln.e != '\n') ++ln.e;
    p = ln.e < end ? ln.e + 1 : end;
    while (ln.e > ln.s && (ln.e[-1] == '\r' || ln.e[-1] == ' ' || ln.e[-1] == '\t')) --ln.e;
    return ln;
}

bool isBeginLine(const Line& ln) {
    static const char kBegin[] = "begin ";
    if (ln.e - ln.s < 6) return false;
    for (int i = 0; i < 6; ++i) {
        char c = ln.s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kBegin[i]) return false;
    }
    return true;
}

// "begin %o %s": the mode in octal, then one word as the file name.
void parseBeginLine(const Line& ln, uint32_t& mode, StringBuffer& fileName) {
    const char* p = ln.s + 6;
    while (p < ln.e && (*p == ' ' || *p == '\t')) ++p;
    mode = 0;
    bool digits = false;
    for (; p < ln.e && *p >= '0' && *p <= '7'; ++p) {
        mode = (mode << 3) | static_cast<uint32_t>(*p - '0');
        digits = true;
    }
    if (!digits) return;
    while (p < ln.e && (*p == ' ' || *p == '\t')) ++p;
    const char* name = p;
    while (p < ln.e && *p != ' ' && *p != '\t') ++p;
    if (p > name) fileName.appendN(name, static_cast<size_t>(p - name));
}

inline uint32_t uuValue(const char* s, const char* e, size_t i) {
    return s + i < e ? static_cast<uint32_t>(static_cast<unsigned char>(s[i]) - 32) & 63 : 0;
}

// One data line; false at the zero-count line that ends the data.
bool decodeLine(const Line& ln, DataBuffer& out) {
    if (ln.s == ln.e) return false;
    const size_t count = uuValue(ln.s, ln.e, 0);
    if (count == 0) return false;
    const char* s = ln.s + 1;
    unsigned char buf[66];
    size_t got = 0;
    for (size_t g = 0; got < count; g += 4) {
        const uint32_t v = (uuValue(s, ln.e, g) << 18) | (uuValue(s, ln.e, g + 1) << 12) |
                           (uuValue(s, ln.e, g + 2) << 6) | uuValue(s, ln.e, g + 3);
        for (int k = 2; k >= 0 && got < count; --k) buf[got++] = static_cast<unsigned char>(v >> (8 * k));
    }
    out.append(buf, count);
    return true;
}

inline bool isEndLine(const Line& ln) { return ln.e - ln.s == 3 && ln.s[0] == 'e' && ln.s[1] == 'n' && ln.s[2] == 'd'; }

}  // namespace

bool ContentCoding::uudecode(const char* text, size_t n, DataBuffer& out, uint32_t& mode, StringBuffer& fileName) {
    if (!text || n == 0) return false;
    const char* p = text;
    const char* end = text + n;
    Line ln{p, p};
    bool found = false;
    while (p < end && !found) {
        ln = nextLine(p, end);
        found = isBeginLine(ln);
    }
    if (!found) return false;
    parseBeginLine(ln, mode, fileName);
    while (p < end) {
        ln = nextLine(p, end);
        if (isEndLine(ln) || !decodeLine(ln, out)) break;
    }
    return true;
}

namespace {

inline char uuChar(uint32_t v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

void encodeLine(const unsigned char* in, size_t count, StringBuffer& out) {
    char line[2 + 60 + 2];
    char* w = line;
    *w++ = uuChar(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; i += 3) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (i + 1 < count) v |= uint32_t(in[i + 1]) << 8;
        if (i + 2 < count) v |= in[i + 2];
        *w++ = uuChar(v >> 18);
        *w++ = uuChar((v >> 12) & 63);
        *w++ = uuChar((v >> 6) & 63);
        *w++ = uuChar(v & 63);
    }
    *w++ = '\r';
    *w++ = '\n';
    out.appendN(line, static_cast<size_t>(w - line));
}

}  // namespace

bool ContentCoding::uuencode(const void* data, size_t n, uint32_t mode, const char* fileName, StringBuffer& out) {
    if (!data || n == 0) return false;
    out.expectNumBytes(n / kUuLineBytes * 64 + 64);
    out.appendFormat("begin %o %s\r\n", mode, fileName && *fileName ? fileName : "data");
    const unsigned char* in = static_cast<const unsigned char*>(data);
    for (size_t off = 0; off < n; off += kUuLineBytes) {
        encodeLine(in + off, n - off < kUuLineBytes ? n - off : kUuLineBytes, out);
    }
    out.append("`\r\nend\r\n");
    return true;
}

}  // namespace ostmail
