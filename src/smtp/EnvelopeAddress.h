#pragma once
#include "core/StringBuffer.h"

#include <string>

namespace ostmail {

// An envelope address for a server without SMTPUTF8 (RFC 6531): ASCII as
// it is, a non-ASCII domain in A-labels (RFC 5890); a non-ASCII local part
// has no ASCII form at all.
class EnvelopeAddress {
public:
    static bool isAscii(const char* s);
    // False with the reason when the address cannot be written in ASCII.
    static bool toAscii(const char* address, StringBuffer& out, std::string& reason);
};

}  // namespace ostmail
