#pragma once
#include <string>

namespace ostmail {

// Checks and conversions the API applies to the host's text.
class TextCheck {
public:
    // Well-formed UTF-8: no stray continuation bytes, overlong forms,
    // surrogates or code points past U+10FFFF.
    static bool isValidUtf8(const std::string& text);
    // Every LF not already preceded by CR becomes CRLF.
    static std::string toCrLf(const std::string& text);
};

}  // namespace ostmail
