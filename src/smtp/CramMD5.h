#pragma once
#include <cstddef>

namespace ostmail {

class StringBuffer;

// RFC 2195 CRAM-MD5: the client's answer to a decoded server challenge.
class CramMD5 {
public:
    // Appends login, one space and the HMAC-MD5 (RFC 2104) of the challenge
    // keyed with the password, as 32 lower-case hex digits; not yet base64.
    static void response(const char* login, const char* password, size_t passwordLen, const void* challenge,
                         size_t challengeLen, StringBuffer& out);
};

}  // namespace ostmail
