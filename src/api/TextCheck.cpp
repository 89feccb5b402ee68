#include "api/TextCheck.h"

#include <cstddef>

namespace ostmail {

namespace {

// Length of the sequence starting with lead byte c and the bounds its
// second byte must lie in; 0 for a byte that cannot start one.
int sequenceLength(unsigned char c, unsigned char& lo, unsigned char& hi) {
    lo = 0x80;
    hi = 0xBF;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) {
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

bool TextCheck::isValidUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char lo, hi;
        int len = sequenceLength(p[i], lo, hi);
        if (len == 0 || i + len > n) return false;
        for (int k = 1; k < len; ++k) {
            unsigned char b = p[i + k];
            if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return false;
        }
        i += len;
    }
    return true;
}

std::string TextCheck::toCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    char prev = 0;
    for (char c : text) {
        if (c == '\n' && prev != '\r') out.push_back('\r');
        out.push_back(c);
        prev = c;
    }
    return out;
}

}  // namespace ostmail
