#pragma once
#include "core/DataBuffer.h"

#include <cstddef>
#include <string>

namespace ostmail {

// UTF-7 (RFC 2152). The encoder writes the characters of sets D and O and
// space, tab, CR and LF directly and everything else in modified base64;
// a shifted run ends with '-' only where the next character would otherwise
// be read as base64 (and at the end of the text).
class EncodingUtf7 {
public:
    static void encode(const char16_t* in, size_t n, DataBuffer& out);
    // False when the input was malformed (8-bit bytes become U+FFFD, stray
    // bits at the end of a shifted run are dropped).
    static bool decode(const unsigned char* in, size_t n, std::u16string& out);
};

}  // namespace ostmail
