#include "email/TextCharset.h"

#include <initializer_list>

namespace ostmail {

namespace {

enum Cls { kAscii, kLatin1, kLatinExt, kGreek, kCyrillic, kHebrew, kArabic, kThai, kKana, kKorean, kCjk, kOther, kNone, kCount };

Cls classify(uint32_t c) {
    if (c < 0x80) return kAscii;
    if (c <= 0xFF) return kLatin1;
    if (c >= 0x100 && c <= 0x2FF) return kLatinExt;
    if (c >= 0x370 && c <= 0x3FF) return kGreek;
    if (c >= 0x400 && c <= 0x4FF) return kCyrillic;
    if (c >= 0x590 && c <= 0x5FF) return kHebrew;
    if (c >= 0x600 && c <= 0x6FF) return kArabic;
    if (c >= 0xE00 && c <= 0xE7F) return kThai;
    if ((c >= 0x3000 && c <= 0x303F) || (c >= 0x3200 && c <= 0x32FF) || (c >= 0x25A0 && c <= 0x26FF) ||
        (c >= 0xFE20 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFFEF))
        return kNone;
    if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x2F00 && c <= 0x2FDF)) return kKana;
    if ((c >= 0xAC00 && c <= 0xD7AF) || (c >= 0x1100 && c <= 0x11FF)) return kKorean;
    if ((c >= 0x4E00 && c <= 0x9FAF) || (c >= 0x3400 && c <= 0x4DBF)) return kCjk;
    return kOther;
}

uint32_t decide(const uint32_t* n) {
    uint32_t counted = 0;
    for (int i = kAscii; i <= kOther; ++i) counted += n[i];
    if (counted == n[kAscii]) return 0;
    if (n[kAscii] + n[kLatin1] == counted) return 28591;
    if (n[kAscii] + n[kLatin1] + n[kLatinExt] == counted) return 28592;
    int scripts = 0;
    for (Cls c : {kGreek, kHebrew, kArabic, kKana, kKorean, kThai, kCyrillic}) scripts += n[c] ? 1 : 0;
    if (scripts <= 1 && n[kLatin1] == 0 && n[kLatinExt] == 0) {
        if (n[kKana]) return 932;
        if (n[kKorean]) return 949;
        if (n[kCjk]) return 936;
        if (n[kHebrew]) return 28598;
        if (n[kArabic]) return 28596;
        if (n[kCyrillic]) return 28595;
        if (n[kGreek]) return 28597;
        if (n[kThai]) return 874;
    }
    return 65001;
}

}  // namespace

uint32_t TextCharset::nextCodePoint(const unsigned char* s, size_t n, size_t& i) {
    unsigned char b = s[i];
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra == 0) {
        ++i;
        return b;
    }
    if (extra < 0 || i + static_cast<size_t>(extra) >= n) {
        ++i;
        return 0xFFFD;
    }
    uint32_t c = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char t = s[i + static_cast<size_t>(k)];
        if ((t & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (t & 0x3F);
    }
    i += static_cast<size_t>(extra) + 1;
    return c;
}

uint32_t TextCharset::choose(const char* utf8, size_t n) {
    uint32_t counts[kCount] = {};
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8);
    size_t i = 0;
    while (i < n) {
        uint32_t c = nextCodePoint(s, n, i);
        if (c >= 0x10000) {  // two UTF-16 units, both outside every script range
            counts[kOther] += 2;
            continue;
        }
        ++counts[classify(c)];
    }
    return decide(counts);
}

}  // namespace ostmail
