#include "core/MacArabic.h"

#include <algorithm>

namespace ostmail {

namespace {

bool foldsToAscii(unsigned char b) {
    if (b >= 0xA0 && b <= 0xB9) return b != 0xA5 && b != 0xAC;  // 0xA5 and 0xAC are Arabic signs
    return b == 0xBA || (b >= 0xBC && b <= 0xBE) || (b >= 0xDB && b <= 0xDF) || (b >= 0xFB && b <= 0xFD);
}

}  // namespace

// Arabic letters, harakat, tatweel and the Arabic punctuation; the Latin
// letters of 0x80-0x9F and everything folded to ASCII are not.
bool MacArabic::isRightToLeft(unsigned char b) {
    if (b >= 0xC1 && b <= 0xDA) return true;  // hamza .. ghain
    if (b >= 0xE0 && b <= 0xFA) return true;  // tatweel .. rreh, harakat
    return b == 0x8B || b == 0xA5 || b == 0xAC || b == 0xBB || b == 0xBF || b == 0xFE || b == 0xFF;
}

void MacArabic::toLogical(unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char& b = bytes[i];
        if (foldsToAscii(b)) b = static_cast<unsigned char>(b + 0x80);  // wraps onto 0x20-0x7D
        else if (b == 0x81) b = 0xA0;
    }
    size_t i = 0;
    while (i < n) {
        if (!isRightToLeft(bytes[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && isRightToLeft(bytes[j])) ++j;
        if (j - i >= 2) std::reverse(bytes + i, bytes + j);
        i = j;
    }
}

}  // namespace ostmail
