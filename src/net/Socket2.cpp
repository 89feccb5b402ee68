#include "net/Socket2.h"

#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "net/ClsSocksClient.h"
#include "net/HttpConnect.h"
#include "net/ServerAddress.h"
#include "net/SocksConnect.h"

#include <cstring>

namespace ostmail {

Socket2::Socket2() = default;

Socket2::~Socket2() {
    LogNull quiet;
    if (m_tlsActive) m_tls.ShutdownChannel(quiet);
    m_socket.Close();
}

void Socket2::setIdleTimeoutMs(uint32_t ms) {
    m_idleTimeoutMs = ms;
    m_socket.setIdleTimeoutMs(ms);
}

bool Socket2::Connect(const char* hostname, int port, bool tls, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                      ClsSocksClient* proxy, bool& aborted, uint32_t& failReason, LogBase& log, ProgressMonitor* pm) {
    aborted = false;
    failReason = 0;
    // Bytes of an earlier connection must never pass for this one's replies.
    m_leftover.clear();
    // An address literal goes on as the bare address: the TLS name check,
    // SNI and the proxies take it in that form.
    std::string bare;
    platform::SocketAddress literal;
    StringBuffer trimmed(hostname ? hostname : "");
    trimmed.trimWhitespace();
    if (m_socket.dualStack() &&
        ServerAddress::classify(trimmed.getString(), literal, bare) == ServerAddress::kLiteral) {
        bare = platform::addressText(literal);
        hostname = bare.c_str();
    }
    int version = proxy ? proxy->socksVersion() : 0;
    if (version == 4 || version == 5)
        return connectViaSocks(*proxy, hostname, port, tls, heartbeatMs, connectTimeoutMs, aborted, failReason, log,
                               pm);
    if (m_httpProxy.isSet())
        return connectViaHttp(hostname, port, tls, heartbeatMs, connectTimeoutMs, aborted, failReason, log, pm);
    if (SChannelWin32* ch = m_tls.impl()) ch->setHttpProxy("", 0);
    return connectDirect(hostname, port, tls, heartbeatMs, connectTimeoutMs, aborted, failReason, log, pm);
}

bool Socket2::connectViaSocks(ClsSocksClient& proxy, const char* hostname, int port, bool tls, uint32_t heartbeatMs,
                              uint32_t connectTimeoutMs, bool& aborted, uint32_t& failReason, LogBase& log,
                              ProgressMonitor* pm) {
    Close(heartbeatMs, m_idleTimeoutMs, log, pm);
    // The target's name, not the proxy's: TLS over the tunnel checks it.
    m_hostname.setString(hostname ? hostname : "");
    m_hostname.trimWhitespace();
    SocksConnect socks(*this, proxy, heartbeatMs, log, pm);
    if (proxy.socksVersion() == 4)
        return socks.socks4(hostname, port, tls, connectTimeoutMs, aborted, failReason);
    return socks.socks5(hostname, port, tls, connectTimeoutMs, aborted, failReason);
}

// Implicit TLS tunnels inside the channel, which connects to the proxy
// itself; plain SMTP (and STARTTLS later) runs over the tunnel on the plain
// socket.
bool Socket2::connectViaHttp(const char* hostname, int port, bool tls, uint32_t heartbeatMs,
                             uint32_t connectTimeoutMs, bool& aborted, uint32_t& failReason, LogBase& log,
                             ProgressMonitor* pm) {
    StringBuffer proxyHost(m_httpProxy.hostname().getUtf8());
    proxyHost.trimWhitespace();
    int proxyPort = m_httpProxy.port();
    const char* user = m_httpProxy.username().getUtf8();
    const char* password = m_httpProxy.password().getUtf8();
    log.LogData("httpProxyHostname", proxyHost.getString());
    log.LogDataLong("httpProxyPort", proxyPort);
    if (proxyPort <= 0 || proxyPort > 65535) {
        log.LogError("HTTP proxy port out of range");
        failReason = VelmoraSocket::kConnectFailed;
        return false;
    }
    if (tls) {
        SChannelWin32* ch = m_tls.impl();
        if (ch) ch->setHttpProxy(proxyHost.getString(), static_cast<uint32_t>(proxyPort), user, password);
        return connectDirect(hostname, port, true, heartbeatMs, connectTimeoutMs, aborted, failReason, log, pm);
    }
    Close(heartbeatMs, m_idleTimeoutMs, log, pm);
    m_hostname.setString(hostname ? hostname : "");
    m_hostname.trimWhitespace();
    m_socket.setConnectTimeoutMs(connectTimeoutMs);
    if (!m_socket.Connect(proxyHost.getString(), proxyPort, heartbeatMs, aborted, log, pm)) {
        failReason = m_socket.connectFailReason();
        log.LogError("Failed to connect to the HTTP proxy.");
        return false;
    }
    if (HttpConnect::tunnel(m_socket, m_hostname.getString(), static_cast<uint32_t>(port), user, password,
                            heartbeatMs, log, pm))
        return true;
    log.LogError("HTTP proxy CONNECT failed.");
    failReason = SChannelWin32::kStatusProxyFailed;
    m_socket.Close();
    return false;
}

bool Socket2::connectDirect(const char* hostname, int port, bool tls, uint32_t heartbeatMs,
                            uint32_t connectTimeoutMs, bool& aborted, uint32_t& failReason, LogBase& log,
                            ProgressMonitor* pm) {
    Close(heartbeatMs, m_idleTimeoutMs, log, pm);
    m_hostname.setString(hostname ? hostname : "");
    m_hostname.trimWhitespace();
    if (tls) {
        m_tlsActive = m_tls.EstablishChannel(m_hostname.getString(), static_cast<uint32_t>(port), heartbeatMs,
                                             connectTimeoutMs, m_idleTimeoutMs, log, pm);
        failReason = m_tls.lastStatus();
        aborted = failReason == VelmoraSocket::kConnectAborted;
        return m_tlsActive;
    }
    m_socket.setConnectTimeoutMs(connectTimeoutMs);
    bool ok = m_socket.Connect(hostname, port, heartbeatMs, aborted, log, pm);
    failReason = m_socket.connectFailReason();
    return ok;
}

bool Socket2::ConvertToTls(uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    // Plaintext that came before the handshake must not pass for protected data.
    m_leftover.clear();
    if (!m_tls.EstablishChannel2(m_hostname.getString(), m_socket, heartbeatMs, idleTimeoutMs, log, pm)) return false;
    m_tlsActive = true;
    return true;
}

bool Socket2::sendCommon(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs,
                         uint32_t idleTimeoutMs, const char* abortText, LogBase& log, ProgressMonitor* pm) {
    bool ok;
    if (m_tlsActive) {
        ok = m_tls.SendSecure(data, n, heartbeatMs, idleTimeoutMs, log, pm);
    } else {
        m_socket.setIdleTimeoutMs(idleTimeoutMs);
        ok = m_socket.SendBytes(data, n, chunkSize, heartbeatMs, log, pm);
    }
    if (!ok) return false;
    if (pm && pm->heartbeatCheck(heartbeatMs)) {
        log.LogError(abortText);
        return false;
    }
    return true;
}

bool Socket2::SendBytes2(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs,
                         uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    return sendCommon(data, n, chunkSize, heartbeatMs, idleTimeoutMs, "Socket SendBytes2 aborted by application.",
                      log, pm);
}

bool Socket2::SendString(const StringBuffer& s, uint32_t chunkSize, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                         LogBase& log, ProgressMonitor* pm) {
    return sendCommon(reinterpret_cast<const unsigned char*>(s.getString()), s.getSize(), chunkSize, heartbeatMs,
                      idleTimeoutMs, "Socket SendString aborted by application.", log, pm);
}

bool Socket2::ReceiveBytes(DataBuffer& out, uint32_t maxCount, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                           SocketFlags& flags, LogBase& log, ProgressMonitor* pm) {
    flags.clear();
    if (m_tlsActive) {
        if (!receiveSecure(out, heartbeatMs, idleTimeoutMs, flags, log, pm)) return false;
    } else {
        m_socket.setIdleTimeoutMs(idleTimeoutMs);
        if (!m_socket.ReceiveChunk(out, maxCount, heartbeatMs, flags, log, pm)) return false;
    }
    if (pm && pm->heartbeatCheck(heartbeatMs)) {
        flags.aborted = true;
        log.LogError("Socket ReceiveBytes aborted by application.");
        return false;
    }
    return true;
}

// The end of the TLS session reads like a peer close; what came with it
// still counts.
bool Socket2::receiveSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags,
                            LogBase& log, ProgressMonitor* pm) {
    uint32_t before = out.getSize();
    bool endOfSession = false;
    bool ok = m_tls.RecvSecure(out, heartbeatMs, idleTimeoutMs, flags, endOfSession, log, pm);
    if (endOfSession) flags.closedByPeer = true;
    return ok && out.getSize() > before;
}

