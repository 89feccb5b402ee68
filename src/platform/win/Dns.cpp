#include "platform/Dns.h"

#include <winsock2.h>
#include <windns.h>
#include <ws2tcpip.h>

#include <memory>

namespace ostmail {
namespace platform {

namespace {

// The DNS client's own statuses are already the numbers of Dns.h; others
// (time-outs, no server reachable) read as a server failure.
int statusFromDnsClient(DNS_STATUS st) {
    switch (st) {
        case DNS_ERROR_RCODE_NAME_ERROR: return kDnsNameError;
        case DNS_INFO_NO_RECORDS: return kDnsNoRecords;
        case DNS_ERROR_RCODE_FORMAT_ERROR:
        case DNS_ERROR_RCODE_NOT_IMPLEMENTED:
        case DNS_ERROR_RCODE_REFUSED: return kDnsRefused;
        case DNS_ERROR_BAD_PACKET: return kDnsBadPacket;
        default: return kDnsServerFailure;
    }
}

struct RecordListFree {
    void operator()(DNS_RECORDA* r) const {
        if (r) DnsRecordListFree(reinterpret_cast<PDNS_RECORD>(r), DnsFreeRecordList);
    }
};

}  // namespace

bool dnsServerAddress(const char* dotted, uint32_t* addrNetOrder) {
    in_addr a{};
    if (!dotted || InetPtonA(AF_INET, dotted, &a) != 1) return false;
    *addrNetOrder = a.s_addr;
    return true;
}

// DnsQuery_A takes the servers as an IP4_ARRAY, which has no port: a server
// on any port but 53 cannot be asked, and the query fails as a server
// failure without reaching the network.
int dnsQueryMx(const char* name, uint32_t serverAddrNetOrder, uint16_t serverPort, std::vector<DnsRecord>& answer) {
    answer.clear();
    if (!name || !*name) return kDnsNameError;
    IP4_ARRAY servers{};
    PIP4_ARRAY extra = nullptr;
    // The standard options, unless a server is named: then that server,
    // not the cache or the hosts file, gives the answer.
    DWORD options = DNS_QUERY_STANDARD;
    if (serverAddrNetOrder != 0) {
        options = DNS_QUERY_BYPASS_CACHE | DNS_QUERY_NO_HOSTS_FILE;
        if (serverPort != 0 && serverPort != 53) return kDnsServerFailure;
        servers.AddrCount = 1;
        servers.AddrArray[0] = serverAddrNetOrder;
        extra = &servers;
    }
    DNS_RECORDA* raw = nullptr;
    DNS_STATUS st = DnsQuery_A(name, DNS_TYPE_MX, options, extra, reinterpret_cast<PDNS_RECORD*>(&raw), nullptr);
    std::unique_ptr<DNS_RECORDA, RecordListFree> records(raw);
    if (st != 0) return statusFromDnsClient(st);
    for (const DNS_RECORDA* r = records.get(); r; r = r->pNext) {
        if ((r->Flags.S.Section) != DnsSectionAnswer) continue;
        DnsRecord rec;
        rec.type = r->wType;
        if (rec.type == kDnsTypeMx) {
            if (!r->Data.MX.pNameExchange) return kDnsBadPacket;
            rec.preference = r->Data.MX.wPreference;
            rec.exchange = r->Data.MX.pNameExchange;
        }
        answer.push_back(std::move(rec));
    }
    return 0;
}

}  // namespace platform
}  // namespace ostmail
