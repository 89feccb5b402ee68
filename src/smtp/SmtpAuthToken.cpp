#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "smtp/OAuthBearer.h"
#include "smtp/SmtpConnCredentials.h"
#include "smtp/SmtpConnImpl.h"

#include <cstring>

namespace ostmail {

bool SmtpConnImpl::isTokenMethod(const StringBuffer& method) {
    return method.equalsIgnoreCase("XOAUTH2") || method.equalsIgnoreCase("OAUTHBEARER");
}

// A token goes only to the mechanism named for it, and only when the server
// offers that one: no password mechanism is ever tried instead.
bool SmtpConnImpl::tokenLogin(bool ehloOk, const char* host, int port, Credentials& cred, LogBase& log,
                              ProgressMonitor* pm, SocketFlags& flags) {
    cred.method.toUpperCase();
    log.LogData("smtpAuthMethod", cred.method.getString());
    bool bearer = cred.method.equals("OAUTHBEARER");
    if (!ehloOk || !(bearer ? m_caps.oauthBearer : m_caps.xoauth2)) {
        log.LogError(bearer ? "The SMTP server does not offer OAUTHBEARER" : "The SMTP server does not offer XOAUTH2");
        return false;
    }
    log.LogData("login_method", cred.method.getString());
    if (clearTextRefused(cred.method.getString(), log)) return false;
    if (authToken(bearer, cred.login, cred.password, host, port, log, pm, flags)) return true;
    log.LogInfo(bearer ? "Failed to login using OAUTHBEARER method" : "Failed to login using XOAUTH2 method");
    return false;
}

bool SmtpConnImpl::authToken(bool bearer, XString& login, XString& token, const char* host, int port, LogBase& log,
                             ProgressMonitor* pm, SocketFlags& flags) {
    m_tokenRefused = false;
    const char* tok = token.getUtf8();
    if (!OAuthBearer::tokenUsable(tok)) {
        log.LogError("The access token holds a CR, LF or 0x01 byte; it was not sent");
        return false;
    }
    StringBuffer msg;
    if (bearer)
        OAuthBearer::oauthBearerMessage(login.getUtf8(), host, port, tok, msg);
    else
        OAuthBearer::xoauth2Message(login.getUtf8(), tok, msg);
    const char* name = bearer ? "AUTH OAUTHBEARER " : "AUTH XOAUTH2 ";
    StringBuffer cmd(name);
    ContentCoding::encodeBase64Flat(msg.getString(), msg.getSize(), cmd);
    cmd.append("\r\n");
    msg.strongClear();
    if (sendSecretCommand(name, cmd, 235, log, pm, flags)) return true;
    if (m_lastReplyCode == 334) {
        logTokenRefusal(log);
        const char* answer = OAuthBearer::refusalAnswer(bearer);
        int code;
        StringBuffer response;
        if (sendRecorded(answer, static_cast<uint32_t>(std::strlen(answer)), log, pm))
            readResponse(235, code, response, log, pm, flags);
        m_tokenRefused = true;
    }
    if (m_lastReplyCode == 535) m_tokenRefused = true;
    logTranscript(log);
    return false;
}

// RFC 7628 3.2.2: the 334 line carries a base64 JSON object.
void SmtpConnImpl::logTokenRefusal(LogBase& log) {
    StringBuffer text(m_lastReply.getString() + (m_lastReply.getSize() > 4 ? 4 : m_lastReply.getSize()));
    text.trimWhitespace();
    DataBuffer json;
    OAuthBearer::ServerError error;
    bool decoded = ContentCoding::isBase64(text.getString(), text.getSize()) &&
                   ContentCoding::decodeBase64(text.getString(), text.getSize(), json);
    if (!decoded || !OAuthBearer::parseServerError(reinterpret_cast<const char*>(json.getData()), json.getSize(),
                                                    error)) {
        log.LogError("The server's refusal is not base64 JSON");
        log.LogData("serverChallenge", text.getString());
        return;
    }
    log.LogError("The server refused the access token");
    if (!error.status.empty()) log.LogData("status", error.status.c_str());
    if (!error.schemes.empty()) log.LogData("schemes", error.schemes.c_str());
    if (!error.scope.empty()) log.LogData("scope", error.scope.c_str());
}

}  // namespace ostmail