bool Socket2::ReceiveExactly(DataBuffer& out, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                             uint32_t& numRead, SocketFlags& flags, LogBase& log, ProgressMonitor* pm) {
    flags.clear();
    m_socket.setIdleTimeoutMs(idleTimeoutMs);
    return m_socket.ReceiveExactly(out, n, heartbeatMs, numRead, flags, log, pm);
}

// Cuts out after the first match at or after from; the rest becomes the
// leftover for the next call.
bool Socket2::takeLineFromOutput(StringBuffer& out, const char* match, uint32_t from) {
    int32_t at = out.indexOf(match, from);
    if (at < 0) return false;
    uint32_t end = static_cast<uint32_t>(at) + static_cast<uint32_t>(std::strlen(match));
    if (end < out.getSize()) {
        m_leftover.append(out.getString() + end, out.getSize() - end);
        out.truncateTo(end);
    }
    return true;
}

bool Socket2::ReceiveUntilMatch(const char* match, StringBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                                SocketFlags& flags, LogBase& log, ProgressMonitor* pm) {
    flags.clear();
    out.clear();
    if (!match || !*match) {
        log.LogError("No match string for reading.");
        return false;
    }
    if (!m_leftover.isEmpty()) {
        out.appendN(m_leftover.getData(), m_leftover.getSize());
        m_leftover.clear();
    }
    if (takeLineFromOutput(out, match, 0)) return true;

    uint32_t matchLen = static_cast<uint32_t>(std::strlen(match));
    DataBuffer block;
    for (;;) {
        if (!IsConnected()) {
            log.LogError("This socket is not connected");
            flags.socketError = true;
            return false;
        }
        uint32_t before = out.getSize();
        block.clear();
        bool ok = ReceiveBytes(block, kLineReadSize, heartbeatMs, idleTimeoutMs, flags, log, pm);
        block.replaceByte(0, ' ');
        out.appendN(block.getData(), block.getSize());
        if (flags.aborted || flags.socketError) return false;
        if (takeLineFromOutput(out, match, before > matchLen ? before - matchLen : 0)) return true;
        if (!ok) return false;
        if (out.getSize() > kMaxLineSize) {
            log.LogError("No end of line within the line size limit");
            log.LogDataLong("maxLineSize", static_cast<int32_t>(kMaxLineSize));
            flags.socketError = true;
            Close(heartbeatMs, idleTimeoutMs, log, pm);  // the stream is out of step now
            return false;
        }
    }
}

void Socket2::setDualStack(bool on) {
    m_socket.setDualStack(on);
    if (SChannelWin32* ch = m_tls.impl()) ch->plainSocket().setDualStack(on);
}

const VelmoraSocket& Socket2::carrier() const {
    const SChannelWin32* ch = m_tls.impl();
    return m_tlsActive && ch ? ch->plainSocket() : m_socket;
}

bool Socket2::inputWaiting() const {
    return m_leftover.getSize() > 0 || carrier().readableNow();
}

bool Socket2::IsConnected() const {
    return m_tlsActive ? m_tls.isConnected() : m_socket.isConnected();
}

void Socket2::Close(uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    (void)heartbeatMs;
    (void)idleTimeoutMs;
    (void)pm;
    if (m_tlsActive) m_tls.ShutdownChannel(log);
    m_tlsActive = false;
    m_socket.Close();
}

void Socket2::LogConnectionType(LogBase& log) const {
    log.LogData("ConnectionType", m_tlsActive ? "SSL/TLS" : "Unencrypted TCP/IP");
}

}  // namespace ostmail
