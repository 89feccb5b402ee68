#include "smtp/MailManMx.h"

#include "core/LogBase.h"
#include "email/Rfc822Address.h"
#include "net/Mx.h"

#include <cstring>

namespace ostmail {

bool MailManMx::domainOf(const char* emailOrDomain, StringBuffer& domain, LogBase& log) {
    domain.clear();
    const char* input = emailOrDomain ? emailOrDomain : "";
    if (!std::strchr(input, '@')) {
        domain.setString(input);
        domain.trimWhitespace();
        return true;
    }
    Rfc822Address addr;
    addr.parse(input);
    int32_t at = addr.address().lastIndexOfChar('@');
    if (at < 0) {
        log.LogError("Email address not formatted properly");
        log.LogData("emailAddress", input);
        return false;
    }
    domain.setString(addr.address().getString() + at + 1);
    domain.trimWhitespace();
    return true;
}

bool MailManMx::MxLookup(const Mx& mx, const char* emailOrDomain, StringBuffer& out, LogBase& log) {
    LogContextExitor ctx(log, "MxLookup");
    out.clear();
    log.LogData("emailAddr", emailOrDomain ? emailOrDomain : "");
    StringBuffer domain;
    if (!domainOf(emailOrDomain, domain, log)) return false;
    return mx.bestExchange(emailOrDomain, domain, out, log);
}

bool MailManMx::MxLookupAll(const Mx& mx, const char* emailOrDomain, ExtPtrArray& out, LogBase& log) {
    LogContextExitor ctx(log, "MxLookupAll");
    log.LogData("emailAddr", emailOrDomain ? emailOrDomain : "");
    StringBuffer domain;
    if (!domainOf(emailOrDomain, domain, log)) return false;
    return mx.allExchanges(emailOrDomain, domain, out, log);
}

}  // namespace ostmail
