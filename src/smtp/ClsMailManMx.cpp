#include "core/LogBase.h"
#include "email/Rfc822Address.h"
#include "smtp/ClsMailMan.h"

#include <cstring>

namespace ostmail {

namespace {

// The domain of an address is what follows the '@' of the parsed address;
// input without an '@' is taken for the domain itself.
bool domainOf(const char* input, StringBuffer& domain, LogBase& log) {
    domain.clear();
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

}  // namespace

bool ClsMailMan::MxLookup(XString& emailOrDomain, XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "MxLookup");
    m_log.LogData("DllDate", kDllDate);
    out.clear();
    const char* input = emailOrDomain.getUtf8();
    m_log.LogData("emailAddr", input);
    StringBuffer domain, host;
    if (!domainOf(input, domain, m_log) || !m_mx.bestExchange(input, domain, host, m_log)) return false;
    out.setFromSb(host);
    return true;
}

bool ClsMailMan::MxLookupAll(XString& emailOrDomain, ExtPtrArray& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "MxLookupAll");
    m_log.LogData("DllDate", kDllDate);
    const char* input = emailOrDomain.getUtf8();
    m_log.LogData("emailAddr", input);
    StringBuffer domain;
    return domainOf(input, domain, m_log) && m_mx.allExchanges(input, domain, out, m_log);
}

bool ClsMailMan::SetDnsServer(XString& host, int32_t port) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "SetDnsServer");
    return m_mx.setDnsServer(host.getUtf8(), port, m_log);
}

}  // namespace ostmail
