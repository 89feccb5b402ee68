#include "smtp/SmtpConnImpl.h"

#include "core/LogBase.h"
#include "core/ProgressMonitor.h"

#include <cstring>

namespace ostmail {

namespace {

// Far beyond any real server's answer to one command; a peer that keeps
// sending continuation lines would otherwise be read for as long as it sends.
constexpr uint32_t kMaxReplySize = 1u << 20;

}  // namespace

SmtpConnImpl::SmtpConnImpl() = default;

SmtpConnImpl::~SmtpConnImpl() {
    if (!m_conn.IsConnected()) return;
    // A server that does not answer QUIT must not hold up the destruction.
    if (m_readTimeoutMs == 0 || m_readTimeoutMs > 5000) m_readTimeoutMs = 5000;
    LogNull quiet;
    quit(quiet, nullptr);
}

void SmtpConnImpl::setTrimmed(StringBuffer& sb, const char* v) {
    sb.setString(v ? v : "");
    sb.trimWhitespace();
}

bool SmtpConnImpl::sendRecorded(const char* data, uint32_t n, LogBase& log, ProgressMonitor* pm) {
    SmtpProtocol::recordWrite(m_transcript, data, n);
    return sendUnrecorded(data, n, log, pm);
}

bool SmtpConnImpl::sendUnrecorded(const char* data, uint32_t n, LogBase& log, ProgressMonitor* pm) {
    m_replyBytes = 0;
    return m_conn.SendBytes2(reinterpret_cast<const unsigned char*>(data), n, m_sendChunkSize, m_heartbeatMs,
                             m_readTimeoutMs, log, pm);
}

bool SmtpConnImpl::readResponseLine(StringBuffer& line, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    line.clear();
    // Each read reports for itself: an earlier time-out must not colour a
    // later failure.
    flags.clear();
    if (!m_conn.ReceiveUntilMatch("\r\n", line, m_heartbeatMs, m_readTimeoutMs, flags, log, pm)) return false;
    m_replyBytes += line.getSize();
    if (m_replyBytes > kMaxReplySize) {
        log.LogError("SMTP response is too long");
        log.LogDataLong("maxResponseSize", static_cast<int32_t>(kMaxReplySize));
        closeConnection(log, pm);  // the rest of the reply would be read as the next one
        return false;
    }
    SmtpProtocol::recordRead(m_transcript, line);
    if (m_replyComplete) m_lastReply.clear();
    m_lastReply.append(line);
    ++m_linesRead;
    m_replyComplete = !SmtpProtocol::isContinuation(line);
    return true;
}

void SmtpConnImpl::logReadFailure(const SocketFlags& flags, LogBase& log) {
    if (flags.aborted)
        log.LogError("Application aborted SMTP operation prior to receiving response.");
    else if (flags.timedOut)
        log.LogError("ReadTimeout expired, abandoning attempt to retrieve SMTP response.");
    else
        log.LogError("Failed to get SMTP command response...");
}

bool SmtpConnImpl::readResponse(int expected, int& code, StringBuffer& response, LogBase& log,
                                ProgressMonitor* pm, SocketFlags& flags, bool abortCheck, bool detectDsn) {
    code = -1;
    m_lastReplyCode = 0;
    response.clear();
    StringBuffer line;
    for (;;) {
        if (!readResponseLine(line, log, pm, flags)) {
            logReadFailure(flags, log);
            return false;
        }
        if (SmtpProtocol::contentLength(line) < 3) {
            log.LogError("Unrecognized response from SMTP server");
            log.LogError(line.getString());
            return false;
        }
        if (detectDsn && SmtpProtocol::announcesDsn(line)) m_caps.dsn = true;
        if (!SmtpProtocol::isContinuation(line)) break;
        if (abortCheck && pm && pm->isAborted()) {
            log.LogError("Aborted by application callback.");
            return false;
        }
    }
    code = SmtpProtocol::replyCode(line);
    if (code != -2) m_lastReplyCode = code;
    response.setString(line);
    response.trimWhitespace();
    if (code != expected) log.LogError(response.getString());
    return code == expected;
}

bool SmtpConnImpl::readSingleLineReply(int expected, StringBuffer& line, LogBase& log, ProgressMonitor* pm,
                                       SocketFlags& flags) {
    m_lastReplyCode = 0;
    if (!readResponseLine(line, log, pm, flags)) {
        logReadFailure(flags, log);
        return false;
    }
    int code = SmtpProtocol::replyCode(line);
    if (code != -2) m_lastReplyCode = code;
    return code == expected;
}

bool SmtpConnImpl::readCollectedReply(int expected, StringBuffer& text, LogBase& log, ProgressMonitor* pm,
                                      SocketFlags& flags) {
    m_lastReplyCode = 0;
    text.clear();
    StringBuffer line;
    do {
        if (!readResponseLine(line, log, pm, flags)) {
            logReadFailure(flags, log);
            return false;
        }
        text.append(line);
    } while (SmtpProtocol::isContinuation(line));
    int code = SmtpProtocol::replyCode(line);
    if (code != -2) m_lastReplyCode = code;
    if (code != expected) log.LogError(text.getString());
    return code == expected;
}

bool SmtpConnImpl::sendCommand(const StringBuffer& command, int expected, int& code, bool& sent,
                               StringBuffer& response, LogBase& log, ProgressMonitor* pm, SocketFlags& flags,
                               bool isTerminator) {
    code = -1;
    sent = false;
    response.clear();
    StringBuffer cmd(command);
    SmtpProtocol::limitCommand(cmd);
    if (!sendRecorded(cmd.getString(), cmd.getSize(), log, pm)) return false;
    if (isTerminator) log.LogInfo("Sent DATA terminator");
    sent = true;
    return readResponse(expected, code, response, log, pm, flags);
}

bool SmtpConnImpl::sendCommand(const char* command, int expected, LogBase& log, ProgressMonitor* pm,
                               SocketFlags& flags) {
    int code;
    bool sent;
    StringBuffer response;
    return sendCommand(StringBuffer(command), expected, code, sent, response, log, pm, flags);
}

bool SmtpConnImpl::quit(LogBase& log, ProgressMonitor*) {
    SocketFlags flags;
    // Progress is not reported for QUIT: the send it belonged to is over.
    sendCommand("QUIT\r\n", 221, log, nullptr, flags);
    return true;
}

bool SmtpConnImpl::resetSession(LogBase& log, ProgressMonitor* pm) {
    SocketFlags flags;
    log.LogInfo("Sending RSET command.");
    if (sendCommand("RSET\r\n", 250, log, pm, flags)) return true;
    m_conn.Close(m_heartbeatMs, m_readTimeoutMs, log, pm);
    return false;
}

bool SmtpConnImpl::noop(LogBase& log, ProgressMonitor* pm) {
    SocketFlags flags;
    if (sendCommand("NOOP\r\n", 250, log, pm, flags)) return true;
    m_conn.Close(m_heartbeatMs, m_readTimeoutMs, log, pm);
    return false;
}

void SmtpConnImpl::closeConnection(LogBase& log, ProgressMonitor* pm) {
    m_lastReplyCode = 0;
    m_rsetPending = false;
    m_conn.Close(m_heartbeatMs, m_readTimeoutMs, log, pm);
    m_rememberedTls = false;
    m_rememberedStartTls = false;
    m_rememberedHost.clear();
    m_rememberedPort = 25;
    m_rememberedLogin.clear();
    m_rememberedPassword.clear();
    m_rememberedDomain.clear();
}

void SmtpConnImpl::logTranscript(LogBase& log) {
    log.LogInfo(m_transcript.getString());
}

}  // namespace ostmail
