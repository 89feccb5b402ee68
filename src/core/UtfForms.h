#pragma once
#include <cstddef>
#include <cstdint>

namespace ostmail {

class DataBuffer;
class StringBuffer;

// Direct UTF-8 <-> UTF-16LE conversion for XString. Ill-formed input (bad
// or overlong sequences, encoded surrogates, lone surrogates) becomes
// U+FFFD, one per maximal bad subpart, so a round trip never fails.
namespace utf {

// Appends UTF-16LE units (no terminator); false when memory ran out.
bool utf8ToUtf16(const char* s, size_t n, DataBuffer& out);
// Appends UTF-8 bytes; false when memory ran out.
bool utf16ToUtf8(const uint16_t* units, size_t count, StringBuffer& out);
// The number of UTF-16 units utf8ToUtf16 would produce.
uint32_t utf16Length(const char* s, size_t n);
// UTF-16 units of one code point (1 or 2), or 0 for an invalid value.
int encodeUtf16(uint32_t cp, uint16_t out[2]);

}  // namespace utf
}  // namespace ostmail
