#include "core/EncodingUtf32.h"

#include "core/EncodingUtf8.h"
#include "core/OutputTail.h"

namespace ostmail {

bool EncodingUtf32::toUtf16(const unsigned char* in, size_t n, bool bigEndian, std::u16string& out) {
    bool clean = (n % 4) == 0;
    out.reserve(out.size() + n / 2);
    for (size_t i = 0; i + 4 <= n; i += 4) {
        const unsigned char* p = in + i;
        uint32_t cp = bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                                : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            cp = 0xFFFD;
            clean = false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return clean;
}

bool EncodingUtf32::fromUtf8(const unsigned char* in, size_t n, bool bigEndian, DataBuffer& out) {
    if (n == 0) return true;
    OutputTail tail(out);
    unsigned char* w = tail.reserve(4 * n);
    if (!w) return false;
    bool clean = true;
    const unsigned char* end = in + n;
    while (in < end) {
        bool bad = false;
        uint32_t cp = EncodingUtf8::next(in, end, bad);
        if (bad) clean = false;
        for (int k = 0; k < 4; ++k) {
            int shift = bigEndian ? 24 - 8 * k : 8 * k;
            *w++ = static_cast<unsigned char>(cp >> shift);
        }
    }
    tail.commit(w);
    return clean;
}

bool EncodingUtf32::swapPairs(const unsigned char* in, size_t n, DataBuffer& out) {
    size_t pairs = n / 2;
    if (pairs > 0) {
        OutputTail tail(out);
        unsigned char* w = tail.reserve(2 * pairs);
        if (!w) return false;
        for (size_t i = 0; i < pairs; ++i) {
            w[2 * i] = in[2 * i + 1];
            w[2 * i + 1] = in[2 * i];
        }
        tail.commit(w + 2 * pairs);
    }
    return (n % 2) == 0;
}

}  // namespace ostmail
