// Application data over an established channel, and its orderly end.
#include "core/LogBase.h"
#include "net/SChannelWin32.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ostmail {

using namespace platform;

bool SChannelWin32::readyFor(const char* op, LogBase& log) {
    const char* problem = !tlsProvider() ? "security library not loaded"
                          : !m_context   ? "not connected."
                          : !m_credentials ? "no client credentials exist"
                                           : nullptr;
    if (!problem) return true;
    std::string text = std::string("(") + op + ") Cannot send data, " + problem;
    log.LogError(text.c_str());
    return false;
}

bool SChannelWin32::SendSecure(const unsigned char* data, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                               LogBase& log, ProgressMonitor* pm) {
    CallScope scope(*this, heartbeatMs, pm, 0, idleTimeoutMs);
    if (!readyFor("SendSecure", log)) return false;
    for (uint32_t off = 0; off < n;) {
        uint32_t len = std::min(kRecordPlaintext, n - off);
        if (!sendRecord(data + off, len, off + len < n, log)) return false;
        off += len;
    }
    return true;
}

namespace {

// Sends each record from the provider's buffer as soon as it is sealed.
class SocketRecordSink : public TlsOutputSink {
public:
    SocketRecordSink(VelmoraSocket& socket, uint32_t pieceSize, uint32_t heartbeatMs, bool moreFollows, LogBase& log,
                     ProgressMonitor* pm)
        : m_socket(socket), m_pieceSize(pieceSize), m_heartbeatMs(heartbeatMs), m_more(moreFollows), m_log(log),
          m_pm(pm) {}
    bool put(const unsigned char* data, uint32_t n) override {
        m_failed = !m_socket.SendBytes(data, n, m_pieceSize, m_heartbeatMs, m_log, m_pm, m_more);
        return !m_failed;
    }
    bool failed() const { return m_failed; }

private:
    VelmoraSocket& m_socket;
    uint32_t m_pieceSize, m_heartbeatMs;
    bool m_more;
    LogBase& m_log;
    ProgressMonitor* m_pm;
    bool m_failed = false;
};

}  // namespace

bool SChannelWin32::sendRecord(const unsigned char* data, uint32_t n, bool moreFollows, LogBase& log) {
    TlsStreamSizes sizes;
    if (tlsProvider()->QueryStreamSizes(*m_context, sizes) != SEC_E_OK) {
        log.LogError("Error getting stream sizes");
        return false;
    }
    if (n > sizes.maxMessage) {
        log.LogError("Message is too large for secure send");
        return false;
    }
    SocketRecordSink sink(m_socket, kSocketWrite, m_call.heartbeatMs, moreFollows, log, m_call.pm);
    uint32_t status = tlsProvider()->EncryptMessage(*m_context, data, n, sink);
    if (sink.failed()) {
        log.LogError("Failed to send secure");
        return false;
    }
    if (status != SEC_E_OK) {
        log.LogError("Failed to encrypt secure send request");
        return false;
    }
    return true;
}

// Decrypts the first record of pending into out; pending keeps what
// follows it, or everything when the record is not complete yet.
static uint32_t decryptFirst(TlsContext& ctx, DataBuffer& pending, DataBuffer& out) {
    TlsDecryptResult d;
    tlsProvider()->DecryptMessage(ctx, pending.getData(), pending.getSize(), d);
    if (d.status == SEC_E_INCOMPLETE_MESSAGE || (secFailed(d.status))) return d.status;
    out.append(d.data.data(), d.data.size());
    if (d.extra) {
        std::memmove(pending.getMutable(), pending.getData() + pending.getSize() - d.extra, d.extra);
        pending.setSize(d.extra);
    } else {
        pending.clear();
    }
    return d.status;
}

bool SChannelWin32::RecvSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags,
                               bool& endOfSession, LogBase& log, ProgressMonitor* pm) {
    CallScope scope(*this, heartbeatMs, pm, 0, idleTimeoutMs);
    endOfSession = false;
    if (!readyFor("RecvSecure", log)) return false;
    uint32_t outStart = out.getSize();
    bool wantMore = false;
    if (!m_extraConnectData.isEmpty()) {
        bool ok = decryptExtraConnectData(out, endOfSession, wantMore, log);
        if (!ok || endOfSession || (out.getSize() > outStart && !wantMore)) return ok;
    }
    bool ok = readRecords(out, outStart, wantMore, endOfSession, log);
    flags = m_readFlags;
    return ok;
}

