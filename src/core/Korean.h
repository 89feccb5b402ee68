#pragma once
#include "core/DataBuffer.h"

#include <cstddef>
#include <functional>

namespace ostmail {

// ISO-2022-KR (RFC 1557) to and from the EUC-KR bytes of code page 949.
// The designator ESC $ ) C is written once at the start of the text, and
// only when the text holds Korean; every line starts in ASCII.
class Korean {
public:
    // 8-bit bytes in the input are taken as EUC-KR already. False when an
    // escape sequence or a shifted byte was malformed.
    static bool toEucKr(const unsigned char* in, size_t n, DataBuffer& out);
    // False when a character of 949 outside KS X 1001 was dropped. With
    // markers, pieces marked by EncodingConvert pass through untouched.
    // A pair outside KS X 1001 goes to lacking (its 949 bytes in, what to
    // write instead out; its result joins the return value).
    using Lacking = std::function<bool(const unsigned char* pair, DataBuffer& out)>;
    static bool fromEucKr(const unsigned char* in, size_t n, bool markers, DataBuffer& out,
                          const Lacking& lacking = nullptr);
};

}  // namespace ostmail
