#pragma once
#include <cstddef>
#include <cstdint>

namespace ostmail {

// Picks the charset a message text is sent in, from the scripts its
// characters belong to: the narrowest single-script charset that holds the
// whole text, UTF-8 when scripts are mixed, 0 for plain ASCII.
class TextCharset {
public:
    static uint32_t choose(const char* utf8, size_t n);
    // Next code point of UTF-8 text; malformed bytes come back one by one
    // as U+FFFD. Advances i.
    static uint32_t nextCodePoint(const unsigned char* s, size_t n, size_t& i);
};

}  // namespace ostmail
