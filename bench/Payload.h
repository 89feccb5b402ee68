#pragma once
#include <cstdint>
#include <string>

namespace bench {

// Fills buf with xorshift32 noise from state (carried over between calls),
// so attachments do not compress and every run sends the same bytes.
inline void fillNoise(std::string& buf, uint32_t& state) {
    for (char& c : buf) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
}

}  // namespace bench
