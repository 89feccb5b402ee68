#pragma once
#include <cstddef>

namespace ostmail {

// Mac Arabic text (code page 10004) is stored in visual order and carries
// right-to-left duplicates of ASCII punctuation and digits. toLogical folds
// the duplicates onto ASCII, makes 0x81 (no-break space) the table's 0xA0,
// and reverses each run of two or more right-to-left characters.
class MacArabic {
public:
    static void toLogical(unsigned char* bytes, size_t n);
    static bool isRightToLeft(unsigned char b);
};

}  // namespace ostmail
