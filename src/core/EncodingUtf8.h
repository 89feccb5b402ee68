#pragma once
#include "core/DataBuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostmail {

// The UTF-8 encoder and decoder. Malformed input never stops a conversion:
// each maximal malformed subpart of UTF-8, and each lone surrogate of UTF-16,
// becomes U+FFFD and the result is false.
class EncodingUtf8 {
public:
    virtual ~EncodingUtf8() = default;

    virtual bool toUtf16(const unsigned char* in, size_t n, std::u16string& out) const;
    // Appends UTF-16 little-endian bytes.
    virtual bool toUtf16Le(const unsigned char* in, size_t n, DataBuffer& out) const;
    virtual bool fromUtf16(const char16_t* in, size_t n, DataBuffer& out) const;

    // Reads one code point and advances p (by at least one byte). A malformed
    // sequence gives U+FFFD and sets bad.
    static uint32_t next(const unsigned char*& p, const unsigned char* end, bool& bad);
    // Writes a code point below 0x110000; returns the bytes written (1-4).
    static int put(uint32_t cp, unsigned char* out);
};

}  // namespace ostmail
