#include "crypto/Md4.h"

namespace ostmail {

namespace {

#define MD4_F(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))
#define MD4_G(x, y, z) (((x) & (y)) | ((x) & (z)) | ((y) & (z)))
#define MD4_H(x, y, z) ((x) ^ (y) ^ (z))

#define MD4_R1(a, b, c, d, k, s) a = rotl32(a + MD4_F(b, c, d) + x[k], s)
#define MD4_R2(a, b, c, d, k, s) a = rotl32(a + MD4_G(b, c, d) + x[k] + 0x5a827999u, s)
#define MD4_R3(a, b, c, d, k, s) a = rotl32(a + MD4_H(b, c, d) + x[k] + 0x6ed9eba1u, s)

// RFC 1320 section 3.4.
void md4Block(uint32_t st[4], const unsigned char* p)
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = loadLe32(p + 4 * i);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];

    for (int k = 0; k < 16; k += 4) {
        MD4_R1(a, b, c, d, k, 3);
        MD4_R1(d, a, b, c, k + 1, 7);
        MD4_R1(c, d, a, b, k + 2, 11);
        MD4_R1(b, c, d, a, k + 3, 19);
    }
    for (int k = 0; k < 4; ++k) {
        MD4_R2(a, b, c, d, k, 3);
        MD4_R2(d, a, b, c, k + 4, 5);
        MD4_R2(c, d, a, b, k + 8, 9);
        MD4_R2(b, c, d, a, k + 12, 13);
    }
    static const int order[4] = {0, 2, 1, 3};
    for (int k : order) {
        MD4_R3(a, b, c, d, k, 3);
        MD4_R3(d, a, b, c, k + 8, 9);
        MD4_R3(c, d, a, b, k + 4, 11);
        MD4_R3(b, c, d, a, k + 12, 15);
    }

    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

#undef MD4_F
#undef MD4_G
#undef MD4_H
#undef MD4_R1
#undef MD4_R2
#undef MD4_R3

}  // namespace

void Md4::compress(uint32_t state[4], const unsigned char* blocks, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        md4Block(state, blocks + i * kBlockSize);
}

void Md4::digest(const void* data, size_t len, unsigned char out[kDigestSize])
{
    Md4 h;
    h.update(data, len);
    h.finish(out);
}

void Md4::digest(const std::string& data, unsigned char out[kDigestSize])
{
    digest(data.data(), data.size(), out);
}

void Md4::digestUtf16(const uint16_t* units, size_t n, unsigned char out[kDigestSize])
{
    Md4 h;
    unsigned char pair[2];
    for (size_t i = 0; i < n; ++i) {
        pair[0] = static_cast<unsigned char>(units[i]);
        pair[1] = static_cast<unsigned char>(units[i] >> 8);
        h.update(pair, 2);
    }
    h.finish(out);
}

}  // namespace ostmail
