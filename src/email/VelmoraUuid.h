#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

// Random identifiers as 36-character lower-case hex text in 8-4-4-4-12
// groups. Four words of VelmoraRand, each laid out little-endian; no
// version or variant bits are set.
class VelmoraUuid {
public:
    // Appends the text to out; words, when given, receives the four draws.
    static void generate(StringBuffer& out, uint32_t* words = nullptr);
};

}  // namespace ostmail
