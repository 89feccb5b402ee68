#pragma once
#include "core/StringBuffer.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

class LogBase;
class MimeField;

// Writes one header value for the wire: plain 7-bit text folded after
// separators, anything else as RFC 2047 encoded words in the emission
// charset, falling back to ISO-8859-2, then UTF-8, then the raw value, so
// every field always yields a line.
class HeaderEncoder {
public:
    // line already holds "Name: "; the encoded value is appended to it.
    static void encodeValue(const MimeField& field, uint32_t codePage, StringBuffer& line, LogBase& log);

    // Folding of 7-bit text (counter starts at the bytes already on the line).
    static void foldPlain(const char* s, size_t n, uint32_t counter, bool noFold, StringBuffer& out);

    // Code pages whose words are B-encoded.
    static bool usesBWords(uint32_t codePage);
};

}  // namespace ostmail
