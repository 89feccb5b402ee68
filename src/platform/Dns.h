#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ostmail {
namespace platform {

// One resource record of a DNS answer, as far as an MX lookup needs it.
struct DnsRecord {
    uint16_t type = 0;        // 15 = MX
    uint16_t preference = 0;  // MX only
    std::string exchange;     // MX only
};

constexpr uint16_t kDnsTypeMx = 15;

// Status numbers of the Windows DNS client, so that logs read the same
// everywhere.
constexpr int kDnsNameError = 9003;      // NXDOMAIN
constexpr int kDnsServerFailure = 9002;  // SERVFAIL, REFUSED, or no reply at all
constexpr int kDnsRefused = 9005;        // FORMERR, NOTIMP
constexpr int kDnsNoRecords = 9501;      // the name exists, the answer is empty
constexpr int kDnsBadPacket = 9502;

// A DNS server given as dotted IPv4 text; false when it is not one.
bool dnsServerAddress(const char* dotted, uint32_t* addrNetOrder);

// Asks for the MX records of name and returns the answer section in order
// (records of every type). serverAddr 0 uses the system's resolver
// configuration; otherwise only that server (IPv4, network order) and port
// are asked. Returns 0 or one of the statuses above.
int dnsQueryMx(const char* name, uint32_t serverAddrNetOrder, uint16_t serverPort, std::vector<DnsRecord>& answer);

}  // namespace platform
}  // namespace ostmail
