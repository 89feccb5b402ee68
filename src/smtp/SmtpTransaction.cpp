#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "smtp/SmtpConnImpl.h"

#include <cstring>

namespace ostmail {

namespace {

const char kAborted[] = "Mail sending aborted by application";

}  // namespace

bool SmtpConnImpl::sendEmail(SmtpMessage* msg, const char* reversePath, const StringBuffer* preRendered,
                             const char* sentLogPath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                             ExtPtrArray& badAddresses, bool sendIndividual, bool autoGenMessageId) {
    m_lastReplyCode = 0;
    result = SmtpSendResult();
    if (!msg) {
        log.LogError("email argument to SmtpConnImpl is NULL");
        result.protocolFailure = true;
        return false;
    }
    if (autoGenMessageId) msg->newMessageId();
    SocketFlags flags;
    StringBuffer listPath;
    const char* from = reversePath ? reversePath : "";
    bool ok = msg->distributionList(listPath)
                  ? sendToDistributionList(*msg, listPath, from, preRendered, sentLogPath, log, pm, result,
                                           badAddresses, sendIndividual, flags)
                  : sendMailTransaction(*msg, from, preRendered, sentLogPath, log, pm, result, badAddresses, flags);
    result.timedOut = flags.timedOut;
    result.aborted = monitorAborted(pm, flags);
    if (ok) {
        StringBuffer line;
        line.appendFormat("Mail sent to %d recipient%s", result.accepted, result.accepted > 1 ? "s" : "");
        log.LogInfo(line.getString());
    }
    return ok;
}

bool SmtpConnImpl::offers8BitMime() const {
    // One EHLO line is exactly "250-8BITMIME" or "250 8BITMIME".
    const char* p = m_ehloReply.getString();
    for (const char* hit = p; (hit = std::strstr(hit, "8BITMIME")) != nullptr; ++hit)
        if (hit - p >= 4 && (hit[-1] == '-' || hit[-1] == ' ') && (hit[8] == '\r' || hit[8] == '\n' || !hit[8]))
            return true;
    return false;
}

bool SmtpConnImpl::monitorAborted(ProgressMonitor* pm, const SocketFlags& flags) const {
    return flags.aborted || (pm && pm->isAborted());
}

bool SmtpConnImpl::progressAborted(ProgressMonitor* pm, LogBase& log) {
    if (!pm || !pm->isAborted()) return false;
    log.LogError(kAborted);
    return true;
}

bool SmtpConnImpl::advanceAborted(ProgressMonitor* pm, LogBase& log, SmtpSendResult& result) {
    if (!pm) return false;
    pm->advance(50);
    if (!pm->isAborted()) return false;
    log.LogError(kAborted);
    result.accepted = 0;
    return true;
}

bool SmtpConnImpl::sendMailTransaction(SmtpMessage& msg, const char* reversePath, const StringBuffer* preRendered,
                                       const char* sentLogPath, LogBase& log, ProgressMonitor* pm,
                                       SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    if (progressAborted(pm, log)) return false;
    StringBuffer subject;
    msg.subject(subject);
    log.LogData("subject", subject.getString());
    log.LogData("reversePath", reversePath);
    StringBuffer sender(reversePath);
    if (!prepareEnvelope(msg, sender, log)) {
        result.accepted = 0;
        return false;
    }
    reversePath = sender.getString();

    if (m_pipelining && m_caps.pipelining) {
        if (!pipelinedEnvelope(msg, reversePath, log, pm, result, badAddresses, flags)) return false;
    } else {
        if (!sendMailFrom(reversePath, log, pm, result, flags)) return false;
        if (advanceAborted(pm, log, result)) return false;
        if (!sendRecipients(msg, log, pm, result, badAddresses, flags)) return false;
        if (!enoughRecipients(log, result)) return false;
        if (!sendData(log, pm, result, flags)) return false;
    }
    StringBuffer body;
    if (!sendBody(msg, preRendered, body, log, pm, result, flags)) return false;
    if (!sendTerminator(log, pm, result, flags)) return false;
    if (sentLogPath && *sentLogPath) appendSentLog(sentLogPath, body);
    result.protocolFailure = false;
    return true;
}

void SmtpConnImpl::mailFromCommand(const char* reversePath, StringBuffer& cmd) const {
    cmd.setString("MAIL FROM:<");
    SmtpProtocol::appendArg(cmd, reversePath);
    cmd.append(">");
    if (m_body8Bit && offers8BitMime()) cmd.append(" BODY=8BITMIME");
    if (m_utf8Envelope) cmd.append(" SMTPUTF8");
    if (m_caps.dsn && !m_dsnRet.isEmpty()) {
        cmd.append(" RET=");
        SmtpProtocol::appendArg(cmd, m_dsnRet.getString());
    }
    if (m_caps.dsn && !m_dsnEnvid.isEmpty()) {
        cmd.append(" ENVID=");
        SmtpProtocol::appendArg(cmd, m_dsnEnvid.getString());
    }
    cmd.append("\r\n");
}

bool SmtpConnImpl::sendMailFrom(const char* reversePath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                                SocketFlags& flags) {
    StringBuffer cmd;
    mailFromCommand(reversePath, cmd);
    int code;
    bool sent;
    StringBuffer response;
    if (sendCommand(cmd, 250, code, sent, response, log, pm, flags)) return true;
    return mailFromRefused(reversePath, code, response, log, pm, result, flags);
}

bool SmtpConnImpl::mailFromRefused(const char* reversePath, int code, const StringBuffer& response, LogBase& log,
                                   ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags) {
    if (monitorAborted(pm, flags)) {
        log.LogError(kAborted);
        result.accepted = 0;
        if (code <= 0) closeConnection(log, pm);
        return false;
    }
    StringBuffer line("Failed when sending MAIL FROM:<");
    line.append(reversePath);
    line.append(">");
    log.LogError(line.getString());
    logTranscript(log);
    result.protocolFailure = true;
    if (code <= 0) closeConnection(log, pm);
    // The server's limit of messages per connection: a new one is needed.
    if (code == 421 && response.containsSubstringNoCase("maximum allowed messages")) {
        closeConnection(log, pm);
        result.tooManyMessages = true;
    }
    return false;
}

// Whether the accepted recipients let the message go on; logs the partial case.
bool SmtpConnImpl::enoughRecipients(LogBase& log, SmtpSendResult& result) {
    if (result.accepted == 0) {
        result.protocolFailure = false;
        return false;
    }
    if (result.accepted == result.attempted) return true;
    if (m_requireAll) {
        result.accepted = 0;
        result.protocolFailure = false;
        log.LogError("One or more RCPT TO commands failed.");
        return false;
    }
    StringBuffer line;
    line.appendFormat("Warning: failed to send to %d recipient(s), continuing to send to %d recipient(s)",
                      result.attempted - result.accepted, result.accepted);
    log.LogError(line.getString());
    return true;
}

bool SmtpConnImpl::sendRecipients(SmtpMessage& msg, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                                  ExtPtrArray& badAddresses, SocketFlags& flags) {
    LogContextExitor ctx(log, "recipients");
    return sendRecipientList(msg, SmtpMessage::kTo, log, pm, result, badAddresses, flags) &&
           sendRecipientList(msg, SmtpMessage::kCc, log, pm, result, badAddresses, flags) &&
           sendRecipientList(msg, SmtpMessage::kBcc, log, pm, result, badAddresses, flags);
}

}  // namespace ostmail
