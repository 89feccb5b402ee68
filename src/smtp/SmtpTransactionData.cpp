#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "email/DkimSigner.h"
#include "platform/FileSystem.h"
#include "platform/SysInfo.h"
#include "smtp/SmtpConnImpl.h"

namespace ostmail {

namespace {

const char kAborted[] = "Mail sending aborted by application";
constexpr uint32_t kUtf8 = 65001;

struct AddressList {
    ExtPtrArray items;
    ~AddressList() { items.removeAllObjects(); }
};

// Envelope addresses go out in the system ANSI code page.
void toAnsi(StringBuffer& address, LogBase& log) {
    uint32_t ansi = platform::ansiCodePage();
    if (address.is7bit() || ansi == kUtf8) return;
    EncodingConvert conv;
    DataBuffer out;
    conv.convert(kUtf8, ansi, address.getString(), address.getSize(), out, log);
    address.setString(reinterpret_cast<const char*>(out.getData()), out.getSize());
}

void addBadAddress(ExtPtrArray& bad, const StringBuffer& address) {
    if (!address.containsChar('@')) return;
    for (int32_t i = 0; i < bad.getSize(); ++i)
        if (bad.at<StringBuffer>(i)->equals(address)) return;
    bad.appendObject(new StringBuffer(address));
}

}  // namespace

bool SmtpConnImpl::sendRecipientList(SmtpMessage& msg, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                                     SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    AddressList list;
    msg.addresses(kind, list.items);
    for (int32_t i = 0; i < list.items.getSize(); ++i) {
        StringBuffer address(*list.items.at<StringBuffer>(i));
        if (address.isEmpty() || (kind == SmtpMessage::kTo && address.equals(">"))) continue;
        toAnsi(address, log);
        if (!sendOneRecipient(address.getString(), kind, log, pm, result, badAddresses, flags)) return false;
        if (advanceAborted(pm, log, result)) return false;
    }
    return true;
}

// False ends the transaction; a refusal with a reply code does not.
bool SmtpConnImpl::sendOneRecipient(const char* address, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                                    SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    static const char* const kItem[] = {"to", "cc", "bcc"};
    static const char* const kFailed[] = {"Failed when sending RCPT TO:<", "Failed when sending cc RCPT TO:<",
                                          "Failed when sending bcc RCPT TO:<"};
    ++result.attempted;
    StringBuffer cmd("RCPT TO:<");
    SmtpProtocol::appendArg(cmd, address);
    cmd.append(">");
    if (m_caps.dsn && !m_dsnNotify.isEmpty()) {
        cmd.append(" NOTIFY=");
        SmtpProtocol::appendArg(cmd, m_dsnNotify.getString());
    }
    cmd.append("\r\n");
    int code;
    bool sent;
    StringBuffer response;
    bool took = sendCommand(cmd, 250, code, sent, response, log, pm, flags);
    result.recipients.push_back({address, code > 0 ? code : 0, code > 0 ? m_lastReply.getString() : ""});
    if (took) {
        log.LogData(kItem[kind], address);
        ++result.accepted;
        return true;
    }
    if (monitorAborted(pm, flags)) {
        log.LogError(kAborted);
        result.accepted = 0;
        if (code <= 0) closeConnection(log, pm);
        return false;
    }
    StringBuffer line(kFailed[kind]);
    line.append(address);
    line.append(">");
    log.LogError(line.getString());
    if (code > 0) {
        log.LogData("bad_address", address);
        addBadAddress(badAddresses, StringBuffer(address));
        return true;
    }
    result.accepted = 0;
    closeConnection(log, pm);
    return false;
}

bool SmtpConnImpl::sendData(LogBase& log, ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags) {
    int code;
    bool sent;
    StringBuffer response;
    if (!sendCommand(StringBuffer("DATA\r\n"), 354, code, sent, response, log, pm, flags)) {
        log.LogError("Failed when sending DATA command");
        logTranscript(log);
        result.protocolFailure = true;
        result.accepted = 0;
        if (code <= 0) closeConnection(log, pm);
        return false;
    }
    return !advanceAborted(pm, log, result);
}

bool SmtpConnImpl::sendBody(SmtpMessage& msg, const StringBuffer* preRendered, StringBuffer& body, LogBase& log,
                            ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags) {
    body.expectNumBytes(50000);
    bool rendered = preRendered ? body.append(*preRendered) : msg.render(body, log);
    // What is signed is exactly what goes out, before the dots are doubled.
    bool signedOk = rendered && (!m_dkim || dkimSignAll(*m_dkim, body, log));
    bool ok = signedOk;
    if (!signedOk) {
        // The server waits for data we cannot give it; only a new connection helps.
        log.LogError(rendered ? "Failed to sign the email; nothing was sent."
                              : "Failed to render the email for sending.");
    } else {
        SmtpProtocol::dotStuff(body);
        log.LogDataLong("email_size", static_cast<int32_t>(body.getSize()));
        ok = sendRecorded(body.getString(), body.getSize(), log, pm);
    }
    if (ok && !monitorAborted(pm, flags)) return true;
    if (monitorAborted(pm, flags)) {
        log.LogError(kAborted);
    } else {
        if (signedOk) log.LogError("Failed when sending email body");
        logTranscript(log);
        result.protocolFailure = true;
    }
    result.accepted = 0;
    closeConnection(log, pm);
    return false;
}

bool SmtpConnImpl::sendTerminator(LogBase& log, ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags) {
    int code;
    bool sent;
    StringBuffer response;
    const uint32_t readTimeoutMs = m_readTimeoutMs;
    if (m_finalReplyTimeoutMs) m_readTimeoutMs = m_finalReplyTimeoutMs;
    bool ok = sendCommand(StringBuffer("\r\n.\r\n"), 250, code, sent, response, log, pm, flags, true);
    m_readTimeoutMs = readTimeoutMs;
    if (ok) return true;
    result.unconfirmed = sent && code <= 0;
    if (!sent && monitorAborted(pm, flags)) {
        log.LogError(kAborted);
        if (code <= 0) closeConnection(log, pm);
        result.protocolFailure = true;
        result.accepted = 0;
        return false;
    }
    log.LogError("Failed when sending end-of-body");
    log.LogDataLong("CommandSent", sent ? 1 : 0);
    log.LogDataLong("GotResponseCode", code);
    log.LogDataLong("TimedOut", flags.timedOut ? 1 : 0);
    log.LogDataLong("Aborted", flags.aborted ? 1 : 0);
    // Without a reply the connection's state is unknown; a late reply would
    // be taken for the answer to the next command.
    if (code <= 0) closeConnection(log, pm);
    // The message was handed over in full; a lost reply does not unsend it.
    if (sent && (flags.timedOut || flags.aborted)) return true;
    result.protocolFailure = true;
    result.accepted = 0;
    return false;
}

void SmtpConnImpl::appendSentLog(const char* path, const StringBuffer& body) {
    StringBuffer text("--BEGIN SENT VELMORA EMAIL--\n");
    text.append(body);
    text.append("\n--END SENT VELMORA EMAIL--\n");
    // A log file that cannot be written does not fail a sent message.
    platform::appendToFile(path, text.getString(), text.getSize());
}

}  // namespace ostmail
