#include "core/LogBase.h"
#include "net/SChannel.h"
#include "platform/SysInfo.h"
#include "smtp/SmtpConnCredentials.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpSecurity.h"

namespace ostmail {

namespace {

void buildCommand(const char* verb, const char* arg, StringBuffer& cmd) {
    cmd.setString(verb);
    SmtpProtocol::appendArg(cmd, arg);
    cmd.append("\r\n");
    SmtpProtocol::limitCommand(cmd);
}

}  // namespace

// STARTTLS sent before EHLO draws 503 from servers that want EHLO first:
// say EHLO, then ask again.
bool SmtpConnImpl::startTlsExchange(LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    static const char kStartTls[] = "STARTTLS\r\n";
    if (!sendUnrecorded(kStartTls, sizeof kStartTls - 1, log, pm)) {
        log.LogError("Failed to send STARTTLS");
        return false;
    }
    StringBuffer line;
    if (readSingleLineReply(220, line, log, pm, flags)) return true;
    if (m_lastReplyCode != 503) {
        log.LogError("Failed to receive STARTTLS response");
        return false;
    }
    log.LogInfo("Received 503 SMTP Status...");
    StringBuffer name, cmd, reply;
    helloName(name);
    buildCommand("EHLO ", name.getString(), cmd);
    if (!sendUnrecorded(cmd.getString(), cmd.getSize(), log, pm)) {
        log.LogError("Failed to send Hello (EHLO)");
        return false;
    }
    if (!readCollectedReply(250, reply, log, pm, flags)) {
        log.LogError("Failed to get EHLO response (2)");
        return false;
    }
    log.LogInfo("Resending STARTTLS...");
    if (!sendUnrecorded(kStartTls, sizeof kStartTls - 1, log, pm)) {
        log.LogError("Failed to send STARTTLS (2)");
        return false;
    }
    if (!readSingleLineReply(220, line, log, pm, flags)) {
        log.LogError("Failed to receive STARTTLS response (2)");
        return false;
    }
    return true;
}

bool SmtpConnImpl::upgradeToTls(int connectTimeoutSecs, uint32_t idleMs, LogBase& log, ProgressMonitor* pm) {
    if (connectTimeoutSecs != 0) m_conn.setConnectTimeoutSecs(static_cast<uint32_t>(connectTimeoutSecs));
    m_conn.setIdleTimeoutMs(idleMs);
    if (SChannelWin32* tls = m_conn.tlsChannel().impl()) tls->setProtocol("default");
    if (!m_conn.ConvertToTls(m_heartbeatMs, idleMs, log, pm)) {
        log.LogError("Failed to establish TLS connection.");
        return false;
    }
    log.LogInfo("TLS connection established.");
    return true;
}

// A server that lists STARTTLS gets it, then a fresh EHLO inside TLS
// (RFC 3207 4.2), whose mechanisms join those already seen.
bool SmtpConnImpl::startTlsIfOffered(bool& ehloOk, int connectTimeoutSecs, uint32_t idleMs, LogBase& log,
                                     ProgressMonitor* pm, SocketFlags& flags) {
    if (!m_startTlsWhenOffered || m_startTls || m_tlsOnConnect || m_conn.isTls() || !ehloOk ||
        !SmtpSecurity::offersStartTls(m_ehloReply))
        return true;
    log.LogInfo("The server offers STARTTLS: upgrading.");
    if (!startTlsExchange(log, pm, flags) || !upgradeToTls(connectTimeoutSecs, idleMs, log, pm)) return false;
    return sayEhlo(ehloOk, log, pm, flags);
}

// RFC 5321 section 4.1.4: a client without a name gives its address.
void SmtpConnImpl::helloName(StringBuffer& out) const {
    out.setString(m_heloHostname);
    if (out.isEmpty()) out.setString(platform::computerName().c_str());
    platform::SocketAddress local;
    if (out.isEmpty() && m_dualStack && m_conn.carrier().localAddress(local)) {
        out.setString(local.family == 6 ? "[IPv6:" : "[");
        out.append(platform::addressText(local).c_str());
        out.append("]");
    }
    if (out.isEmpty()) out.setString("localhost");
}

// False only when EHLO could not be written; ehloOk tells whether the
// server took it.
bool SmtpConnImpl::sayEhlo(bool& ehloOk, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    StringBuffer name, cmd, reply;
    helloName(name);
    log.LogData("sendingHello", name.getString());
    buildCommand("EHLO ", name.getString(), cmd);
    if (!sendUnrecorded(cmd.getString(), cmd.getSize(), log, pm)) {
        log.LogError("Failed to send Hello (EHLO)");
        log.LogData("hostname", name.getString());
        return false;
    }
    ehloOk = readEhloReply(reply, log, pm, flags);
    m_ehloReply.setString(reply);
    log.LogData("helloResponse", reply.getString());
    return true;
}

bool SmtpConnImpl::readEhloReply(StringBuffer& reply, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    StringBuffer line;
    m_caps.pipelining = false;
    m_caps.smtputf8 = false;
    for (;;) {
        if (!readSingleLineReply(250, line, log, pm, flags)) {
            reply.append(line);
            return false;
        }
        reply.append(line);
        if (line.getSize() > 4) {
            StringBuffer text(line.getString() + 4);
            text.trimTrailingWhitespace();
            m_caps.applyEhloText(text.getString());
        }
        if (SmtpProtocol::isLastEhloLine(line)) return true;
    }
}

bool SmtpConnImpl::heloFallback(const char* host, int port, Credentials& cred, LogBase& log, ProgressMonitor* pm,
                                SocketFlags& flags) {
    log.LogError("EHLO failed, sending HELO...");
    StringBuffer name, cmd, reply;
    helloName(name);
    buildCommand("HELO ", name.getString(), cmd);
    if (!sendUnrecorded(cmd.getString(), cmd.getSize(), log, pm)) {
        log.LogError("Failed to send Hello");
        return false;
    }
    if (!readSingleLineReply(250, reply, log, pm, flags)) {
        log.LogError("Failed to get response to Hello (HELO)");
        buildCommand("HELO ", host, cmd);
        if (!sendUnrecorded(cmd.getString(), cmd.getSize(), log, pm)) {
            log.LogError("Failed to send Hello");
            return false;
        }
        int code;
        if (!readResponse(250, code, reply, log, pm, flags, false, true)) {
            log.LogError("Failed to get response to 2nd-try Hello (HELO)");
            return false;
        }
    }
    reply.trimWhitespace();
    log.LogData("HeloResponse", reply.getString());
    cred.method.toUpperCase();
    // After HELO only a forced LOGIN or PLAIN may run.
    AuthKind kind = AuthKind::None;
    if (cred.present() && cred.method.equals("LOGIN")) kind = AuthKind::Login;
    if (cred.present() && cred.method.equals("PLAIN")) kind = AuthKind::Plain;
    if (kind == AuthKind::None) {
        log.LogData("login_method", "NONE");
    } else {
        log.LogData("login_method", cred.method.getString());
        m_stage = SmtpStage::Login;
        if (!runAuth(kind, cred, log, pm, flags)) return false;
    }
    StringBuffer done;
    done.appendFormat("CONNECTED to SMTP server %s:%d", host, port);
    log.LogInfo(done.getString());
    rememberIdentity(StringBuffer(host), port, cred);
    return true;
}

void SmtpConnImpl::chooseForcedMethod(Credentials& cred, LogBase& log) {
    if (cred.login.equalsUtf8("default") && cred.password.equalsUtf8("default")) {
        log.LogInfo("Username/password is default/default, therefore using NTLM.");
        cred.method.setString("ntlm");
    }
    if (cred.method.isEmpty()) return;
    cred.method.toUpperCase();
    log.LogData("smtpAuthMethod", cred.method.getString());
    m_caps.force(cred.method);
}

void SmtpConnImpl::rememberIdentity(const StringBuffer& host, int port, const Credentials& cred) {
    m_rememberedHost.setString(host);
    m_rememberedHost.toLowerCase();
    m_rememberedHost.trimWhitespace();
    m_rememberedPort = port;
    m_rememberedLogin = cred.askedLogin;
    m_rememberedPassword = cred.askedPassword;
    m_rememberedDomain = cred.domain;
    m_rememberedTls = m_tlsOnConnect;
    m_rememberedStartTls = m_startTls;
}

}  // namespace ostmail
