#pragma once
#include "crypto/MdBlockHash.h"

#include <functional>
#include <string>

namespace ostmail {

// MD5 (RFC 1321). Incremental: initialize, update any number of times,
// finish. finish re-initializes, so one object can hash message after message.
class Md5 : public MdBlockHash<Md5> {
public:
    // Stream digests read their source in blocks of this size.
    static constexpr size_t kStreamBlock = 20000;

    // Fills buf with up to cap bytes and sets got; got == 0 means end of data.
    // Returning false (read error, abort) abandons the digest.
    using ReadFn = std::function<bool(unsigned char* buf, size_t cap, size_t& got)>;

    static void digest(const void* data, size_t len, unsigned char out[kDigestSize]);
    static void digest(const std::string& data, unsigned char out[kDigestSize]);
    static bool digestStream(const ReadFn& read, unsigned char out[kDigestSize]);

private:
    friend class MdBlockHash<Md5>;
    static void compress(uint32_t state[4], const unsigned char* blocks, size_t count);
};

}  // namespace ostmail
