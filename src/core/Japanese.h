#pragma once
#include "core/DataBuffer.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

// ISO-2022-JP (RFC 1468) to and from Shift_JIS (code page 932); the other
// charsets reach it through 932. The three code pages differ only in how
// half-width katakana are written: 50220 turns them into full-width ones,
// 50221 uses ESC ( I, 50222 uses SO/SI. Reading accepts all three forms.
class Japanese {
public:
    // False when the input held sequences that were dropped.
    static bool toShiftJis(const unsigned char* in, size_t n, DataBuffer& out);
    // With markers, pieces marked by EncodingConvert pass through untouched.
    // False when a Shift_JIS character has no ISO-2022-JP form (dropped).
    static bool fromShiftJis(const unsigned char* in, size_t n, uint32_t codePage, bool markers,
                             DataBuffer& out);
};

}  // namespace ostmail
