#include "net/SocksConnect.h"

#include "core/LogBase.h"
#include "net/ClsSocksClient.h"
#include "net/Socket2.h"
#include "net/SocketFlags.h"

#include <cstdio>

namespace ostmail {

namespace {

constexpr uint32_t kSendChunk = 2048;

}  // namespace

SocksConnect::SocksConnect(Socket2& sock, ClsSocksClient& proxy, uint32_t heartbeatMs, LogBase& log,
                           ProgressMonitor* pm)
    : m_sock(sock), m_proxy(proxy), m_heartbeatMs(heartbeatMs), m_log(log), m_pm(pm) {}

bool SocksConnect::parseDotted(const char* text, unsigned char ip[4]) {
    int a = 0, b = 0, c = 0, d = 0;
    if (!text || std::sscanf(text, "%d.%d.%d.%d", &a, &b, &c, &d) != 4) return false;
    ip[0] = static_cast<unsigned char>(a);
    ip[1] = static_cast<unsigned char>(b);
    ip[2] = static_cast<unsigned char>(c);
    ip[3] = static_cast<unsigned char>(d);
    return true;
}

bool SocksConnect::isDottedAddress(const StringBuffer& s) {
    for (uint32_t i = 0; i < s.getSize(); ++i) {
        char c = s.getString()[i];
        if (c != '.' && (c < '0' || c > '9')) return false;
    }
    return true;
}

void SocksConnect::logProxy() {
    m_log.LogData("socksHostname", m_proxy.hostname().getUtf8());
    m_log.LogDataLong("socksPort", m_proxy.port());
    m_log.LogData("socksUsername", m_proxy.username().getUtf8());
}

bool SocksConnect::proxyUsable() const {
    int port = m_proxy.port();
    StringBuffer host(m_proxy.hostname().getUtf8());
    host.trimWhitespace();
    // Ports that do not fit in 16 bits are as unusable as 0.
    return !host.isEmpty() && port > 0 && port <= 65535;
}

bool SocksConnect::connectProxy(const char* version, uint32_t connectTimeoutMs, bool& aborted,
                                uint32_t& failReason) {
    VelmoraSocket& plain = m_sock.plainSocket();
    plain.setConnectTimeoutMs(connectTimeoutMs);
    bool ok = plain.Connect(m_proxy.hostname().getUtf8(), m_proxy.port(), m_heartbeatMs, aborted, m_log, m_pm);
    failReason = plain.connectFailReason();
    if (ok) return true;
    StringBuffer text;
    text.appendFormat("Failed to connect to %s server.", version);
    m_log.LogError(text.getString());
    m_log.LogData("socksHostname", m_proxy.hostname().getUtf8());
    m_log.LogDataLong("socksPort", m_proxy.port());
    return false;
}

bool SocksConnect::send(const DataBuffer& bytes, const char* failText) {
    if (m_sock.SendBytes2(bytes.getData(), bytes.getSize(), kSendChunk, m_heartbeatMs, m_sock.idleTimeoutMs(),
                          m_log, m_pm))
        return true;
    m_log.LogError(failText);
    return false;
}

bool SocksConnect::receive(uint32_t n, DataBuffer& out, bool& aborted, const char* failText) {
    out.clear();
    uint32_t numRead = 0;
    SocketFlags flags;
    bool ok = m_sock.ReceiveExactly(out, n, m_heartbeatMs, m_sock.idleTimeoutMs(), numRead, flags, m_log, m_pm);
    if (flags.aborted) aborted = true;
    if (ok && numRead == n && out.getSize() == n) return true;
    m_log.LogError(failText);
    return false;
}

// Only for failures once the proxy connection exists.
bool SocksConnect::fail(const char* text, bool aborted, uint32_t& failReason) {
    if (text) m_log.LogError(text);
    m_sock.Close(m_heartbeatMs, m_sock.idleTimeoutMs(), m_log, m_pm);
    failReason = aborted ? VelmoraSocket::kConnectAborted : VelmoraSocket::kConnectFailed;
    return false;
}

}  // namespace ostmail
