#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"

namespace ostmail {

class LogBase;
class Mx;

// The mail manager's MX operations: the input is an e-mail address or a
// bare domain. Each runs in its own log context and logs the input.
class MailManMx {
public:
    // Best exchanger of the input's domain; empty with success when the
    // answer holds no MX record.
    static bool MxLookup(const Mx& mx, const char* emailOrDomain, StringBuffer& out, LogBase& log);
    // Every exchanger, lowest preference first (new StringBuffers appended
    // to out; the caller owns them).
    static bool MxLookupAll(const Mx& mx, const char* emailOrDomain, ExtPtrArray& out, LogBase& log);

    // The domain of an address (text after the '@' of the parsed address)
    // or the trimmed input itself. False when an address has no domain.
    static bool domainOf(const char* emailOrDomain, StringBuffer& domain, LogBase& log);
};

}  // namespace ostmail
