// The dual-stack connect: address literals of both families, names looked
// up for both, and the connect race. Its failures read as the IPv4 ones.
#include "core/LogBase.h"
#include "net/ServerAddress.h"
#include "net/SocketErrors.h"
#include "net/VelmoraSocket.h"

namespace ostmail {

bool VelmoraSocket::connectDualStack(const StringBuffer& host, int port, uint32_t heartbeatMs, bool& aborted,
                                     LogBase& log, ProgressMonitor* pm) {
    platform::SocketAddress literal;
    std::string reason;
    std::vector<platform::SocketAddress> addrs;
    uint32_t timeoutMs = m_connectTimeoutMs, unusedAddr = 0;
    switch (ServerAddress::classify(host.getString(), literal, reason)) {
    case ServerAddress::kBad:
        m_connectFailReason = kConnectNoHostname;
        log.LogError("Cannot connect, invalid server name");
        log.LogData("hostname", host.getString());
        log.LogData("reason", reason.c_str());
        return false;
    case ServerAddress::kLiteral:
        addrs.push_back(literal);
        break;
    case ServerAddress::kName:
        if (!resolveForConnect(host, heartbeatMs, pm, unusedAddr, timeoutMs, aborted, log, &addrs)) return false;
        break;
    }
    if (ConnectSeam seam = connectSeam()) return takeSeamSocket(seam(), log);
    Close();
    bool withMonitor = pm && heartbeatMs;
    ConnectRace::Outcome r;
    if (!ConnectRace::run(addrs, static_cast<uint16_t>(port), timeoutMs, heartbeatMs, withMonitor ? pm : nullptr, r))
        return raceFailed(r, timeoutMs, withMonitor, aborted, log);
    m_socket = r.handle;
    applyBufferSizes();
    connectSucceeded();
    m_remoteAddress.setString(platform::addressText(r.winner).c_str());
    m_remoteFamily = r.winner.family;
    logConnectedTo(log);
    return true;
}

void VelmoraSocket::logConnectedTo(LogBase& log) {
    log.LogData("connectedTo", m_remoteAddress.getString());
    log.LogData("addressFamily", m_remoteFamily == 6 ? "IPv6" : "IPv4");
}

bool VelmoraSocket::raceFailed(const ConnectRace::Outcome& r, uint32_t timeoutMs, bool withMonitor, bool& aborted,
                               LogBase& log) {
    if (r.aborted) {
        log.LogError("socket operation aborted by application callback");
        aborted = true;
        m_connectFailReason = kConnectAborted;
        return false;
    }
    if (r.noSocket) {
        SocketErrorText(r.lastError, log);
        m_connectFailReason = kConnectNoSocket;
        log.LogError("Cannot connect, invalid socket.");
        return false;
    }
    if (!r.timedOut)
        log.LogDataLong("sockError", r.lastError);
    else if (withMonitor)
        log.LogDataLong("ConnectTimeoutMs", static_cast<int32_t>(timeoutMs));
    m_connectFailReason = r.timedOut ? kConnectTimeout : kConnectFailed;
    if (withMonitor) {
        log.LogError("Connect function failed");
        if (r.timedOut) SocketErrorText(platform::kWsaWouldBlock, log);
    } else {
        log.LogError("Connect function failed.");
        SocketErrorText(r.timedOut ? platform::kWsaWouldBlock : r.lastError, log);
    }
    return false;
}

}  // namespace ostmail
