#include "core/UtfForms.h"

#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {
namespace utf {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes one code point at s[i] (i < n) and advances i. Follows the
// "maximal subpart" rule of Unicode 3.9 for ill-formed sequences.
uint32_t decodeOne(const unsigned char* s, size_t n, size_t& i) {
    unsigned char b = s[i++];
    if (b < 0x80) return b;
    int extra;
    uint32_t cp, lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2;
        cp = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3;
        cp = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= n || s[i] < lo || s[i] > hi) return kReplacement;
        cp = (cp << 6) | (s[i++] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return cp;
}

// Length of the leading run of ASCII bytes, 8 at a time.
size_t asciiRun(const unsigned char* s, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

}  // namespace

int encodeUtf16(uint32_t cp, uint16_t out[2]) {
    if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
        out[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    if (cp > 0x10FFFF) return 0;
    cp -= 0x10000;
    out[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

bool utf8ToUtf16(const char* str, size_t n, DataBuffer& out) {
    if (n == 0) return true;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(str);
    // Each byte gives at most one unit; reserve that once, plus a terminator.
    if (!out.ensureCapacity(static_cast<size_t>(out.getSize()) + 2 * n + 2)) return false;
    unsigned char* dst = out.getMutable() + out.getSize();
    size_t i = 0;
    while (i < n) {
        size_t run = asciiRun(s + i, n - i);
        for (size_t k = 0; k < run; ++k) {
            *dst++ = s[i + k];
            *dst++ = 0;
        }
        i += run;
        if (i >= n) break;
        uint16_t units[2];
        int count = encodeUtf16(decodeOne(s, n, i), units);
        for (int k = 0; k < count; ++k) {
            *dst++ = static_cast<unsigned char>(units[k]);
            *dst++ = static_cast<unsigned char>(units[k] >> 8);
        }
    }
    return out.setSize(static_cast<uint32_t>(dst - out.getMutable()));
}

uint32_t utf16Length(const char* str, size_t n) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(str);
    uint32_t units = 0;
    size_t i = 0;
    while (i < n) {
        size_t run = asciiRun(s + i, n - i);
        units += static_cast<uint32_t>(run);
        i += run;
        if (i >= n) break;
        units += decodeOne(s, n, i) >= 0x10000 ? 2 : 1;
    }
    return units;
}

namespace {

// The code point at u[i], advancing i past a surrogate pair.
inline uint32_t nextCodePoint(const uint16_t* u, size_t count, size_t& i) {
    uint32_t cp = u[i];
    if (cp < 0xD800 || cp > 0xDFFF) return cp;
    bool pair = cp <= 0xDBFF && i + 1 < count && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF;
    return pair ? 0x10000 + ((cp - 0xD800) << 10) + (u[++i] - 0xDC00) : kReplacement;
}

inline size_t utf8Bytes(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

inline size_t putUtf8(uint32_t cp, char* p) {
    if (cp < 0x80) {
        p[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        p[0] = static_cast<char>(0xC0 | (cp >> 6));
        p[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        p[0] = static_cast<char>(0xE0 | (cp >> 12));
        p[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        p[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    p[0] = static_cast<char>(0xF0 | (cp >> 18));
    p[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    p[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    p[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

// Two passes: measuring first lets a 25 MiB text be reserved exactly.
bool utf16ToUtf8(const uint16_t* u, size_t count, StringBuffer& out) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += u[i] < 0x80 ? 1 : utf8Bytes(nextCodePoint(u, count, i));
    if (!out.expectNumBytes(total)) return false;
    char buf[512];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        if (used + 4 > sizeof buf) {
            out.appendN(buf, used);
            used = 0;
        }
        if (u[i] < 0x80)
            buf[used++] = static_cast<char>(u[i]);
        else
            used += putUtf8(nextCodePoint(u, count, i), buf + used);
    }
    return out.appendN(buf, used);
}

}  // namespace utf
}  // namespace ostmail