// The records that came in the segment of the last handshake message.
bool SChannelWin32::decryptExtraConnectData(DataBuffer& out, bool& endOfSession, bool& more, LogBase& log) {
    log.LogDataLong("extraConnectDataSize", static_cast<int32_t>(m_extraConnectData.getSize()));
    m_extraConnectData.append(m_pending);
    m_pending.clear();
    m_pending.swap(m_extraConnectData);
    uint32_t status = decryptFirst(*m_context, m_pending, out);
    // A close alert right behind the handshake ends the session like one read later.
    if (status == SEC_I_CONTEXT_EXPIRED) {
        log.LogInfo("End of session has been signalled..");
        endOfSession = true;
        ShutdownChannel(log);
        log.LogInfo("Returning true (2)");
        return true;
    }
    more = status == SEC_E_INCOMPLETE_MESSAGE;
    return true;
}

bool SChannelWin32::readRecords(DataBuffer& out, uint32_t outStart, bool wantMore, bool& endOfSession,
                                LogBase& log) {
    if (m_verbose) log.LogInfo("Reading more from server...");
    uint32_t status = SEC_E_INCOMPLETE_MESSAGE;
    do {
        if ((m_pending.isEmpty() || wantMore) && !readPending(log)) return false;
        status = decryptFirst(*m_context, m_pending, out);
        wantMore = status == SEC_E_INCOMPLETE_MESSAGE;
        // A partial record after whole ones waits for the next read.
        if (wantMore && out.getSize() > outStart) return true;
        if (wantMore) continue;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            log.LogInfo("End of session has been signalled.");
            log.LogDataLong("dbReceivedLen", static_cast<int32_t>(out.getSize() - outStart));
            endOfSession = true;
            ShutdownChannel(log);
            log.LogInfo("Returning true (1)");
            return true;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            log.LogDataHex("SysErrorCode", status);
            log.LogError("Error in DecryptMessage (2)");
            return false;
        }
        if (status == SEC_I_RENEGOTIATE) {
            log.LogInfo("Server requested renegotiate.");
            DataBuffer extra;
            if (!clientHandshakeLoop(false, extra, log)) return false;
            m_pending.append(extra);
        }
        // A record without data (a session ticket) is not yet an answer.
    } while (!m_pending.isEmpty() || status != SEC_E_OK || out.getSize() == outStart);
    return true;
}

bool SChannelWin32::readPending(LogBase& log) {
    SocketFlags flags;
    uint32_t before = m_pending.getSize();
    bool ok = m_socket.ReceiveChunk(m_pending, kRecordRead, m_call.heartbeatMs, flags, log, m_call.pm);
    m_readFlags = flags;
    if (!ok) {
        log.LogError("Failed to read SChannelWin32 response (3)");
        return false;
    }
    if (m_pending.getSize() == before) {
        log.LogError("Failed to read SChannelWin32 response (4)");
        return false;
    }
    return true;
}

bool SChannelWin32::ShutdownChannel(LogBase& log) {
    log.LogInfo("Shutting down SChannelWin32");
    const char* refusal = !m_context       ? "Cannot shutdown channel, no context exists"
                          : !m_credentials ? "Cannot shutdown channel, no credentials exist"
                          : !tlsProvider() ? "Cannot shutdown channel, security library not loaded"
                                           : nullptr;
    if (refusal) {
        log.LogError(refusal);
        log.LogInfo("Forcibly closing socket.");
        m_socket.Close();
        return false;
    }
    const char* failure = nullptr;
    TlsStepResult r;
    if (tlsProvider()->ApplyShutdownToken(*m_context) != SEC_E_OK) {
        failure = "Error in ApplyControlToken";
    } else {
        tlsProvider()->InitializeContext(*m_credentials, m_context, m_hostname.getString(), nullptr, 0, r);
        if (secFailed(r.status))
            failure = "Error returned by InitializeSecurityContext";
        else if (!sendToken(r.output, log))
            failure = "Error sending close notify";
    }
    releaseSecurity();
    m_pending.clear();
    m_extraConnectData.clear();
    if (failure) {
        log.LogError(failure);
        log.LogInfo("Forcibly closing socket.");
        m_socket.Close();
        return false;
    }
    m_socket.Close();
    log.LogInfo("socket shutdown.");
    log.LogInfo("Secure Channel Shutdown Complete.");
    return true;
}

}  // namespace ostmail
