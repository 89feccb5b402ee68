#include "platform/Dns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace ostmail {
namespace platform {

namespace {

// res_nquery reports the reason of an empty or failed answer in h_errno.
// TRY_AGAIN covers SERVFAIL, REFUSED and silence alike; errno cannot tell
// them apart, so all three read as a server failure.
int statusFromResolver(int herr) {
    switch (herr) {
        case HOST_NOT_FOUND: return kDnsNameError;
        case NO_DATA: return kDnsNoRecords;
        case NO_RECOVERY: return kDnsRefused;
        default: return kDnsServerFailure;
    }
}

bool parseMx(const ns_msg& msg, const ns_rr& rr, DnsRecord& rec) {
    if (ns_rr_rdlen(rr) < 3) return false;
    const unsigned char* rdata = ns_rr_rdata(rr);
    rec.preference = static_cast<uint16_t>((rdata[0] << 8) | rdata[1]);
    char name[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), rdata + 2, name, sizeof name) < 0) return false;
    rec.exchange = name;
    return true;
}

int parseAnswer(const unsigned char* buf, int len, std::vector<DnsRecord>& answer) {
    ns_msg msg;
    if (ns_initparse(buf, len, &msg) < 0) return kDnsBadPacket;
    int count = ns_msg_count(msg, ns_s_an);
    for (int i = 0; i < count; ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) < 0) return kDnsBadPacket;
        DnsRecord rec;
        rec.type = ns_rr_type(rr);
        if (rec.type == kDnsTypeMx && !parseMx(msg, rr, rec)) return kDnsBadPacket;
        answer.push_back(std::move(rec));
    }
    return 0;
}

// res_state is large and must be closed on every path.
struct ResolverState {
    struct __res_state st;
    bool open = false;
    ResolverState() { std::memset(&st, 0, sizeof st); }
    ~ResolverState() {
        if (open) res_nclose(&st);
    }
};

}  // namespace

bool dnsServerAddress(const char* dotted, uint32_t* addrNetOrder) {
    in_addr a;
    if (!dotted || inet_pton(AF_INET, dotted, &a) != 1) return false;
    *addrNetOrder = a.s_addr;
    return true;
}

int dnsQueryMx(const char* name, uint32_t serverAddrNetOrder, uint16_t serverPort, std::vector<DnsRecord>& answer) {
    answer.clear();
    if (!name || !*name) return kDnsNameError;
    auto res = std::make_unique<ResolverState>();
    if (res_ninit(&res->st) != 0) return kDnsServerFailure;
    res->open = true;
    if (serverAddrNetOrder != 0) {
        // IPv6 servers from resolv.conf live apart and would be asked first;
        // glibc frees them the same way in res_nclose.
        for (int i = 0; i < MAXNS; ++i) {
            std::free(res->st._u._ext.nsaddrs[i]);
            res->st._u._ext.nsaddrs[i] = nullptr;
        }
        res->st.nsaddr_list[0].sin_family = AF_INET;
        res->st.nsaddr_list[0].sin_addr.s_addr = serverAddrNetOrder;
        res->st.nsaddr_list[0].sin_port = htons(serverPort ? serverPort : NS_DEFAULTPORT);
        res->st.nscount = 1;
    }
    std::vector<unsigned char> buf(65536);
    int len = res_nquery(&res->st, name, ns_c_in, ns_t_mx, buf.data(), static_cast<int>(buf.size()));
    if (len < 0) return statusFromResolver(res->st.res_h_errno);
    return parseAnswer(buf.data(), len, answer);
}

}  // namespace platform
}  // namespace ostmail
