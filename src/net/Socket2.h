#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "core/VelmoraObject.h"
#include "net/HttpProxyClient.h"
#include "net/SChannel.h"
#include "net/SocketFlags.h"
#include "net/VelmoraSocket.h"

#include <cstdint>

namespace ostmail {

class ClsSocksClient;
class LogBase;
class ProgressMonitor;

// The one byte stream of an SMTP session: a plain TCP socket, later
// possibly wrapped in TLS. Keeps the bytes that came after the last line
// asked for, so a line-by-line reader never loses data.
//
// Every blocking operation takes a heartbeat interval (ms, 0 = none), the
// log and an optional progress monitor; reads also report SocketFlags.
class Socket2 : public VelmoraObject {
public:
    static constexpr uint32_t kLineReadSize = 2048;
    // A peer that streams bytes without ever sending the match would
    // otherwise grow the line until memory runs out.
    static constexpr uint32_t kMaxLineSize = 1u << 20;

    Socket2();
    ~Socket2() override;  // closes quietly
    Socket2(const Socket2&) = delete;
    Socket2& operator=(const Socket2&) = delete;

    void setConnectTimeoutSecs(uint32_t secs) { m_socket.setConnectTimeoutSecs(secs); }
    void setIdleTimeoutMs(uint32_t ms);
    // IPv6 and the connect race for the following connects (VelmoraSocket).
    void setDualStack(bool on);
    // The socket that carries the connection now (plain or under TLS).
    const VelmoraSocket& carrier() const;
    // Kept for the following connects; an empty host name means none.
    void setHttpProxy(const HttpProxyClient& proxy) { m_httpProxy = proxy; }
    uint32_t idleTimeoutMs() const { return m_idleTimeoutMs; }
    const StringBuffer& hostname() const { return m_hostname; }
    bool isTls() const { return m_tlsActive; }

    // A proxy of SOCKS version 4 or 5 takes the connect through it; else the
    // HTTP proxy set with setHttpProxy, if any; else a direct connect.
    // failReason: see VelmoraSocket; with TLS it is the channel's status
    // (also 100-105, see SChannelWin32); a refused HTTP tunnel gives 102.
    bool Connect(const char* hostname, int port, bool tls, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                 ClsSocksClient* proxy, bool& aborted, uint32_t& failReason, LogBase& log, ProgressMonitor* pm);

    // STARTTLS: runs the TLS handshake over the connected plain socket.
    bool ConvertToTls(uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm);

    bool SendBytes2(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs,
                    uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm);
    bool SendString(const StringBuffer& s, uint32_t chunkSize, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                    LogBase& log, ProgressMonitor* pm);

    // Appends what arrives (at most maxCount bytes). Leftover bytes of the
    // line reader are not returned here. Reads clear the flags first.
    bool ReceiveBytes(DataBuffer& out, uint32_t maxCount, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                      SocketFlags& flags, LogBase& log, ProgressMonitor* pm);

    // out gets everything up to and including the first match; what came
    // after it is kept and returned first by the next call.
    bool ReceiveUntilMatch(const char* match, StringBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                           SocketFlags& flags, LogBase& log, ProgressMonitor* pm);

    // Exactly n bytes from the plain socket (proxy handshakes).
    bool ReceiveExactly(DataBuffer& out, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                        uint32_t& numRead, SocketFlags& flags, LogBase& log, ProgressMonitor* pm);

    bool IsConnected() const;
    // Bytes (or a close) from the peer are there to be read right now.
    bool inputWaiting() const;
    void Close(uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm);
    void LogConnectionType(LogBase& log) const;

    // The plain connection, for the proxy handshakes and the TLS hand-over.
    VelmoraSocket& plainSocket() { return m_socket; }
    // The TLS channel, for its settings (required verification, trust
    // anchors, protocol and cipher names) and its server certificate.
    SChannel& tlsChannel() { return m_tls; }
    const SChannel& tlsChannel() const { return m_tls; }
    uint32_t leftoverSize() const { return m_leftover.getSize(); }

private:
    bool connectDirect(const char* hostname, int port, bool tls, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                       bool& aborted, uint32_t& failReason, LogBase& log, ProgressMonitor* pm);
    bool connectViaSocks(ClsSocksClient& proxy, const char* hostname, int port, bool tls, uint32_t heartbeatMs,
                         uint32_t connectTimeoutMs, bool& aborted, uint32_t& failReason, LogBase& log,
                         ProgressMonitor* pm);
    bool connectViaHttp(const char* hostname, int port, bool tls, uint32_t heartbeatMs, uint32_t connectTimeoutMs,
                        bool& aborted, uint32_t& failReason, LogBase& log, ProgressMonitor* pm);
    bool sendCommon(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs,
                    uint32_t idleTimeoutMs, const char* abortText, LogBase& log, ProgressMonitor* pm);
    bool receiveSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags, LogBase& log,
                       ProgressMonitor* pm);
    bool takeLineFromOutput(StringBuffer& out, const char* match, uint32_t from);

    DataBuffer m_leftover;
    // Traffic goes through the TLS channel while set.
    bool m_tlsActive = false;
    SChannel m_tls;
    VelmoraSocket m_socket;
    StringBuffer m_hostname;
    HttpProxyClient m_httpProxy;
    uint32_t m_idleTimeoutMs = VelmoraSocket::kDefaultIdleTimeoutMs;
};

}  // namespace ostmail
