#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostmail {

// DES (FIPS 46-3) and its EDE triple form. Key bits below 112 select single
// DES with an 8-byte key; below 168 two-key triple DES (16 bytes); otherwise
// three-key triple DES (24 bytes). A short key is padded with zero bytes;
// parity bits are ignored.
class VelmoraDes {
public:
    static constexpr size_t kBlockSize = 8;

    enum { kModeEcb = 0 };
    // kPadRfc1423 always adds 1-8 bytes of value n; kPadZeros fills only a
    // partial last block with zero bytes, so a whole block gets no padding.
    enum { kPadRfc1423 = 0, kPadZeros = 3 };

    VelmoraDes();
    ~VelmoraDes();
    VelmoraDes(const VelmoraDes&) = delete;
    VelmoraDes& operator=(const VelmoraDes&) = delete;

    void setMode(int mode) { m_mode = mode; }
    void setPadding(int scheme) { m_padding = scheme; }
    void setKey(const void* key, size_t keyLen, int keyBits);

    // ECB over the whole input, padded per the padding scheme. False, with
    // out empty, when no key is set or the mode or padding is unknown.
    bool encrypt(const void* in, size_t len, std::vector<unsigned char>& out) const;
    // Inverse of encrypt; RFC 1423 padding is checked and removed, zero
    // padding cannot be told from data and stays.
    bool decrypt(const void* in, size_t len, std::vector<unsigned char>& out) const;

    // NTLM's 7-to-8-byte key expansion: 56 key bits spread over the top seven
    // bits of each byte, the parity bit left 0.
    static void expandKey56(const unsigned char in[7], unsigned char out[8]);

private:
    uint64_t cryptBlock(uint64_t block, bool decrypting) const;
    bool supported() const;

    uint64_t m_subkeys[3][16];
    int m_keyCount;  // 0 = no key, 1 = single DES, 3 = EDE
    int m_mode;
    int m_padding;
};

}  // namespace ostmail
