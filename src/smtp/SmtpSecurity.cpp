#include "smtp/SmtpSecurity.h"

#include "core/ContentCoding.h"
#include "core/DataBuffer.h"

#include <cstring>
#include <strings.h>

namespace ostmail {

const char SmtpSecurity::kClearTextRefusal[] =
    "refusing to send the password over an unencrypted connection (use --allow-plaintext-login to do it anyway)";

bool SmtpSecurity::offersStartTls(const StringBuffer& ehloReply) {
    const char* p = ehloReply.getString();
    while (p && *p) {
        const char* eol = std::strchr(p, '\n');
        size_t len = eol ? static_cast<size_t>(eol - p) : std::strlen(p);
        while (len > 0 && (p[len - 1] == '\r' || p[len - 1] == ' ' || p[len - 1] == '\t')) --len;
        // "250-STARTTLS" or "250 STARTTLS": the keyword alone after the code.
        if (len == 12 && (p[3] == '-' || p[3] == ' ') && strncasecmp(p + 4, "STARTTLS", 8) == 0) return true;
        p = eol ? eol + 1 : nullptr;
    }
    return false;
}

bool SmtpSecurity::carriesSecret(const char* mechanism) {
    static const char* const kClear[] = {"LOGIN", "PLAIN", "XOAUTH2", "OAUTHBEARER"};
    for (const char* name : kClear)
        if (mechanism && strcasecmp(mechanism, name) == 0) return true;
    return false;
}

bool SmtpSecurity::decodePin(const char* text, std::vector<unsigned char>& out) {
    out.clear();
    if (!text) return false;
    if (strncasecmp(text, "sha256//", 8) == 0) text += 8;
    size_t n = std::strlen(text);
    DataBuffer bytes;
    if (n != 44 || !ContentCoding::decodeBase64(text, n, bytes) || bytes.getSize() != 32) return false;
    // Only the canonical spelling: a stray character must not pass as a pin.
    StringBuffer again;
    ContentCoding::encodeBase64Flat(bytes.getData(), bytes.getSize(), again);
    if (!again.equals(text)) return false;
    out.assign(bytes.getData(), bytes.getData() + bytes.getSize());
    return true;
}

}  // namespace ostmail
