#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "email/DkimSigner.h"
#include "platform/FileSystem.h"
#include "platform/SysInfo.h"
#include "smtp/EnvelopeAddress.h"
#include "smtp/SmtpConnImpl.h"

#include <vector>

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

void SmtpConnImpl::envelopeForm(StringBuffer& address, LogBase& log) const {
    if (!m_smtpUtf8 || address.is7bit()) return toAnsi(address, log);
    StringBuffer ascii;
    std::string reason;
    if (!m_utf8Envelope && EnvelopeAddress::toAscii(address.getString(), ascii, reason)) address.setString(ascii);
}

bool SmtpConnImpl::prepareEnvelope(SmtpMessage& msg, StringBuffer& reversePath, LogBase& log) {
    m_utf8Envelope = false;
    if (!m_smtpUtf8) return true;
    AddressList all;
    for (SmtpMessage::Kind kind : {SmtpMessage::kTo, SmtpMessage::kCc, SmtpMessage::kBcc})
        msg.addresses(kind, all.items);
    all.items.appendObject(new StringBuffer(reversePath));
    bool ascii = true;
    for (int32_t i = 0; i < all.items.getSize(); ++i) ascii = ascii && all.items.at<StringBuffer>(i)->is7bit();
    m_utf8Envelope = !ascii && m_caps.smtputf8;
    if (ascii || m_utf8Envelope) return true;
    for (int32_t i = 0; i < all.items.getSize(); ++i) {
        StringBuffer out;
        std::string reason;
        const char* address = all.items.at<StringBuffer>(i)->getString();
        if (EnvelopeAddress::toAscii(address, out, reason)) continue;
        // Worded for the C++ API's reason, which takes the first failure.
        StringBuffer line("Failed to send to <");
        line.append(address);
        line.append(">: ");
        line.append(reason.c_str());
        log.LogError(line.getString());
        return false;
    }
    envelopeForm(reversePath, log);
    return true;
}

void SmtpConnImpl::envelopeRecipients(SmtpMessage& msg, SmtpMessage::Kind kind, std::vector<StringBuffer>& out,
                                      LogBase& log) {
    AddressList list;
    msg.addresses(kind, list.items);
    for (int32_t i = 0; i < list.items.getSize(); ++i) {
        StringBuffer address(*list.items.at<StringBuffer>(i));
        if (address.isEmpty() || (kind == SmtpMessage::kTo && address.equals(">"))) continue;
        envelopeForm(address, log);
        out.push_back(address);
    }
}

bool SmtpConnImpl::sendRecipientList(SmtpMessage& msg, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                                     SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    std::vector<StringBuffer> addresses;
    envelopeRecipients(msg, kind, addresses, log);
    for (const StringBuffer& address : addresses) {
        if (!sendOneRecipient(address.getString(), kind, log, pm, result, badAddresses, flags)) return false;
        if (advanceAborted(pm, log, result)) return false;
    }
    return true;
}

void SmtpConnImpl::rcptCommand(const char* address, StringBuffer& cmd) const {
    cmd.setString("RCPT TO:<");
    SmtpProtocol::appendArg(cmd, address);
    cmd.append(">");
    if (m_caps.dsn && !m_dsnNotify.isEmpty()) {
        cmd.append(" NOTIFY=");
        SmtpProtocol::appendArg(cmd, m_dsnNotify.getString());
    }
    cmd.append("\r\n");
}

// False ends the transaction; a refusal with a reply code does not.
bool SmtpConnImpl::sendOneRecipient(const char* address, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                                    SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags) {
    ++result.attempted;
    StringBuffer cmd;
    rcptCommand(address, cmd);
    int code;
    bool sent;
    StringBuffer response;
    bool ok = sendCommand(cmd, 250, code, sent, response, log, pm, flags);
    return recipientVerdict(address, kind, ok, code, log, pm, result, badAddresses, flags);
}

bool SmtpConnImpl::recipientVerdict(const char* address, SmtpMessage::Kind kind, bool accepted, int code,
                                    LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                                    ExtPtrArray& badAddresses, SocketFlags& flags) {
    static const char* const kItem[] = {"to", "cc", "bcc"};
    static const char* const kFailed[] = {"Failed when sending RCPT TO:<", "Failed when sending cc RCPT TO:<",
                                          "Failed when sending bcc RCPT TO:<"};
    result.recipients.push_back({address, code > 0 ? code : 0, code > 0 ? m_lastReply.getString() : ""});
    if (accepted) {
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
    if (!sendCommand(StringBuffer("DATA\r\n"), 354, code, sent, response, log, pm, flags))
        return dataRefused(code, log, pm, result);
    return !advanceAborted(pm, log, result);
}

bool SmtpConnImpl::dataRefused(int code, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result) {
    log.LogError("Failed when sending DATA command");
    logTranscript(log);
    result.protocolFailure = true;
    result.accepted = 0;
    if (code <= 0) closeConnection(log, pm);
    return false;
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
