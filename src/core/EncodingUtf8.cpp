#include "core/EncodingUtf8.h"

#include "core/OutputTail.h"

#include <cstring>

namespace ostmail {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

inline bool allAscii8(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return (v & 0x8080808080808080ULL) == 0;
}

// Writes the code points of UTF-8 input through sink(unit); returns false
// when any sequence was malformed.
template <class Sink>
bool decode(const unsigned char* p, const unsigned char* end, Sink sink) {
    bool clean = true;
    while (p < end) {
        if (end - p >= 8 && allAscii8(p)) {
            for (int i = 0; i < 8; ++i) sink(static_cast<char16_t>(p[i]));
            p += 8;
            continue;
        }
        if (*p < 0x80) {
            sink(static_cast<char16_t>(*p++));
            continue;
        }
        bool bad = false;
        uint32_t cp = EncodingUtf8::next(p, end, bad);
        if (bad) clean = false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            sink(static_cast<char16_t>(0xD800 + (cp >> 10)));
            sink(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            sink(static_cast<char16_t>(cp));
        }
    }
    return clean;
}

}  // namespace

uint32_t EncodingUtf8::next(const unsigned char*& p, const unsigned char* end, bool& bad) {
    unsigned char c = *p++;
    if (c < 0x80) return c;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        bad = true;
        return kReplacement;
    }
    for (int i = 0; i < need; ++i) {
        if (p >= end || *p < lo || *p > hi) {
            bad = true;  // the offending byte starts the next sequence
            return kReplacement;
        }
        cp = (cp << 6) | (*p++ & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return cp;
}

int EncodingUtf8::put(uint32_t cp, unsigned char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

bool EncodingUtf8::toUtf16(const unsigned char* in, size_t n, std::u16string& out) const {
    size_t start = out.size();
    out.resize(start + n);  // never more units than bytes
    char16_t* w = &out[0] + start;
    bool clean = decode(in, in + n, [&w](char16_t u) { *w++ = u; });
    out.resize(static_cast<size_t>(w - out.data()));
    return clean;
}

bool EncodingUtf8::toUtf16Le(const unsigned char* in, size_t n, DataBuffer& out) const {
    if (n == 0) return true;
    OutputTail tail(out);
    unsigned char* w = tail.reserve(2 * n);
    if (!w) return false;
    bool clean = decode(in, in + n, [&w](char16_t u) {
        w[0] = static_cast<unsigned char>(u);
        w[1] = static_cast<unsigned char>(u >> 8);
        w += 2;
    });
    tail.commit(w);
    return clean;
}

bool EncodingUtf8::fromUtf16(const char16_t* in, size_t n, DataBuffer& out) const {
    if (n == 0) return true;
    OutputTail tail(out);
    unsigned char* w = tail.reserve(3 * n);
    if (!w) return false;
    bool clean = true;
    const char16_t* end = in + n;
    while (in < end) {
        char16_t u = *in++;
        if (u < 0x80) {
            *w++ = static_cast<unsigned char>(u);
            continue;
        }
        uint32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && in < end && *in >= 0xDC00 && *in <= 0xDFFF) {
            cp = 0x10000 + ((u - 0xD800u) << 10) + (*in++ - 0xDC00u);
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            cp = kReplacement;
            clean = false;
        }
        w += put(cp, w);
    }
    tail.commit(w);
    return clean;
}

}  // namespace ostmail
