#pragma once
#include "core/DataBuffer.h"

#include <cstddef>
#include <string>

namespace ostmail {

// UTF-32 in either byte order, and the byte swap that turns UTF-16LE into
// UTF-16BE and back. Values that are no code point (surrogates, above
// U+10FFFF) and trailing partial units are malformed: U+FFFD, result false.
class EncodingUtf32 {
public:
    static bool toUtf16(const unsigned char* in, size_t n, bool bigEndian, std::u16string& out);
    static bool fromUtf8(const unsigned char* in, size_t n, bool bigEndian, DataBuffer& out);
    // Appends the bytes with every pair swapped; an odd last byte is dropped.
    static bool swapPairs(const unsigned char* in, size_t n, DataBuffer& out);
};

}  // namespace ostmail
