#pragma once
#include <cstdint>

namespace ostmail {

class DataBuffer;

// Keeps the charset that an HTML text declares in its META content-type tag
// equal to the charset the part is sent in.
class HtmlCharset {
public:
    // Rewrites the first "charset=" inside a <meta> tag to name codePage.
    // Returns false when there is no such declaration or the name is unknown.
    static bool declare(DataBuffer& html, uint32_t codePage);
    // Inserts a META content-type tag naming charsetName when the HTML
    // declares no charset (after <head> when there is one).
    static void ensureDeclared(DataBuffer& html, const char* charsetName);
};

}  // namespace ostmail
