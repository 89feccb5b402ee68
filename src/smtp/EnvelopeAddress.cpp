#include "smtp/EnvelopeAddress.h"

#include "platform/Idna.h"

#include <cstring>

namespace ostmail {

bool EnvelopeAddress::isAscii(const char* s) {
    for (; s && *s; ++s)
        if (static_cast<unsigned char>(*s) >= 0x80) return false;
    return true;
}

bool EnvelopeAddress::toAscii(const char* address, StringBuffer& out, std::string& reason) {
    std::string a = address ? address : "";
    size_t at = a.rfind('@');
    std::string local = at == std::string::npos ? a : a.substr(0, at);
    std::string domain = at == std::string::npos ? "" : a.substr(at + 1);
    if (!isAscii(local.c_str())) {
        reason = "the server does not offer SMTPUTF8";
        return false;
    }
    if (!isAscii(domain.c_str())) {
        std::string ascii, why;
        if (!platform::idnaToAscii(domain, ascii, why)) {
            reason = "not a valid international domain name: " + why;
            return false;
        }
        domain = ascii;
    }
    out.setString(at == std::string::npos ? local.c_str() : (local + "@" + domain).c_str());
    return true;
}

}  // namespace ostmail
