#include "crypto/Hmac.h"

#include "crypto/Md5.h"

#include <cstring>

namespace ostmail {

bool hashById(const void* data, size_t len, int algorithm, std::vector<unsigned char>& out)
{
    out.clear();
    if (algorithm != kHashMd5)
        return false;
    out.resize(Md5::kDigestSize);
    Md5::digest(data, len, out.data());
    return true;
}

void Hmac::md5(const void* msg, size_t msgLen, const void* key, size_t keyLen,
               unsigned char out[16])
{
    // A key longer than one block is replaced by its digest (RFC 2104 section 2).
    unsigned char keyDigest[Md5::kDigestSize];
    if (keyLen > kBlockSize) {
        Md5::digest(key, keyLen, keyDigest);
        key = keyDigest;
        keyLen = sizeof keyDigest;
    }
    unsigned char pad[kBlockSize] = {};
    if (keyLen != 0)
        std::memcpy(pad, key, keyLen);

    unsigned char inner[Md5::kDigestSize];
    Md5 h;
    for (unsigned char& b : pad)
        b ^= 0x36;
    h.update(pad, kBlockSize);
    h.update(msg, msgLen);
    h.finish(inner);

    // Turn the inner pad into the outer one: (k ^ 0x36) ^ (0x36 ^ 0x5c) = k ^ 0x5c.
    for (unsigned char& b : pad)
        b ^= 0x36 ^ 0x5c;
    h.update(pad, kBlockSize);
    h.update(inner, sizeof inner);
    h.finish(out);

    std::memset(pad, 0, sizeof pad);
    std::memset(keyDigest, 0, sizeof keyDigest);
}

bool Hmac::compute(const void* msg, size_t msgLen, const void* key, size_t keyLen,
                   int algorithm, std::vector<unsigned char>& out)
{
    out.clear();
    if (algorithm != kHashMd5)
        return false;
    out.resize(Md5::kDigestSize);
    md5(msg, msgLen, key, keyLen, out.data());
    return true;
}

}  // namespace ostmail
