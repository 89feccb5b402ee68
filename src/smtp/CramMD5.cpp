#include "smtp/CramMD5.h"

#include "core/StringBuffer.h"
#include "crypto/Hmac.h"

namespace ostmail {

void CramMD5::response(const char* login, const char* password, size_t passwordLen, const void* challenge,
                       size_t challengeLen, StringBuffer& out) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[16];
    Hmac::md5(challenge, challengeLen, password, passwordLen, digest);
    out.append(login);
    out.appendChar(' ');
    for (unsigned char b : digest) {
        out.appendChar(kHex[b >> 4]);
        out.appendChar(kHex[b & 15]);
    }
}

}  // namespace ostmail
