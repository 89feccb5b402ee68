#include "core/LogBase.h"
#include "smtp/SmtpConnCredentials.h"
#include "smtp/SmtpConnImpl.h"

#include <cstring>

namespace ostmail {

namespace {

constexpr uint32_t kNoLimitMs = 2160000000u;
// Host names we refuse to talk to; none at present.
constexpr const char* kRefusedHostFragment = "";
// Logins of this provider need STARTTLS after EHLO and default to LOGIN
// when the server lists no mechanism.
constexpr const char* kLateStartTlsLogin = "@hotmail.com";

bool sameText(XString& a, XString& b) {
    return std::strcmp(a.getUtf8(), b.getUtf8()) == 0;
}

void copyTrimmed(const XString& from, XString& to) {
    to = from;
    to.trim();
}

bool lateStartTlsLogin(XString& login) {
    StringBuffer sb(login.getUtf8());
    return sb.containsSubstringNoCase(kLateStartTlsLogin);
}

void logHostPort(LogBase& log, const char* fmt, const char* host, int port) {
    StringBuffer line;
    line.appendFormat(fmt, host, port);
    log.LogInfo(line.getString());
}

}  // namespace

bool SmtpConnImpl::smtpConnect(const char* host, int port, const XString& login, const XString& password,
                               const XString& domain, const XString& authMethod, int connectTimeoutSecs,
                               uint32_t readTimeoutMs, ClsSocksClient* socks, LogBase& log, ProgressMonitor* pm,
                               bool& timedOut, bool& aborted) {
    SocketFlags flags;
    Credentials cred;
    m_rsetPending = false;
    copyTrimmed(login, cred.login);
    copyTrimmed(password, cred.password);
    copyTrimmed(domain, cred.domain);
    XString method;
    copyTrimmed(authMethod, method);
    cred.method.setString(method.getUtf8());
    cred.askedLogin = cred.login;
    cred.askedPassword = cred.password;
    m_lastReplyCode = 0;
    m_tokenRefused = false;
    m_readTimeoutMs = readTimeoutMs;

    StringBuffer hostSb(host ? host : "");
    bool ok;
    m_stage = SmtpStage::Connect;
    if (reuseExistingConnection(hostSb, port, cred, log, pm, flags)) {
        m_conn.LogConnectionType(log);
        ok = true;
    } else {
        ok = connectSteps(hostSb.getString(), port, cred, connectTimeoutSecs, socks, log, pm, flags);
    }
    if (ok) m_stage = SmtpStage::Ready;
    timedOut = flags.timedOut;
    aborted = flags.aborted;
    return ok;
}

bool SmtpConnImpl::reuseExistingConnection(const StringBuffer& host, int port, Credentials& cred, LogBase& log,
                                           ProgressMonitor* pm, SocketFlags& flags) {
    StringBuffer wanted(host);
    wanted.toLowerCase();
    wanted.trimWhitespace();
    if (!wanted.equals(m_rememberedHost) || port != m_rememberedPort || !sameText(cred.login, m_rememberedLogin) ||
        !sameText(cred.password, m_rememberedPassword) || !sameText(cred.domain, m_rememberedDomain)) {
        log.LogInfo("Need new SMTP connection");
        m_conn.Close(m_heartbeatMs, m_readTimeoutMs, log, pm);
        return false;
    }
    if (!m_conn.IsConnected()) {
        log.LogInfo(m_tlsOnConnect || m_startTls ? "No secure connection, need new SMTP connection."
                                                 : "No connection, need new SMTP connection.");
        return false;
    }
    log.LogInfo("Sending RSET command..");
    // A server that has hung up or said 421 meanwhile is seen here, before
    // anything goes out, so that a new connection can still be made.
    if (m_pipelining && m_caps.pipelining && !m_conn.inputWaiting()) {
        m_rsetPending = true;
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    if (sendCommand("RSET\r\n", 250, log, pm, flags)) {
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    log.LogError("RSET failed.");
    m_conn.Close(m_heartbeatMs, m_readTimeoutMs, log, pm);
    return false;
}

// Everything after the reuse check: a new connection from the TCP connect
// to the login.
bool SmtpConnImpl::connectSteps(const char* host, int port, Credentials& cred, int connectTimeoutSecs,
                                ClsSocksClient* socks, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    m_transcript.clear();
    uint32_t idleMs = m_readTimeoutMs ? m_readTimeoutMs : kNoLimitMs;
    if (cred.method.equalsIgnoreCase("ntlm")) {
        if (cred.login.isEmpty()) cred.login.setFromUtf8("default");
        if (cred.password.isEmpty()) cred.password.setFromUtf8("default");
    }
    if (cred.login.isEmpty()) log.LogInfo("No SMTP login provided.");
    if (cred.password.isEmpty()) log.LogInfo("No SMTP password provided.");
    if (!cred.present()) {
        cred.method.setString("NONE");
        cred.login.clear();
        cred.password.clear();
        log.LogInfo("Skipping SMTP authentication because no login/password provided.");
    }

    LogContextExitor ctx(log, "SMTP_Connect");
    if (!*host) {
        log.LogError("No hostname");
        return false;
    }
    if (!logConnectStart(host, port, cred, log)) return false;
    if (!openAndGreet(host, port, connectTimeoutSecs, idleMs, socks, log, pm, flags)) return false;
    m_stage = SmtpStage::Tls;

    bool late = m_startTls && lateStartTlsLogin(cred.login);
    if (m_startTls && !late) {
        log.LogInfo("Sending STARTTLS (1)...");
        if (!startTlsExchange(log, pm, flags) || !upgradeToTls(connectTimeoutSecs, idleMs, log, pm))
            return false;
    }
    if (!late) m_stage = SmtpStage::Hello;
    bool ehloOk = false;
    if (!sayEhlo(ehloOk, log, pm, flags)) return false;
    if (late) {
        log.LogInfo("Sending STARTTLS (2)...");
        if (!startTlsExchange(log, pm, flags) || !upgradeToTls(connectTimeoutSecs, idleMs, log, pm))
            return false;
    }
    if (!late && !startTlsIfOffered(ehloOk, connectTimeoutSecs, idleMs, log, pm, flags)) return false;
    if (isTokenMethod(cred.method)) {
        m_stage = SmtpStage::Login;
        if (!tokenLogin(ehloOk, host, port, cred, log, pm, flags)) return false;
    } else {
        chooseForcedMethod(cred, log);
        if (!ehloOk) return heloFallback(host, port, cred, log, pm, flags);
        if (cred.present() && !(m_caps.login || m_caps.ntlm || m_caps.msn || m_caps.cramMd5)) {
            log.LogInfo("This SMTP server did not list authentication methods.");
            if (lateStartTlsLogin(cred.login)) {
                log.LogInfo("Defaulting to LOGIN authentication method.");
                m_caps.login = true;
            }
        }
        m_stage = SmtpStage::Login;
        if (!authenticate(cred, log, pm, flags)) return false;
    }

    logHostPort(log, "CONNECTED to ESMTP server %s:%d", host, port);
    rememberIdentity(StringBuffer(host), port, cred);
    m_conn.LogConnectionType(log);
    return true;
}

bool SmtpConnImpl::logConnectStart(const char* host, int port, Credentials& cred, LogBase& log) {
    logHostPort(log, "Connecting to SMTP server %s:%d", host, port);
    StringBuffer lowered(host);
    lowered.toLowerCase();
    if (*kRefusedHostFragment && lowered.containsSubstring(kRefusedHostFragment)) {
        log.LogError("SMTP protocol failure");
        return false;
    }
    log.LogData("smtp_host", host);
    log.LogDataLong("smtp_port", port);
    if (!cred.domain.isEmpty()) log.LogData("domain", cred.domain.getUtf8());
    log.LogData("smtp_user", cred.login.isEmpty() ? "NULL" : cred.login.getUtf8());
    if (!cred.method.isEmpty()) log.LogData("auth-method", cred.method.getString());
    return true;
}

bool SmtpConnImpl::openAndGreet(const char* host, int port, int connectTimeoutSecs, uint32_t idleMs,
                                ClsSocksClient* socks, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    if (connectTimeoutSecs != 0) m_conn.setConnectTimeoutSecs(static_cast<uint32_t>(connectTimeoutSecs));
    m_conn.setIdleTimeoutMs(idleMs);
    bool aborted = false;
    uint32_t failReason = 0;
    if (!m_conn.Connect(host, port, m_tlsOnConnect, m_heartbeatMs, static_cast<uint32_t>(connectTimeoutSecs) * 1000,
                        socks, aborted, failReason, log, pm)) {
        if (aborted || failReason == VelmoraSocket::kConnectAborted) flags.aborted = true;
        if (failReason == VelmoraSocket::kConnectDnsTimeout || failReason == VelmoraSocket::kConnectTimeout)
            flags.timedOut = true;
        log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    m_replyBytes = 0;
    m_stage = SmtpStage::Greeting;
    StringBuffer greeting;
    bool ok = readCollectedReply(220, greeting, log, pm, flags);
    log.LogData("InitialResponse", greeting.getString());
    if (!ok) {
        log.LogError("Failed to get initial SMTP response..");
        log.LogError("The SMTP server may be denying access for this domain.");
    }
    return ok;
}

}  // namespace ostmail
