#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "smtp/CramMD5.h"
#include "smtp/SmtpConnImpl.h"

#include <algorithm>
#include <cstring>

namespace ostmail {

namespace {

const char kSettingsHint[] = "Check your username/password or your SMTP server's auth settings";

bool credentialsGiven(XString& login, XString& password, LogBase& log) {
    if (login.isEmpty() || password.isEmpty()) {
        log.LogError("Username and/or password is empty");
        return false;
    }
    return true;
}

void decodeAfterCode(const StringBuffer& line, DataBuffer& out) {
    if (line.getSize() > 4) ContentCoding::decodeBase64(line.getString() + 4, line.getSize() - 4, out);
}

}  // namespace

// One line of base64 and CRLF, never recorded: it carries credentials.
bool SmtpConnImpl::sendBase64Line(const void* data, size_t n, LogBase& log, ProgressMonitor* pm) {
    StringBuffer line;
    ContentCoding::encodeBase64Flat(data, n, line);
    line.append("\r\n");
    bool ok = sendUnrecorded(line.getString(), line.getSize(), log, pm);
    line.strongClear();
    return ok;
}

// A command whose argument is a secret: the transcript keeps its name and
// the marker, the wire gets all of it. command is wiped.
bool SmtpConnImpl::sendSecretCommand(const char* name, StringBuffer& command, int expected, LogBase& log,
                                     ProgressMonitor* pm, SocketFlags& flags) {
    StringBuffer shown(name);
    shown.append(LogBase::kSecretMarker);
    shown.append("\r\n");
    SmtpProtocol::recordWrite(m_transcript, shown.getString(), shown.getSize());
    bool sent = sendUnrecorded(command.getString(), command.getSize(), log, pm);
    command.strongClear();
    if (!sent) return false;
    int code;
    StringBuffer response;
    return readResponse(expected, code, response, log, pm, flags);
}

bool SmtpConnImpl::authLogin(XString& login, XString& password, LogBase& log, ProgressMonitor* pm,
                             SocketFlags& flags) {
    if (!credentialsGiven(login, password, log)) return false;
    if (!sendCommand("AUTH LOGIN\r\n", 334, log, pm, flags)) {
        log.LogError("Failed to send AUTH LOGIN");
        logTranscript(log);
        return false;
    }
    // The 334 prompts are not read: the name always goes first.
    const char* name = login.getAnsi();
    if (!sendBase64Line(name, std::strlen(name), log, pm)) {
        log.LogError("Failed to send login name");
        return false;
    }
    StringBuffer line;
    if (!readSingleLineReply(334, line, log, pm, flags)) {
        log.LogError("Failed to get response to login name");
        log.LogError(kSettingsHint);
        logTranscript(log);
        return false;
    }
    const char* pw = password.getAnsi();
    if (!sendBase64Line(pw, std::strlen(pw), log, pm)) {
        log.LogError("Failed to send login password");
        return false;
    }
    if (!readSingleLineReply(235, line, log, pm, flags)) {
        log.LogError("Failed to get response to login password");
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authPlain(XString& login, XString& password, LogBase& log, ProgressMonitor* pm,
                             SocketFlags& flags) {
    if (!credentialsGiven(login, password, log)) return false;
    // RFC 4616: authorization identity, NUL, authentication identity, NUL, password.
    const char* name = login.getAnsi();
    const char* pw = password.getAnsi();
    DataBuffer msg;
    msg.append(name, std::strlen(name));
    msg.appendByte(0);
    msg.append(name, std::strlen(name));
    msg.appendByte(0);
    msg.append(pw, std::strlen(pw));
    StringBuffer cmd("AUTH PLAIN ");
    ContentCoding::encodeBase64Flat(msg.getData(), msg.getSize(), cmd);
    cmd.append("\r\n");
    std::fill_n(msg.getMutable(), msg.getSize(), 0);
    SmtpProtocol::limitCommand(cmd);
    bool ok = sendSecretCommand("AUTH PLAIN ", cmd, 235, log, pm, flags);
    if (!ok) logTranscript(log);
    return ok;
}

bool SmtpConnImpl::authCramMd5(XString& login, XString& password, LogBase& log, ProgressMonitor* pm,
                               SocketFlags& flags) {
    if (!credentialsGiven(login, password, log)) return false;
    static const char kCommand[] = "AUTH CRAM-MD5\r\n";
    if (!sendRecorded(kCommand, sizeof kCommand - 1, log, pm)) return false;
    StringBuffer line;
    if (!readSingleLineReply(334, line, log, pm, flags)) return false;
    DataBuffer challenge;
    decodeAfterCode(line, challenge);
    const char* pw = password.getAnsi();
    StringBuffer answer;
    CramMD5::response(login.getAnsi(), pw, std::strlen(pw), challenge.getData(), challenge.getSize(), answer);
    if (!sendBase64Line(answer.getString(), answer.getSize(), log, pm)) {
        log.LogError("Failed to send CRAM-MD5 response");
        return false;
    }
    if (!readSingleLineReply(235, line, log, pm, flags)) {
        log.LogError("Failed to get successful CRAM-MD5 response");
        log.LogError(kSettingsHint);
        logTranscript(log);
        return false;
    }
    return true;
}

}  // namespace ostmail
