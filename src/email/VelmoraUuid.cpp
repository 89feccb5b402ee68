#include "email/VelmoraUuid.h"

#include "email/VelmoraRand.h"

namespace ostmail {

void VelmoraUuid::generate(StringBuffer& out, uint32_t* words) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char bytes[16];
    uint32_t drawn[4];
    VelmoraRand::nextWords(drawn, 4);
    for (int w = 0; w < 4; ++w) {
        const uint32_t v = drawn[w];
        if (words) words[w] = v;
        for (int b = 0; b < 4; ++b) bytes[w * 4 + b] = static_cast<unsigned char>(v >> (8 * b));
    }
    char text[37];
    int pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[pos++] = '-';
        text[pos++] = kHex[bytes[i] >> 4];
        text[pos++] = kHex[bytes[i] & 0x0F];
    }
    text[pos] = 0;
    out.append(text);
}

}  // namespace ostmail
