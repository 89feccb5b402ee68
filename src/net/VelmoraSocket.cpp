#include "net/VelmoraSocket.h"

#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "net/HostnameResolve.h"
#include "net/SocketErrors.h"
#include "platform/Clock.h"

#include <atomic>

namespace ostmail {

namespace {

std::atomic<uint32_t> g_socketSerial{0};
std::atomic<VelmoraSocket::ConnectSeam> g_connectSeam{nullptr};

constexpr uint32_t kMinBufferSize = 1000;
constexpr uint32_t kMaxBufferSize = 2000000;
constexpr uint32_t kLookupPollHeartbeatMs = 200;

bool bufferSizeApplies(uint32_t size) { return size >= kMinBufferSize && size < kMaxBufferSize; }

}  // namespace

VelmoraSocket::VelmoraSocket() : m_objectSerial(g_socketSerial.fetch_add(1) + 1) {
    LogNull quiet;
    socketStartupIfDue(quiet);
}

VelmoraSocket::~VelmoraSocket() { Close(); }

void VelmoraSocket::setSendBufferSize(uint32_t size) {
    m_sendBufferSize = size;
    applyBufferSizes();
}

void VelmoraSocket::setRecvBufferSize(uint32_t size) {
    m_recvBufferSize = size;
    applyBufferSizes();
}

void VelmoraSocket::applyBufferSizes() {
    if (!hasSocket()) return;
    if (bufferSizeApplies(m_sendBufferSize)) platform::socketSetSendBufferSize(m_socket, m_sendBufferSize);
    if (bufferSizeApplies(m_recvBufferSize)) platform::socketSetRecvBufferSize(m_socket, m_recvBufferSize);
}

void VelmoraSocket::Close() {
    if (hasSocket()) {
        platform::socketShutdownBoth(m_socket);
        platform::socketClose(m_socket);
        m_socket = platform::kInvalidSocket;
    }
    m_connected = false;
}

void VelmoraSocket::takeConnectionFrom(VelmoraSocket& other) {
    if (&other == this) return;
    Close();
    m_socket = other.m_socket;
    m_connected = other.m_connected;
    m_sendRate = other.m_sendRate;
    m_recvRate = other.m_recvRate;
    m_remoteAddress.setString(other.m_remoteAddress);
    m_remoteFamily = other.m_remoteFamily;
    other.m_socket = platform::kInvalidSocket;
    other.m_connected = false;
}

void VelmoraSocket::connectSucceeded() {
    m_connected = true;
    m_sendRate.reset();
    m_recvRate.reset();
}

bool VelmoraSocket::bindSocket(LogBase& log) {
    log.LogData("ClientBindIP", m_bindAddress.getString());
    uint32_t addr = m_bindAddress.isEmpty() ? 0 : platform::inetAddr(m_bindAddress.getString());
    int err = platform::socketBind(m_socket, addr, static_cast<uint16_t>(m_bindPort));
    if (err == 0) return true;
    SocketErrorText(err, log);
    log.LogError("Failed to bind to local IP address");
    Close();
    return false;
}

bool VelmoraSocket::createSocket(LogBase& log) {
    Close();
    int err = platform::socketCreate(&m_socket);
    if (err != 0) {
        SocketErrorText(err, log);
        return false;
    }
    applyBufferSizes();
    if (m_bindAddress.isEmpty() && m_bindPort == 0) return true;
    log.LogData("BindIpAddr", m_bindAddress.getString());
    if (m_bindPort) log.LogDataLong("BindPort", static_cast<int32_t>(m_bindPort));
    return bindSocket(log);
}

// Without a monitor the lookup still runs in a worker, polled every 200 ms
// against a monitor of our own, so that the connect timeout bounds it.
bool VelmoraSocket::resolveForConnect(const StringBuffer& host, uint32_t heartbeatMs, ProgressMonitor* pm,
                                      uint32_t& addr, uint32_t& remainingMs, bool& aborted, LogBase& log,
                                      std::vector<platform::SocketAddress>* all) {
    bool withMonitor = pm && heartbeatMs;
    ProgressMonitor local(nullptr, 0);
    uint32_t start = platform::tickCount();
    HostnameResolve::Result r;
    bool ok = HostnameResolve::resolve(host.getString(), m_connectTimeoutMs,
                                       withMonitor ? heartbeatMs : kLookupPollHeartbeatMs, withMonitor ? pm : &local,
                                       r, log, all != nullptr);
    if (!ok) {
        log.LogError(withMonitor ? "Cannot get host by name." : "Cannot get host by name..");
        log.LogData("hostname", host.getString());
        aborted = r.aborted;
        m_connectFailReason = r.aborted ? kConnectAborted : (r.timedOut ? kConnectDnsTimeout : kConnectDnsFailed);
        return false;
    }
    if (all ? r.all.empty() : r.addr == 0) {
        m_connectFailReason = kConnectDnsFailed;
        return false;
    }
    uint32_t spent = platform::tickCount() - start;
    if (m_connectTimeoutMs && spent >= m_connectTimeoutMs) {
        m_connectFailReason = kConnectDnsTimeout;
        log.LogError("Application timeout after DNS");
        return false;
    }
    addr = r.addr;
    if (all) *all = r.all;
    remainingMs = withMonitor && m_connectTimeoutMs ? m_connectTimeoutMs - spent : m_connectTimeoutMs;
    m_remoteAddress.setString(r.dotted);
    return true;
}

bool VelmoraSocket::Connect(const char* hostname, int port, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                            ProgressMonitor* pm) {
    m_connectFailReason = kConnectOk;
    m_remoteAddress.clear();
    m_remoteFamily = 4;
    aborted = false;
    socketStartupIfDue(log);
    if (!hostname) {
        m_connectFailReason = kConnectNoHostname;
        log.LogError("Cannot connect, hostname is NULL");
        return false;
    }
    StringBuffer host(hostname);
    host.trimWhitespace();
    if (host.isEmpty()) {
        m_connectFailReason = kConnectNoHostname;
        log.LogError("Cannot connect, hostname is zero length");
        return false;
    }
    if (host.equalsIgnoreCase("localhost")) host.setString("127.0.0.1");

    uint32_t addr = platform::inetAddr(host.getString());
    if (m_dualStack && addr == platform::kInaddrNone && m_bindAddress.isEmpty() && m_bindPort == 0)
        return connectDualStack(host, port, heartbeatMs, aborted, log, pm);
    uint32_t timeoutMs = m_connectTimeoutMs;
    if (addr != platform::kInaddrNone) {
        m_remoteAddress.setString(host);
    } else if (!resolveForConnect(host, heartbeatMs, pm, addr, timeoutMs, aborted, log)) {
        return false;
    }
    if (ConnectSeam seam = g_connectSeam.load()) return takeSeamSocket(seam(), log);
    if (!createSocket(log)) {
        m_connectFailReason = kConnectNoSocket;
        log.LogError("Cannot connect, invalid socket.");
        return false;
    }
    if (!connectSocket(addr, static_cast<uint16_t>(port), timeoutMs, heartbeatMs, host, aborted, log, pm)) return false;
    if (m_dualStack) logConnectedTo(log);
    return true;
}

bool VelmoraSocket::connectSocket(uint32_t addr, uint16_t port, uint32_t timeoutMs, uint32_t heartbeatMs,
                                  const StringBuffer& host, bool& aborted, LogBase& log, ProgressMonitor* pm) {
    bool withMonitor = pm && heartbeatMs;
    bool nonBlocking = m_connectTimeoutMs != 0;
    if (nonBlocking) platform::socketSetNonBlocking(m_socket, true);
    int err = platform::socketConnect(m_socket, addr, port);
    bool timedOut = false;
    if (err == platform::kWsaWouldBlock && nonBlocking) {
        bool ready = withMonitor ? waitWritableSliced(timeoutMs, heartbeatMs, aborted, log, pm)
                                 : waitWritableOnce(timeoutMs, log);
        if (ready) {
            err = platform::socketPendingError(m_socket);  // refused and the like show up here
        } else if (withMonitor && aborted) {
            // The socket stays, back in blocking mode.
            platform::socketSetNonBlocking(m_socket, false);
            m_connectFailReason = kConnectAborted;
            return false;
        } else {
            timedOut = true;
            if (withMonitor) log.LogDataLong("ConnectTimeoutMs", static_cast<int32_t>(timeoutMs));
        }
    }
    if (err != 0 && !timedOut) {
        log.LogDataLong("sockError", err);
        if (!withMonitor && err == platform::kWsaInvalidArgument) logConnectTarget(addr, host, log);
    }
    if (nonBlocking) platform::socketSetNonBlocking(m_socket, false);
    if (err == 0) {
        connectSucceeded();
        return true;
    }
    m_connectFailReason = timedOut ? kConnectTimeout : kConnectFailed;
    if (withMonitor) {
        log.LogError("Connect function failed");
        if (timedOut) SocketErrorText(platform::kWsaWouldBlock, log);
    } else {
        log.LogError("Connect function failed.");
        SocketErrorText(timedOut ? platform::kWsaWouldBlock : err, log);
    }
    return false;
}

void VelmoraSocket::setConnectSeam(ConnectSeam seam) { g_connectSeam.store(seam); }

VelmoraSocket::ConnectSeam VelmoraSocket::connectSeam() { return g_connectSeam.load(); }

bool VelmoraSocket::takeSeamSocket(platform::SocketHandle handle, LogBase& log) {
    Close();
    m_socket = handle;
    if (!hasSocket()) {
        m_connectFailReason = kConnectFailed;
        log.LogDataLong("sockError", platform::kWsaConnRefused);
        log.LogError("Connect function failed.");
        SocketErrorText(platform::kWsaConnRefused, log);
        return false;
    }
    applyBufferSizes();
    connectSucceeded();
    return true;
}

void VelmoraSocket::logConnectTarget(uint32_t addr, const StringBuffer& host, LogBase& log) {
    log.LogData("IP_Address", platform::dottedAddress(addr).c_str());
    log.LogDataHex("ipAddr", addr);
    log.LogData("Hostname", host.getString());
    log.LogDataLong("SocketHandle", m_socket);
}

}  // namespace ostmail
