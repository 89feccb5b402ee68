#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostmail {

// Hash algorithm identifier of MD5, the one digest that authentication uses.
// Other identifiers belong to parts of the toolkit that are not built here.
constexpr int kHashMd5 = 5;

// One-shot digest by algorithm identifier. False (out left empty) for an
// identifier this build does not implement.
bool hashById(const void* data, size_t len, int algorithm, std::vector<unsigned char>& out);

// HMAC (RFC 2104) with a 64-byte block. Stateless.
class Hmac {
public:
    static constexpr size_t kBlockSize = 64;

    // False (out left empty) when the algorithm is not available.
    static bool compute(const void* msg, size_t msgLen, const void* key, size_t keyLen,
                        int algorithm, std::vector<unsigned char>& out);

    // HMAC-MD5 into a fixed 16-byte digest, no allocation.
    static void md5(const void* msg, size_t msgLen, const void* key, size_t keyLen,
                    unsigned char out[16]);
};

}  // namespace ostmail
