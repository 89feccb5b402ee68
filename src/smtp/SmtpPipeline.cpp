// RFC 2920 command pipelining: the envelope goes out in one write and the
// replies are matched to the commands in order. Verdicts, counts and log
// lines are those of the one-command-at-a-time path.
#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "smtp/SmtpConnImpl.h"

namespace ostmail {

namespace {

struct Recipient {
    StringBuffer address;
    SmtpMessage::Kind kind;
};

void appendCommand(StringBuffer& batch, StringBuffer& cmd) {
    SmtpProtocol::limitCommand(cmd);
    batch.append(cmd);
}

}  // namespace

// The code of the next reply; -1 when none came. A reply that cannot
// belong to its command (3xx to MAIL or RCPT, 2xx to DATA) is -3.
int SmtpConnImpl::pipelinedReply(int expected, bool forData, StringBuffer& response, LogBase& log,
                                 ProgressMonitor* pm, SocketFlags& flags) {
    int code = -1;
    readResponse(expected, code, response, log, pm, flags);
    if (code <= 0) return -1;
    bool fits = forData ? (code == 354 || code >= 400) : (code < 300 || code >= 400);
    return fits ? code : -3;
}

bool SmtpConnImpl::outOfStep(const StringBuffer& response, LogBase& log, ProgressMonitor* pm,
                             SmtpSendResult& result) {
    log.LogError("Pipelined reply out of step");
    log.LogData("reply", response.getString());
    logTranscript(log);
    result.accepted = 0;
    result.protocolFailure = true;
    closeConnection(log, pm);
    return false;
}

// After a refused MAIL the server still answers each RCPT and DATA; a
// missing one, or a DATA it accepted, leaves only a new connection.
bool SmtpConnImpl::drainAfterRefusedMail(size_t replies, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    LogNull quiet;
    StringBuffer response;
    for (size_t i = 0; i < replies; ++i) {
        int code = pipelinedReply(250, i + 1 == replies, response, quiet, pm, flags);
        if (code <= 0 || (i + 1 == replies && code == 354)) {
            closeConnection(log, pm);
            return false;
        }
    }
    return true;
}

// DATA was sent with the envelope but the message must not follow: after a
// refusal RSET clears the transaction; after a 354 only closing does.
bool SmtpConnImpl::abandonAfterData(int dataCode, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    if (dataCode != 354 && sendCommand("RSET\r\n", 250, log, pm, flags)) return true;
    closeConnection(log, pm);
    return false;
}

bool SmtpConnImpl::pipelinedEnvelope(SmtpMessage& msg, const char* reversePath, LogBase& log, ProgressMonitor* pm,
                                     SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    std::vector<Recipient> rcpts;
    for (SmtpMessage::Kind kind : {SmtpMessage::kTo, SmtpMessage::kCc, SmtpMessage::kBcc}) {
        std::vector<StringBuffer> addresses;
        envelopeRecipients(msg, kind, addresses, log);
        for (const StringBuffer& a : addresses) rcpts.push_back(Recipient{a, kind});
    }
    bool rset = m_rsetPending;
    m_rsetPending = false;
    StringBuffer batch, cmd;
    if (rset) batch.append("RSET\r\n");
    mailFromCommand(reversePath, cmd);
    appendCommand(batch, cmd);
    for (const Recipient& r : rcpts) {
        rcptCommand(r.address.getString(), cmd);
        appendCommand(batch, cmd);
    }
    batch.append("DATA\r\n");
    StringBuffer response;
    if (!sendRecorded(batch.getString(), batch.getSize(), log, pm)) {
        int code = -1;
        return mailFromRefused(reversePath, code, response, log, pm, result, flags);
    }
    if (rset && pipelinedReply(250, false, response, log, pm, flags) != 250) {
        log.LogError("RSET failed.");
        return outOfStep(response, log, pm, result);
    }
    int code = pipelinedReply(250, false, response, log, pm, flags);
    if (code == -3) return outOfStep(response, log, pm, result);
    if (code != 250) {
        if (code > 0) drainAfterRefusedMail(rcpts.size() + 1, log, pm, flags);
        return mailFromRefused(reversePath, code, response, log, pm, result, flags);
    }
    if (advanceAborted(pm, log, result)) return abandonAfterData(354, log, pm, flags);
    {
        LogContextExitor ctx(log, "recipients");
        for (const Recipient& r : rcpts) {
            ++result.attempted;
            code = pipelinedReply(250, false, response, log, pm, flags);
            if (code == -3) return outOfStep(response, log, pm, result);
            if (!recipientVerdict(r.address.getString(), r.kind, code == 250, code, log, pm, result, badAddresses,
                                  flags))
                return false;
            if (advanceAborted(pm, log, result)) return abandonAfterData(354, log, pm, flags);
        }
    }
    // When no message is to follow, DATA's refusal is expected, not news.
    LogNull quiet;
    bool goesOn = result.accepted > 0 && (result.accepted == result.attempted || !m_requireAll);
    const int rcptCode = m_lastReplyCode;
    StringBuffer rcptReply;
    rcptReply.setString(m_lastReply.getString());
    int dataCode = pipelinedReply(354, true, response, goesOn ? log : quiet, pm, flags);
    if (dataCode == -3 || (dataCode == 354 && m_conn.leftoverSize() > 0)) return outOfStep(response, log, pm, result);
    if (!enoughRecipients(log, result)) {
        if (dataCode > 0)
            abandonAfterData(dataCode, log, pm, flags);
        else
            closeConnection(log, pm);
        // The caller sees the last recipient's refusal, as without pipelining,
        // not the reply to the DATA or RSET that only pipelining sent.
        m_lastReplyCode = rcptCode;
        m_lastReply.setString(rcptReply.getString());
        return false;
    }
    if (dataCode != 354) return dataRefused(dataCode, log, pm, result);
    return !advanceAborted(pm, log, result);
}

}  // namespace ostmail
