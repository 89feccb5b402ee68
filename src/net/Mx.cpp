#include "net/Mx.h"

#include "core/LogBase.h"
#include "core/ScoredStrings.h"

namespace ostmail {

bool Mx::setDnsServer(const char* host, int port, LogBase& log) {
    StringBuffer h(host ? host : "");
    h.trimWhitespace();
    if (h.isEmpty()) {
        m_serverAddr = 0;
        m_serverPort = 0;
        return true;
    }
    if (h.equalsIgnoreCase("localhost")) h.setString("127.0.0.1");
    uint32_t addr = 0;
    if (!platform::dnsServerAddress(h.getString(), &addr) || addr == 0 || port < 0 || port > 65535) {
        log.LogError("Invalid DNS server address or port");
        log.LogDataSb("dnsServer", h);
        log.LogDataLong("dnsPort", port);
        return false;
    }
    m_serverAddr = addr;
    m_serverPort = static_cast<uint16_t>(port);
    return true;
}

bool Mx::query(const char* domain, std::vector<platform::DnsRecord>& records, LogBase& log) const {
    int status = platform::dnsQueryMx(domain, m_serverAddr, m_serverPort, records);
    if (status == 0 && records.empty()) status = platform::kDnsNoRecords;
    if (status != 0) {
        records.clear();
        log.LogError("Failed to lookup MX record");
        log.LogData("domain", domain);
        log.LogDataLong("dnsQueryError", status);
        return false;
    }
    return true;
}

bool Mx::queryForLookup(const char* emailOrDomain, const StringBuffer& domain,
                        std::vector<platform::DnsRecord>& records, LogBase& log) const {
    if (domain.isEmpty()) {
        log.LogError("Invalid email address, cannot parse domain.");
        return false;
    }
    if (!query(domain.getString(), records, log)) {
        log.LogData("emailOrDomain", emailOrDomain ? emailOrDomain : "");
        return false;
    }
    return true;
}

bool Mx::bestExchange(const char* emailOrDomain, const StringBuffer& domain, StringBuffer& out,
                      LogBase& log) const {
    out.clear();
    std::vector<platform::DnsRecord> records;
    if (!queryForLookup(emailOrDomain, domain, records, log)) return false;
    const platform::DnsRecord* best = nullptr;
    for (const auto& r : records) {
        if (r.type != platform::kDnsTypeMx) continue;
        // Strictly lower only: among equals the answer's first stays.
        if (!best || r.preference < best->preference) best = &r;
    }
    if (best) out.setString(best->exchange.c_str(), best->exchange.size());
    return true;
}

bool Mx::allExchanges(const char* emailOrDomain, const StringBuffer& domain, ExtPtrArray& out,
                      LogBase& log) const {
    std::vector<platform::DnsRecord> records;
    if (!queryForLookup(emailOrDomain, domain, records, log)) return false;
    ScoredStrings scored;
    for (const auto& r : records) {
        if (r.type == platform::kDnsTypeMx) scored.add(r.exchange.c_str(), r.preference);
    }
    if (!scored.sortedAscending(out)) {
        log.LogError("Memory allocation error");
        return false;
    }
    return true;
}

}  // namespace ostmail
