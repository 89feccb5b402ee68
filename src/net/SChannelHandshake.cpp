// The client handshake: the first token, then the loop that reads the
// server's flight, feeds it to the provider and sends what comes back.
#include "core/LogBase.h"
#include "net/SChannelWin32.h"

#include <cstring>

namespace ostmail {

using namespace platform;

namespace {

constexpr uint32_t kHandshakeWaitMs = 60000;  // without a progress monitor and without an idle timeout

bool keepsLooping(uint32_t status) {
    return status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
           status == SEC_I_INCOMPLETE_CREDENTIALS;
}

}  // namespace

bool SChannelWin32::performHandshake(LogBase& log) {
    TlsStepResult r;
    if (m_verbose) log.LogInfo("Calling InitializeSecurityContext (B)");
    tlsProvider()->InitializeContext(*m_credentials, m_context, m_hostname.getString(), nullptr, 0, r);
    if (r.status != SEC_I_CONTINUE_NEEDED) {
        log.LogDataHex("initialScRet", r.status);
        log.LogError("Error initializing security context");
        m_context.reset();
        return false;
    }
    if (m_verbose) log.LogInfo("Sending handshake data to server (B)");
    if (!sendToken(r.output, log)) {
        log.LogError("Error sending data to server in client handshake");
        m_context.reset();
        return false;
    }
    DataBuffer extra;
    if (!clientHandshakeLoop(true, extra, log)) return false;
    m_extraConnectData.swap(extra);
    return true;
}

bool SChannelWin32::clientHandshakeLoop(bool readFirst, DataBuffer& extra, LogBase& log) {
    DataBuffer buf;
    if (!buf.ensureCapacity(kHandshakeBuffer)) {
        log.LogError("Failed to allocate memory in client handshake loop");
        return false;
    }
    extra.clear();
    uint32_t status = SEC_I_CONTINUE_NEEDED;
    while (keepsLooping(status)) {
        if (m_verbose) log.LogInfo("------------------ TOP OF LOOP ------------------");
        if (buf.isEmpty() || status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!readFirst) {
                readFirst = true;
            } else if (!handshakeRead(buf, log)) {
                status = SEC_E_INTERNAL_ERROR;
                break;
            }
        }
        TlsStepResult r;
        if (!handshakeStep(buf, r, log)) return false;
        status = r.status;
        if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
        if (status == SEC_E_OK) {
            if (r.extra) extra.append(buf.getData() + buf.getSize() - r.extra, r.extra);
            break;
        }
        if (secFailed(status)) {
            log.LogError("Aborting SSL client handshake because of fatal error");
            m_context.reset();
            if (m_verbose) log.LogInfo("clientHandshakeLoop returning false.");
            return false;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asked for a client certificate; we have none to offer.
            if (m_verbose) log.LogInfo("Incomplete credentials...");
            log.LogError("Error querying issuer list info");
            m_context.reset();
            return false;
        }
        if (r.extra) {
            std::memmove(buf.getMutable(), buf.getData() + buf.getSize() - r.extra, r.extra);
            buf.setSize(r.extra);
            if (m_verbose) log.LogInfo("Copied extra buffer");
        } else {
            buf.clear();
        }
        if (m_verbose) log.LogInfo("-end of loop-");
    }
    bool ok = !secFailed(status);
    if (m_verbose) log.LogInfo(ok ? "clientHandshakeLoop returning true." : "clientHandshakeLoop returning false.");
    return ok;
}

// One call with what is in the buffer; sends the output token, also the
// alert that comes with an error. False when that send fails.
bool SChannelWin32::handshakeStep(DataBuffer& buf, TlsStepResult& r, LogBase& log) {
    if (m_verbose) {
        log.LogDataLong("inputBufferCount", static_cast<int32_t>(buf.getSize()));
        log.LogInfo("Calling InitializeSecurityContext (A)");
    }
    tlsProvider()->InitializeContext(*m_credentials, m_context, m_hostname.getString(), buf.getData(),
                                     buf.getSize(), r);
    if (m_verbose) logStep(r, buf.getSize(), log);
    bool send = r.status == SEC_E_OK || r.status == SEC_I_CONTINUE_NEEDED || (secFailed(r.status) && r.extendedError);
    if (send && !r.output.empty()) {
        if (m_verbose) log.LogInfo("Sending handshake data to server. (A)");
        if (!sendToken(r.output, log)) {
            log.LogError("Error sending data to server (2) in handshake loop");
            m_context.reset();
            return false;
        }
    }
    if (r.status == SEC_E_INVALID_TOKEN) log.LogError("Invalid token.");
    if (r.status == SEC_E_ILLEGAL_MESSAGE) log.LogError("The message received was unexpected or badly formatted.");
    return true;
}

bool SChannelWin32::handshakeRead(DataBuffer& buf, LogBase& log) {
    uint32_t room = kHandshakeBuffer - buf.getSize();
    if (m_verbose) {
        log.LogInfo("Receiving more from server...");
        log.LogDataLong("RemainingBufferSize", static_cast<int32_t>(room));
    }
    uint32_t before = buf.getSize();
    SocketFlags flags;
    bool ok = room > 0;
    if (ok && m_call.pm) {
        ok = m_socket.ReceiveChunk(buf, room, m_call.heartbeatMs, flags, log, m_call.pm);
    } else if (ok) {
        m_socket.setIdleTimeoutMs(m_call.idleTimeoutMs ? m_call.idleTimeoutMs : kHandshakeWaitMs);
        ok = m_socket.WaitReadable(0, flags, log, nullptr);
        if (!ok && flags.timedOut) log.LogError("WaitForData timed out.");
        if (ok) ok = m_socket.ReceiveChunk(buf, room, 0, flags, log, nullptr);
        if (!ok && flags.closedByPeer) log.LogError("The peer has closed the socket (TCP) connection");
        m_socket.setIdleTimeoutMs(m_call.idleTimeoutMs);
    }
    if (m_verbose) log.LogDataLong("receivedCount", static_cast<int32_t>(buf.getSize() - before));
    if (ok) return true;
    m_readFlags = flags;
    log.LogDataBool("connectionClosed", flags.closedByPeer);
    log.LogDataBool("timedOut", flags.timedOut);
    log.LogError("Error reading data from server in handshake loop");
    return false;
}

bool SChannelWin32::sendToken(const Bytes& token, LogBase& log) {
    if (token.empty()) return true;
    return m_socket.SendBytes(token.data(), static_cast<uint32_t>(token.size()), kSocketWrite, m_call.heartbeatMs,
                              log, m_call.pm);
}

void SChannelWin32::logStep(const TlsStepResult& r, uint32_t inCount, LogBase& log) {
    const char* name = statusName(r.status);
    if (name)
        log.LogData("scRet", name);
    else
        log.LogDataHex("scRet", r.status);
    log.LogDataLong("OutBufferSize", static_cast<int32_t>(r.output.size()));
    log.LogData("InBuffer0_Type", bufferTypeName(SECBUFFER_TOKEN));
    log.LogData("InBuffer1_Type", bufferTypeName(r.extra ? SECBUFFER_EXTRA : SECBUFFER_EMPTY));
    log.LogDataLong("cbIoBuffer", static_cast<int32_t>(inCount));
    log.LogDataLong("InBuffer1_Count", static_cast<int32_t>(r.extra));
}

}  // namespace ostmail
