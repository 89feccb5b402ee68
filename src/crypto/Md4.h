#pragma once
#include "crypto/MdBlockHash.h"

#include <string>

namespace ostmail {

// MD4 (RFC 1320). Only NTLM uses it: the NT password hash is MD4 over the
// password's UTF-16LE bytes without a terminator.
class Md4 : public MdBlockHash<Md4> {
public:
    static void digest(const void* data, size_t len, unsigned char out[kDigestSize]);
    static void digest(const std::string& data, unsigned char out[kDigestSize]);

    // MD4 of n UTF-16 code units, written little-endian whatever the host order.
    static void digestUtf16(const uint16_t* units, size_t n, unsigned char out[kDigestSize]);

private:
    friend class MdBlockHash<Md4>;
    static void compress(uint32_t state[4], const unsigned char* blocks, size_t count);
};

}  // namespace ostmail
