#include "platform/Idna.h"

#include <idn2.h>

#include <cstdlib>

namespace ostmail {
namespace platform {

bool idnaToAscii(const std::string& utf8Domain, std::string& ascii, std::string& reason) {
    char* out = nullptr;
    int rc = idn2_to_ascii_8z(utf8Domain.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK) {
        reason = idn2_strerror(rc);
        return false;
    }
    ascii = out;
    idn2_free(out);
    return true;
}

}  // namespace platform
}  // namespace ostmail
