#pragma once
#include "core/StringBuffer.h"
#include "net/BandwidthThrottle.h"
#include "net/ConnectRace.h"
#include "net/PerformanceMon.h"
#include "net/SocketFlags.h"
#include "platform/Socket.h"

#include <cstdint>
#include <vector>

namespace ostmail {

class DataBuffer;
class LogBase;
class ProgressMonitor;

// A plain IPv4 TCP client socket. Blocking except while connecting and
// sending, so that both can be given up on; every wait is cut into
// heartbeat slices when a progress monitor is given.
class VelmoraSocket {
public:
    static constexpr uint32_t kNoLimitMs = 2160000000u;  // stands for "no idle limit"
    static constexpr uint32_t kDefaultIdleTimeoutMs = 30000;
    static constexpr uint32_t kDefaultConnectTimeoutMs = 7000;

    // Why the last connect failed; 0 after success.
    enum ConnectFailReason {
        kConnectOk = 0,
        kConnectNoHostname = 1,
        kConnectDnsFailed = 2,
        kConnectDnsTimeout = 3,
        kConnectAborted = 4,
        kConnectNoSocket = 5,
        kConnectTimeout = 6,
        kConnectFailed = 7,
    };

    VelmoraSocket();
    ~VelmoraSocket();  // closes quietly
    VelmoraSocket(const VelmoraSocket&) = delete;
    VelmoraSocket& operator=(const VelmoraSocket&) = delete;

    // --- settings ---
    void setSendBufferSize(uint32_t size);
    void setRecvBufferSize(uint32_t size);
    void setIdleTimeoutMs(uint32_t ms) { m_idleTimeoutMs = ms ? ms : kNoLimitMs; }
    uint32_t idleTimeoutMs() const { return m_idleTimeoutMs; }
    void setConnectTimeoutMs(uint32_t ms) { m_connectTimeoutMs = ms; }
    void setConnectTimeoutSecs(uint32_t secs) { m_connectTimeoutMs = secs * 1000; }
    uint32_t connectTimeoutMs() const { return m_connectTimeoutMs; }
    void setBindAddress(const char* dotted) { m_bindAddress.setString(dotted ? dotted : ""); }
    void setBindPort(uint32_t port) { m_bindPort = port; }
    void setRateMonitoring(bool on) { m_rateMonitoring = on; }
    // Off: IPv4 only, as always. On: IPv6 literals, both families for
    // names and the connect race (ConnectRace); a bind address keeps IPv4.
    void setDualStack(bool on) { m_dualStack = on; }
    bool dualStack() const { return m_dualStack; }
    void setUploadLimit(uint64_t bytesPerSec) { m_uploadThrottle.setLimit(bytesPerSec); }
    void setDownloadLimit(uint64_t bytesPerSec) { m_downloadThrottle.setLimit(bytesPerSec); }

    // --- state ---
    bool isConnected() const { return m_connected; }
    bool hasSocket() const { return m_socket != platform::kInvalidSocket; }
    platform::SocketHandle handle() const { return m_socket; }
    uint32_t connectFailReason() const { return m_connectFailReason; }
    const StringBuffer& remoteAddress() const { return m_remoteAddress; }
    // 4 or 6: the family of the last connect (4 before any).
    int remoteFamily() const { return m_remoteFamily; }
    // A read would not wait (data, a close or an error are there).
    bool readableNow() const {
        int err = 0;
        return hasSocket() && platform::socketWaitReadable(m_socket, 0, &err) != 0;
    }
    // This end's address of the connection; false without one.
    bool localAddress(platform::SocketAddress& out) const {
        return hasSocket() && platform::socketLocalAddress(m_socket, &out);
    }
    int lastSocketError() const { return m_lastSocketError; }
    uint32_t objectSerial() const { return m_objectSerial; }
    const PerformanceMon& sendRate() const { return m_sendRate; }
    const PerformanceMon& recvRate() const { return m_recvRate; }

    // --- operations ---
    // Resolves (when the host is not a dotted address) and connects within
    // the connect timeout. heartbeatMs 0 or no monitor: no heartbeats.
    bool Connect(const char* hostname, int port, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                 ProgressMonitor* pm);

