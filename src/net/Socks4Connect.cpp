#include "core/LogBase.h"
#include "net/ClsSocksClient.h"
#include "net/HostnameResolve.h"
#include "net/Socket2.h"
#include "net/SocksConnect.h"

#include <cstring>

namespace ostmail {

namespace {
constexpr unsigned char kSocks4Granted = 90;
}

void SocksConnect::socks4Request(const unsigned char ip[4], int port, const char* user, DataBuffer& out) {
    out.clear();
    out.appendByte(4);
    out.appendByte(1);  // connect
    out.appendByte(static_cast<unsigned char>((port >> 8) & 0xFF));
    out.appendByte(static_cast<unsigned char>(port & 0xFF));
    out.append(ip, 4);
    if (user) out.append(user, std::strlen(user));
    out.appendByte(0);
}

// SOCKS4 carries only an IPv4 address, so the name is resolved here. A
// dotted address needs no lookup.
bool SocksConnect::socks4Target(const char* hostname, uint32_t connectTimeoutMs, unsigned char ip[4],
                                bool& aborted, uint32_t& failReason) {
    StringBuffer name(hostname ? hostname : "");
    name.trimWhitespace();
    StringBuffer dotted;
    bool timedOut = false;
    if (!name.isEmpty() && isDottedAddress(name)) {
        dotted.setString(name);
    } else if (!HostnameResolve::dnsLookup(name.getString(), connectTimeoutMs, m_heartbeatMs, m_pm, dotted, m_log,
                                           &aborted, &timedOut)) {
        m_log.LogError("DNS lookup of target hostname failed. (for SOCKS4)");
        m_log.LogDataSb("hostname", name);
        failReason = aborted ? VelmoraSocket::kConnectAborted
                   : timedOut ? VelmoraSocket::kConnectDnsTimeout
                              : VelmoraSocket::kConnectDnsFailed;
        return false;
    }
    if (!parseDotted(dotted.getString(), ip)) {
        m_log.LogError("Invalid SOCKS4 destination IP address");
        m_log.LogDataSb("ipAddr", dotted);
        failReason = VelmoraSocket::kConnectDnsFailed;
        return false;
    }
    return true;
}

bool SocksConnect::socks4(const char* hostname, int port, bool tls, uint32_t connectTimeoutMs, bool& aborted,
                          uint32_t& failReason) {
    LogContextExitor ctx(m_log, "SOCKS4");
    logProxy();
    aborted = false;
    failReason = VelmoraSocket::kConnectOk;
    if (!proxyUsable()) {
        m_log.LogError("No SOCKS4 hostname and/or port");
        failReason = VelmoraSocket::kConnectNoHostname;
        return false;
    }
    unsigned char ip[4];
    if (!socks4Target(hostname, connectTimeoutMs, ip, aborted, failReason)) return false;
    if (!connectProxy("SOCKS4", connectTimeoutMs, aborted, failReason)) return false;

    DataBuffer bytes;
    socks4Request(ip, port, m_proxy.username().getUtf8(), bytes);
    if (!send(bytes, "Failed to send connect request to SOCKS4 server.")) return fail(nullptr, aborted, failReason);
    if (!receive(8, bytes, aborted, "Failed to receive reply to SOCKS4 connect request."))
        return fail(nullptr, aborted, failReason);
    if (bytes.getData()[1] != kSocks4Granted) {
        m_log.LogError("SOCKS4 connect request denied.");
        m_log.LogDataLong("resultCode", bytes.getData()[1]);
        return fail(nullptr, aborted, failReason);
    }
    if (tls && !m_sock.ConvertToTls(m_heartbeatMs, m_sock.idleTimeoutMs(), m_log, m_pm))
        return fail("Failed to establish SSL/TLS channel after SOCKS4 connection.", aborted, failReason);
    return true;
}

}  // namespace ostmail
