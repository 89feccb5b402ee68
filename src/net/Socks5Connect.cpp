#include "core/LogBase.h"
#include "net/ClsSocksClient.h"
#include "net/Socket2.h"
#include "net/SocksConnect.h"
#include "net/ServerAddress.h"

#include <algorithm>

namespace ostmail {

namespace {

constexpr unsigned char kMethodNone = 0;
constexpr unsigned char kMethodUserPass = 2;
constexpr unsigned char kAddrIpv4 = 1;
constexpr unsigned char kAddrDomain = 3;
constexpr unsigned char kAddrIpv6 = 4;
constexpr uint32_t kMaxField = 255;  // one length byte
const char* const kNoConnectReply = "Failed to receive connection reply from SOCKS5 server.";

void appendPort(int port, DataBuffer& out) {
    out.appendByte(static_cast<unsigned char>((port >> 8) & 0xFF));
    out.appendByte(static_cast<unsigned char>(port & 0xFF));
}

bool appendCounted(const StringBuffer& s, DataBuffer& out) {
    if (s.getSize() > kMaxField) return false;
    out.appendByte(static_cast<unsigned char>(s.getSize()));
    out.append(s);
    return true;
}

}  // namespace

void SocksConnect::socks5Greeting(DataBuffer& out) {
    static const unsigned char greeting[] = {5, 2, kMethodNone, kMethodUserPass};
    out.clear();
    out.append(greeting, sizeof greeting);
}

// RFC 1929 section 2: VER 1, ULEN, UNAME, PLEN, PASSWD.
bool SocksConnect::socks5Credentials(const StringBuffer& user, const StringBuffer& password, DataBuffer& out) {
    out.clear();
    out.appendByte(1);
    return appendCounted(user, out) && appendCounted(password, out);
}

// RFC 1928 section 4: VER 5, CMD 1 (connect), RSV 0, ATYP, DST.ADDR, DST.PORT.
bool SocksConnect::socks5Request(const unsigned char* ip, const StringBuffer& domain, int port, DataBuffer& out,
                                 bool ipv6Literals) {
    static const unsigned char head[] = {5, 1, 0};
    out.clear();
    out.append(head, sizeof head);
    platform::SocketAddress literal;
    std::string unused;
    bool v6 = !ip && ipv6Literals &&
              ServerAddress::classify(domain.getString(), literal, unused) == ServerAddress::kLiteral &&
              literal.family == 6;
    if (v6) {
        out.appendByte(kAddrIpv6);
        out.append(literal.bytes, 16);
    } else if (ip) {
        out.appendByte(kAddrIpv4);
        out.append(ip, 4);
    } else {
        out.appendByte(kAddrDomain);
        if (!appendCounted(domain, out)) return false;
    }
    appendPort(port, out);
    return true;
}

bool SocksConnect::socks5Method(bool& aborted, uint32_t& failReason) {
    DataBuffer bytes;
    socks5Greeting(bytes);
    if (!send(bytes, "Failed to send version identifier to SOCKS5 server."))
        return fail(nullptr, aborted, failReason);
    if (!receive(2, bytes, aborted, "Failed to receive method-select reply from SOCKS5 server."))
        return fail(nullptr, aborted, failReason);
    unsigned char method = bytes.getData()[1];
    if (method == kMethodNone) return true;
    if (method == kMethodUserPass) return socks5Login(aborted, failReason);
    m_log.LogError("No acceptable SOCKS5 methods");
    m_log.LogDataLong("method", method);
    return fail(nullptr, aborted, failReason);
}

bool SocksConnect::socks5Login(bool& aborted, uint32_t& failReason) {
    StringBuffer user(m_proxy.username().getUtf8());
    StringBuffer password(m_proxy.password().getUtf8());
    if (user.isEmpty()) return fail("SOCKS5 username is empty.", aborted, failReason);
    if (password.isEmpty()) return fail("SOCKS5 password is empty.", aborted, failReason);
    DataBuffer bytes;
    if (!socks5Credentials(user, password, bytes))
        return fail("SOCKS5 username or password is longer than 255 bytes.", aborted, failReason);
    bool ok = send(bytes, "Failed to send username/password to SOCKS5 server.");
    std::fill_n(bytes.getMutable(), bytes.getSize(), 0);  // no password left in freed memory
    if (!ok) return fail(nullptr, aborted, failReason);
    if (!receive(2, bytes, aborted, "Failed to receive username/password reply from SOCKS5 server."))
        return fail(nullptr, aborted, failReason);
    if (bytes.getData()[1] == 0) return true;
    m_log.LogError("SOCKS5 server rejected username/password");
    m_log.LogDataSb("username", user);
    m_log.LogData("password", LogBase::kSecretMarker);
    return fail(nullptr, aborted, failReason);
}

bool SocksConnect::socks5BoundAddress(unsigned char addrType, bool& aborted, uint32_t& failReason) {
    DataBuffer bytes;
    uint32_t addrLen = 4;
    if (addrType == kAddrDomain) {
        if (!receive(1, bytes, aborted, kNoConnectReply)) return fail(nullptr, aborted, failReason);
        addrLen = bytes.getData()[0];
    } else if (addrType == kAddrIpv6) {
        addrLen = 16;
    }
    if (addrLen && !receive(addrLen, bytes, aborted, kNoConnectReply)) return fail(nullptr, aborted, failReason);
    if (!receive(2, bytes, aborted, kNoConnectReply)) return fail(nullptr, aborted, failReason);
    return true;
}

bool SocksConnect::socks5Tunnel(const unsigned char* ip, const StringBuffer& domain, int port, bool& aborted,
                                uint32_t& failReason) {
    DataBuffer bytes;
    socks5Request(ip, domain, port, bytes, m_sock.plainSocket().dualStack());
    if (!send(bytes, "Failed to send connection request to SOCKS5 server."))
        return fail(nullptr, aborted, failReason);
    if (!receive(4, bytes, aborted, kNoConnectReply)) return fail(nullptr, aborted, failReason);
    unsigned char status = bytes.getData()[1];
    if (status != 0) {
        m_log.LogError("SOCKS5 server rejected connection request");
        m_log.LogDataLong("status", status);
        return fail(nullptr, aborted, failReason);
    }
    return socks5BoundAddress(bytes.getData()[3], aborted, failReason);
}

bool SocksConnect::socks5(const char* hostname, int port, bool tls, uint32_t connectTimeoutMs, bool& aborted,
                          uint32_t& failReason) {
    LogContextExitor ctx(m_log, "SOCKS5");
    logProxy();
    aborted = false;
    failReason = VelmoraSocket::kConnectNoHostname;
    StringBuffer target(hostname ? hostname : "");
    target.trimWhitespace();
    if (target.isEmpty()) {
        m_log.LogError("No target hostname for SOCKS5 connection.");
        return false;
    }
    if (!proxyUsable()) {
        m_log.LogError("No SOCKS5 hostname and/or port");
        return false;
    }
    unsigned char ip[4];
    bool byAddress = isDottedAddress(target);
    failReason = VelmoraSocket::kConnectDnsFailed;
    if (byAddress && !parseDotted(target.getString(), ip)) {
        m_log.LogError("Invalid SOCKS5 destination IP address");
        m_log.LogDataSb("ipAddress", target);
        return false;
    }
    if (!byAddress && target.getSize() > kMaxField) {
        m_log.LogError("SOCKS5 target hostname is longer than 255 bytes.");
        m_log.LogDataSb("hostname", target);
        return false;
    }
    if (!connectProxy("SOCKS5", connectTimeoutMs, aborted, failReason)) return false;
    if (!socks5Method(aborted, failReason)) return false;
    if (!socks5Tunnel(byAddress ? ip : nullptr, target, port, aborted, failReason)) return false;
    // The TLS channel logs its own reasons.
    if (tls && !m_sock.ConvertToTls(m_heartbeatMs, m_sock.idleTimeoutMs(), m_log, m_pm))
        return fail(nullptr, aborted, failReason);
    return true;
}

}  // namespace ostmail
