#include "crypto/VelmoraDes.h"

#include <cstring>

namespace ostmail {

namespace {

// Tables of FIPS 46-3: bit positions counted from 1 at the most significant
// bit of the input.
const uint8_t kIp[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

const uint8_t kFp[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

const uint8_t kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

const uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

const uint8_t kPc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

const uint8_t kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

const uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

const uint8_t kSbox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

uint64_t permute(uint64_t in, const uint8_t* table, int outBits, int inBits)
{
    uint64_t out = 0;
    for (int i = 0; i < outBits; ++i)
        out = (out << 1) | ((in >> (inBits - table[i])) & 1u);
    return out;
}

uint32_t rotl28(uint32_t x, int n)
{
    return ((x << n) | (x >> (28 - n))) & 0x0fffffffu;
}

void keySchedule(const unsigned char key[8], uint64_t sub[16])
{
    uint64_t k = 0;
    for (int i = 0; i < 8; ++i)
        k = (k << 8) | key[i];
    const uint64_t cd = permute(k, kPc1, 56, 64);  // drops the parity bits
    uint32_t c = static_cast<uint32_t>(cd >> 28);
    uint32_t d = static_cast<uint32_t>(cd & 0x0fffffffu);
    for (int r = 0; r < 16; ++r) {
        c = rotl28(c, kShifts[r]);
        d = rotl28(d, kShifts[r]);
        sub[r] = permute((uint64_t(c) << 28) | d, kPc2, 48, 56);
    }
}

uint32_t feistel(uint32_t r, uint64_t subkey)
{
    const uint64_t x = permute(r, kE, 48, 32) ^ subkey;
    uint32_t s = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned six = static_cast<unsigned>(x >> (42 - 6 * i)) & 0x3fu;
        const unsigned row = ((six >> 4) & 2u) | (six & 1u);
        const unsigned col = (six >> 1) & 0x0fu;
        s = (s << 4) | kSbox[i][row * 16 + col];
    }
    return static_cast<uint32_t>(permute(s, kP, 32, 32));
}

uint64_t desBlock(uint64_t block, const uint64_t sub[16], bool decrypting)
{
    const uint64_t ip = permute(block, kIp, 64, 64);
    uint32_t l = static_cast<uint32_t>(ip >> 32);
    uint32_t r = static_cast<uint32_t>(ip);
    for (int i = 0; i < 16; ++i) {
        const uint32_t next = l ^ feistel(r, sub[decrypting ? 15 - i : i]);
        l = r;
        r = next;
    }
    // The halves swap once more before the final permutation.
    return permute((uint64_t(r) << 32) | l, kFp, 64, 64);
}

uint64_t loadBe64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

void storeBe64(unsigned char* p, uint64_t v)
{
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(v);
        v >>= 8;
    }
}

}  // namespace

VelmoraDes::VelmoraDes() : m_subkeys(), m_keyCount(0), m_mode(kModeEcb), m_padding(kPadRfc1423)
{
}

VelmoraDes::~VelmoraDes()
{
    std::memset(m_subkeys, 0, sizeof m_subkeys);
}

void VelmoraDes::setKey(const void* key, size_t keyLen, int keyBits)
{
    const size_t need = keyBits < 112 ? 8 : (keyBits < 168 ? 16 : 24);
    unsigned char material[24] = {};
    if (key != nullptr && keyLen != 0)
        std::memcpy(material, key, keyLen < need ? keyLen : need);

    if (need == 8) {
        keySchedule(material, m_subkeys[0]);
        m_keyCount = 1;
    } else {
        keySchedule(material, m_subkeys[0]);
        keySchedule(material + 8, m_subkeys[1]);
        // Two-key triple DES reuses the first key for the third pass.
        keySchedule(need == 16 ? material : material + 16, m_subkeys[2]);
        m_keyCount = 3;
    }
    std::memset(material, 0, sizeof material);
}

uint64_t VelmoraDes::cryptBlock(uint64_t block, bool decrypting) const
{
    if (m_keyCount == 1)
        return desBlock(block, m_subkeys[0], decrypting);
    // EDE: encrypt K1, decrypt K2, encrypt K3; decryption runs it backwards.
    if (!decrypting) {
        block = desBlock(block, m_subkeys[0], false);
        block = desBlock(block, m_subkeys[1], true);
        return desBlock(block, m_subkeys[2], false);
    }
    block = desBlock(block, m_subkeys[2], true);
    block = desBlock(block, m_subkeys[1], false);
    return desBlock(block, m_subkeys[0], true);
}

bool VelmoraDes::supported() const
{
    return m_keyCount != 0 && m_mode == kModeEcb &&
           (m_padding == kPadRfc1423 || m_padding == kPadZeros);
}

bool VelmoraDes::encrypt(const void* in, size_t len, std::vector<unsigned char>& out) const
{
    out.clear();
    if (!supported())
        return false;
    const unsigned char* src = static_cast<const unsigned char*>(in);
    const size_t tail = len % kBlockSize;
    size_t total = len - tail;
    if (m_padding == kPadRfc1423 || tail != 0)
        total += kBlockSize;
    out.assign(total, 0);
    if (len != 0)
        std::memcpy(out.data(), src, len);
    if (m_padding == kPadRfc1423) {
        const unsigned char n = static_cast<unsigned char>(total - len);
        std::memset(out.data() + len, n, n);
    }
    for (size_t off = 0; off < total; off += kBlockSize)
        storeBe64(out.data() + off, cryptBlock(loadBe64(out.data() + off), false));
    return true;
}

bool VelmoraDes::decrypt(const void* in, size_t len, std::vector<unsigned char>& out) const
{
    out.clear();
    if (!supported() || len % kBlockSize != 0)
        return false;
    const unsigned char* src = static_cast<const unsigned char*>(in);
    out.resize(len);
    for (size_t off = 0; off < len; off += kBlockSize)
        storeBe64(out.data() + off, cryptBlock(loadBe64(src + off), true));
    if (m_padding != kPadRfc1423)
        return true;
    const unsigned n = len == 0 ? 0 : out.back();
    bool ok = n >= 1 && n <= kBlockSize;
    for (unsigned i = 1; ok && i <= n; ++i)
        ok = out[len - i] == n;
    if (!ok) {
        out.clear();
        return false;
    }
    out.resize(len - n);
    return true;
}

void VelmoraDes::expandKey56(const unsigned char k[7], unsigned char b[8])
{
    b[0] = static_cast<unsigned char>(k[0] & 0xFE);
    b[1] = static_cast<unsigned char>((k[0] << 7) | ((k[1] >> 1) & 0x7E));
    b[2] = static_cast<unsigned char>((k[1] << 6) | ((k[2] >> 2) & 0x3E));
    b[3] = static_cast<unsigned char>((k[2] << 5) | ((k[3] >> 3) & 0x1E));
    b[4] = static_cast<unsigned char>((k[3] << 4) | ((k[4] >> 4) & 0x0E));
    b[5] = static_cast<unsigned char>((k[4] << 3) | ((k[5] >> 5) & 0x06));
    b[6] = static_cast<unsigned char>((k[5] << 2) | ((k[6] >> 6) & 0x02));
    b[7] = static_cast<unsigned char>(k[6] << 1);
}

}  // namespace ostmail