    // Every byte or failure; the socket is non-blocking for the duration.
    // moreFollows: the caller sends again at once (TLS records of one send).
    bool SendBytes(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs, LogBase& log,
                   ProgressMonitor* pm, bool moreFollows = false);

    // Waits up to the idle timeout, then one recv of up to maxCount bytes
    // appended to out. True when bytes were appended.
    bool ReceiveChunk(DataBuffer& out, uint32_t maxCount, uint32_t heartbeatMs, SocketFlags& flags, LogBase& log,
                      ProgressMonitor* pm);

    // Reads until n bytes have come, the peer stops sending for 30 empty
    // reads, or a read fails. numRead gets the bytes appended.
    bool ReceiveExactly(DataBuffer& out, uint32_t n, uint32_t heartbeatMs, uint32_t& numRead, SocketFlags& flags,
                        LogBase& log, ProgressMonitor* pm);

    bool WaitWritable(uint32_t timeoutMs, uint32_t heartbeatMs, bool& aborted, LogBase& log, ProgressMonitor* pm);
    bool WaitReadable(uint32_t heartbeatMs, SocketFlags& flags, LogBase& log, ProgressMonitor* pm);

    void Close();

    // Moves the connection (handle, state, counters) out of other into this
    // socket, closing whatever this one held. For handing a connected
    // socket over to another transport.
    void takeConnectionFrom(VelmoraSocket& other);

    // For harnesses that drive whole sessions over socket pairs: while a
    // seam is set, every connect takes its handle from it instead of
    // dialling, and kInvalidSocket reads as a refused connect. nullptr
    // restores dialling.
    using ConnectSeam = platform::SocketHandle (*)();
    static void setConnectSeam(ConnectSeam seam);

private:
    bool takeSeamSocket(platform::SocketHandle handle, LogBase& log);
    static ConnectSeam connectSeam();
    // all: both families wanted, every address goes there.
    bool resolveForConnect(const StringBuffer& host, uint32_t heartbeatMs, ProgressMonitor* pm, uint32_t& addr,
                           uint32_t& remainingMs, bool& aborted, LogBase& log,
                           std::vector<platform::SocketAddress>* all = nullptr);
    bool connectDualStack(const StringBuffer& host, int port, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                          ProgressMonitor* pm);
    void logConnectedTo(LogBase& log);
    bool raceFailed(const ConnectRace::Outcome& r, uint32_t timeoutMs, bool withMonitor, bool& aborted, LogBase& log);
    bool createSocket(LogBase& log);
    bool bindSocket(LogBase& log);
    void applyBufferSizes();
    void connectSucceeded();
    bool connectSocket(uint32_t addr, uint16_t port, uint32_t timeoutMs, uint32_t heartbeatMs, const StringBuffer& host,
                       bool& aborted, LogBase& log, ProgressMonitor* pm);
    void logConnectTarget(uint32_t addr, const StringBuffer& host, LogBase& log);
    bool waitWritableOnce(uint32_t timeoutMs, LogBase& log);
    bool waitWritableSliced(uint32_t timeoutMs, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                            ProgressMonitor* pm);
    bool sendChunk(const unsigned char* data, uint32_t len, bool more, uint32_t heartbeatMs, uint32_t& sent,
                   LogBase& log, ProgressMonitor* pm);

    uint32_t m_sendBufferSize = 0;
    uint32_t m_recvBufferSize = 0;
    PerformanceMon m_sendRate{PerformanceMon::kUpload};
    PerformanceMon m_recvRate{PerformanceMon::kDownload};
    bool m_connected = false;
    platform::SocketHandle m_socket = platform::kInvalidSocket;
    uint32_t m_objectSerial;
    BandwidthThrottle m_uploadThrottle;
    BandwidthThrottle m_downloadThrottle;
    uint32_t m_idleTimeoutMs = kDefaultIdleTimeoutMs;
    uint32_t m_connectTimeoutMs = kDefaultConnectTimeoutMs;
    int m_lastSocketError = 0;
    StringBuffer m_remoteAddress;
    uint32_t m_connectFailReason = 0;
    StringBuffer m_bindAddress;
    uint32_t m_bindPort = 0;
    bool m_rateMonitoring = false;
    bool m_dualStack = false;
    int m_remoteFamily = 4;
};

}  // namespace ostmail
