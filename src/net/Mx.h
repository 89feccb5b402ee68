#pragma once
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"
#include "platform/Dns.h"

#include <cstdint>
#include <vector>

namespace ostmail {

class LogBase;

// Mail exchangers of a domain, from the platform's DNS client. Finding the
// domain of an e-mail address is the caller's part (addresses are parsed
// above this layer); emailOrDomain is the caller's input, for the log.
class Mx {
public:
    // Send queries to this server only: a dotted IPv4 address or
    // "localhost", port 0 meaning 53. Empty host: the system's servers.
    bool setDnsServer(const char* host, int port, LogBase& log);
    bool hasDnsServer() const { return m_serverAddr != 0; }

    // The answer's records in answer order. False, with the reason logged,
    // when the query fails or the answer holds no record at all.
    bool query(const char* domain, std::vector<platform::DnsRecord>& records, LogBase& log) const;

    // The MX of lowest preference; the first of the answer among equals.
    // An answer without MX records gives an empty name and success.
    bool bestExchange(const char* emailOrDomain, const StringBuffer& domain, StringBuffer& out, LogBase& log) const;

    // Appends every exchanger (new StringBuffers, the caller owns them),
    // lowest preference first; a name given twice keeps its last preference.
    bool allExchanges(const char* emailOrDomain, const StringBuffer& domain, ExtPtrArray& out, LogBase& log) const;

private:
    bool queryForLookup(const char* emailOrDomain, const StringBuffer& domain,
                        std::vector<platform::DnsRecord>& records, LogBase& log) const;

    uint32_t m_serverAddr = 0;  // network order; 0 = system's
    uint16_t m_serverPort = 0;
};

}  // namespace ostmail
