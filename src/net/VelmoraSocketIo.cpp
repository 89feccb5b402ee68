#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "core/OutputTail.h"
#include "core/ProgressMonitor.h"
#include "net/SocketErrors.h"
#include "net/VelmoraSocket.h"
#include "platform/Clock.h"

#include <algorithm>
#include <string>

namespace ostmail {

namespace {

constexpr uint32_t kMinSliceMs = 50;
constexpr uint32_t kMaxChunkRead = 1000000;
constexpr uint32_t kDefaultSendChunk = 32767;
constexpr uint32_t kMinSendChunk = 1000;
constexpr uint32_t kMaxSendChunk = 2000000;

uint32_t sendChunkSize(uint32_t requested) {
    if (requested == 0) return kDefaultSendChunk;
    return std::min(std::max(requested, kMinSendChunk), kMaxSendChunk);
}

}  // namespace

bool VelmoraSocket::WaitWritable(uint32_t timeoutMs, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                                 ProgressMonitor* pm) {
    if (!hasSocket()) {
        log.LogError("invalid socket, not ready for writing.");
        return false;
    }
    if (heartbeatMs && pm) return waitWritableSliced(timeoutMs, heartbeatMs, aborted, log, pm);
    return waitWritableOnce(timeoutMs, log);
}

bool VelmoraSocket::waitWritableOnce(uint32_t timeoutMs, LogBase& log) {
    uint32_t total = timeoutMs ? timeoutMs : kNoLimitMs;
    uint32_t start = platform::tickCount();
    int r = 0, err = 0;
    // One wait; repeated only if the system cut a very long one short.
    for (uint32_t spent = 0; r == 0 && spent < total; spent = platform::tickCount() - start)
        r = platform::socketWaitWritable(m_socket, total - spent, &err);
    if (r == 1) return true;
    log.LogError(r < 0 ? "select returned a socket error" : "socket is not ready for writing");
    return false;
}

bool VelmoraSocket::waitWritableSliced(uint32_t timeoutMs, uint32_t heartbeatMs, bool& aborted, LogBase& log,
                                       ProgressMonitor* pm) {
    uint32_t total = timeoutMs ? timeoutMs : kNoLimitMs;
    uint32_t slice = std::max(heartbeatMs, kMinSliceMs);
    uint32_t start = platform::tickCount();
    for (;;) {
        uint32_t spent = platform::tickCount() - start;
        if (spent >= total) {
            log.LogError("socket is not ready for writing;");
            return false;
        }
        int err = 0;
        int r = platform::socketWaitWritable(m_socket, std::min(total - spent, slice), &err);
        if (r == 1) return true;
        if (r < 0) {
            log.LogError("select returned a socket error");
            return false;
        }
        if (pm->heartbeatCheck(heartbeatMs)) {
            log.LogError("socket operation aborted by application callback");
            aborted = true;
            return false;
        }
    }
}

bool VelmoraSocket::WaitReadable(uint32_t heartbeatMs, SocketFlags& flags, LogBase& log, ProgressMonitor* pm) {
    if (pm && pm->periodicCheck(0)) {
        log.LogError("Wait-for-data aborted by app");
        flags.aborted = true;
        return false;
    }
    uint32_t slice = heartbeatMs ? std::max(heartbeatMs, kMinSliceMs) : 0;
    uint32_t total = m_idleTimeoutMs ? m_idleTimeoutMs : kNoLimitMs;
    if (!hasSocket()) {
        log.LogError("Invalid socket.");
        flags.socketError = true;
        return false;
    }
    uint32_t start = platform::tickCount();
    for (bool first = true;; first = false) {
        uint32_t spent = platform::tickCount() - start;
        if (spent >= total) {
            log.LogError("Timeout waiting to read socket or accept connection");
            log.LogData64("timeoutMs", total);
            flags.timedOut = true;
            return false;
        }
        uint32_t left = total - spent;
        uint32_t wait = slice ? std::min(left, slice) : left;
        // A short first wait: data already on its way is picked up at once.
        if (first) wait = std::min(std::max(wait / 2, kMinSliceMs), left);
        int err = 0;
        int r = platform::socketWaitReadable(m_socket, wait, &err);
        if (r == 1) return true;
        if (r < 0) {
            log.LogError("Error waiting for socket to become ready for reading.");
            Close();
            flags.socketError = true;
            return false;
        }
        if (slice && pm && pm->heartbeatCheck(heartbeatMs)) {
            flags.aborted = true;
            log.LogError("socket operation aborted by application callback");
            return false;
        }
    }
}

bool VelmoraSocket::ReceiveChunk(DataBuffer& out, uint32_t maxCount, uint32_t heartbeatMs, SocketFlags& flags,
                                 LogBase& log, ProgressMonitor* pm) {
    uint32_t n = std::min(std::max(maxCount, 1u), kMaxChunkRead);
    OutputTail tail(out);
    unsigned char* p = tail.reserve(n);
    if (!p) {
        log.LogError("Packet memory allocation failed");
        flags.socketError = true;
        return false;
    }
    if (!hasSocket()) {
        log.LogError("This socket is not connected");
        flags.socketError = true;
        m_connected = false;
        return false;
    }
    if (!WaitReadable(heartbeatMs, flags, log, pm)) return false;
    bool aborted = false;
    if (!m_downloadThrottle.wait(heartbeatMs, pm, aborted)) {
        flags.aborted = true;
        log.LogError("Aborted by application while download throttling (2)");
        return false;
    }
    int err = 0;
    long got = platform::socketRecv(m_socket, p, n, &err);
    if (got == 0) {
        log.LogDataLong("numBytesRequested", static_cast<int32_t>(n));
        log.LogError("Connection closed by server.");
        Close();
        flags.closedByPeer = true;
        return false;
    }
    if (got < 0) {
        log.LogError(("SOCKET_ERROR: " + platform::socketSystemErrorText(err)).c_str());
        log.LogDataLong("numBytesRequested", static_cast<int32_t>(n));
        log.LogError("Failed to receive data on the TCP socket");
        flags.socketError = true;
        m_connected = false;
        return false;
    }
    tail.commit(p + got);
    m_downloadThrottle.record(static_cast<uint64_t>(got));
    if (m_rateMonitoring) m_recvRate.addBytes(static_cast<uint64_t>(got), pm);
    if (pm) pm->advanceQuietly(static_cast<uint64_t>(got));
    return true;
}

bool VelmoraSocket::ReceiveExactly(DataBuffer& out, uint32_t n, uint32_t heartbeatMs, uint32_t& numRead,
                                   SocketFlags& flags, LogBase& log, ProgressMonitor* pm) {
    numRead = 0;
    while (numRead < n) {
        if (pm && pm->heartbeatCheck(heartbeatMs)) {
            flags.aborted = true;
            log.LogError("socket operation aborted by application callback");
            return false;
        }
        uint32_t before = out.getSize();
        if (!ReceiveChunk(out, n - numRead, heartbeatMs, flags, log, pm)) return false;
        numRead += out.getSize() - before;
    }
    return true;
}

bool VelmoraSocket::SendBytes(const unsigned char* data, uint32_t n, uint32_t chunkSize, uint32_t heartbeatMs,
                              LogBase& log, ProgressMonitor* pm, bool moreFollows) {
    uint32_t chunk = sendChunkSize(chunkSize);
    if (!hasSocket()) {
        log.LogError("No socket exists for sending (2)");
        return false;
    }
    // Every send is non-blocking by itself (the platform send never waits),
    // so the socket's mode is left alone: no mode switch per TLS record.
    bool ok = true;
    for (uint32_t sent = 0; ok && sent < n;) {
        uint32_t len = std::min(chunk, n - sent);
        ok = sendChunk(data + sent, len, moreFollows || sent + len < n, heartbeatMs, sent, log, pm);
    }
    return ok;
}

// One pass of the send loop; sent grows by what went out.
bool VelmoraSocket::sendChunk(const unsigned char* data, uint32_t len, bool more, uint32_t heartbeatMs,
                              uint32_t& sent, LogBase& log, ProgressMonitor* pm) {
    if (pm && pm->heartbeatCheck(heartbeatMs)) {
        log.LogError("Socket SendBytes2 aborted by application. (1a)");
        return false;
    }
    bool aborted = false;
    if (!m_uploadThrottle.wait(heartbeatMs, pm, aborted)) {
        log.LogError("Aborted by application while upload throttling (1b)");
        return false;
    }
    int err = 0;
    long r = platform::socketSend(m_socket, data, len, &err, more);
    if (r < 0) {
        m_lastSocketError = err;
        if (err != platform::kWsaWouldBlock) {
            SocketErrorText(err, log);
            log.LogError("Error sending on socket");
            log.LogDataLong("send_size", static_cast<int32_t>(len));
            Close();
            return false;
        }
        if (WaitWritable(m_idleTimeoutMs, heartbeatMs, aborted, log, pm)) return true;
        if (aborted) {
            log.LogError("Socket send aborted by application");
        } else {
            log.LogData64("idleTimeoutMs", m_idleTimeoutMs);
            log.LogError("Socket send idle timeout");
        }
        return false;
    }
    if (r == 0) {
        platform::sleepMs(10);
        return true;
    }
    m_uploadThrottle.record(static_cast<uint64_t>(r));
    if (m_rateMonitoring) m_sendRate.addBytes(static_cast<uint64_t>(r), pm);
    sent += static_cast<uint32_t>(r);
    if (pm && pm->advance(static_cast<uint64_t>(r))) {
        log.LogError("Socket send aborted by application");
        return false;
    }
    return true;
}

}  // namespace ostmail
