#include "core/LogBase.h"
#include "smtp/SmtpConnCredentials.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpSecurity.h"
#include "net/SChannelWin32.h"

namespace ostmail {

namespace {

const char* authName(int kind) {
    static const char* const kNames[] = {"NONE", "LOGIN", "NTLM", "MSN", "CRAM_MD5", "PLAIN"};
    return kNames[kind];
}

}  // namespace

// Preference order LOGIN, NTLM, MSN, CRAM-MD5, PLAIN; only the first runs.
// Where a clear-text login would be refused, NTLM or CRAM-MD5 go first.
SmtpConnImpl::AuthKind SmtpConnImpl::chosenAuth(Credentials& cred) const {
    if (!cred.present()) return AuthKind::None;
    bool avoidClear = m_refuseClearTextLogin && !tlsPeerAuthenticated() && (m_caps.ntlm || m_caps.cramMd5);
    if (m_caps.login && !avoidClear) return AuthKind::Login;
    if (m_caps.ntlm) return AuthKind::Ntlm;
    if (m_caps.msn && !avoidClear) return AuthKind::Msn;
    if (m_caps.cramMd5) return AuthKind::CramMd5;
    if (m_caps.plain && !avoidClear) return AuthKind::Plain;
    if (m_caps.digestMd5 || m_caps.gssapi || m_caps.kerberosV4 || m_caps.anonymous) return AuthKind::Unsupported;
    return AuthKind::None;
}

bool SmtpConnImpl::authenticate(Credentials& cred, LogBase& log, ProgressMonitor* pm, SocketFlags& flags) {
    AuthKind kind = chosenAuth(cred);
    if (kind == AuthKind::None) {
        log.LogData("login_method", "NONE or already authenticated");
        return true;
    }
    if (kind == AuthKind::Unsupported) {
        // Listed but without an exchange here: carry on unauthenticated.
        if (m_caps.digestMd5) {
            log.LogData("login_method", "DIGEST-MD5");
            log.LogError("DIGEST-MD5 login method not supported");
        } else if (m_caps.gssapi) {
            log.LogData("login_method", "GSSAPI");
            log.LogError("GSSAPI login method not supported");
        } else if (m_caps.kerberosV4) {
            log.LogData("login_method", "Kerberos-V4");
            log.LogError("Kerberos v4 login method not supported");
        } else {
            log.LogData("login_method", "anonymous");
            log.LogError("Anonymous login method not supported");
        }
        return true;
    }
    log.LogData("login_method", authName(static_cast<int>(kind)));
    return runAuth(kind, cred, log, pm, flags);
}

bool SmtpConnImpl::runAuth(AuthKind kind, Credentials& cred, LogBase& log, ProgressMonitor* pm,
                           SocketFlags& flags) {
    if (clearTextRefused(authName(static_cast<int>(kind)), log)) return false;
    bool ok = false;
    bool fallback = false;
    const char* failLine = "";
    switch (kind) {
        case AuthKind::Login:
            ok = authLogin(cred.login, cred.password, log, pm, flags);
            failLine = "Failed to login using LOGIN method";
            break;
        case AuthKind::Ntlm:
            ok = authNtlm(cred.domain, cred.login, cred.password, log, fallback, pm, flags);
            failLine = "Failed to login using NTLM method";
            break;
        case AuthKind::Msn:
            ok = authMsn(cred.domain, cred.login, cred.password, log, fallback, pm, flags);
            failLine = "Failed to login using MSN method";
            break;
        case AuthKind::CramMd5:
            ok = authCramMd5(cred.login, cred.password, log, pm, flags);
            failLine = "Failed to login using CRAM-MD5 method";
            break;
        case AuthKind::Plain:
            ok = authPlain(cred.login, cred.password, log, pm, flags);
            failLine = "Failed to login using PLAIN method";
            break;
        default:
            return true;
    }
    if (ok) return true;
    if (fallback) {
        log.LogData("alt_login_method", "LOGIN");
        return runAuth(AuthKind::Login, cred, log, pm, flags);
    }
    log.LogInfo(failLine);
    return false;
}

bool SmtpConnImpl::tlsPeerAuthenticated() const {
    const SChannelWin32* tls = m_conn.tlsChannel().impl();
    return m_conn.isTls() && tls && tls->serverAuthenticated();
}

// Refused before any AUTH line goes out.
bool SmtpConnImpl::clearTextRefused(const char* mechanism, LogBase& log) {
    if (!m_refuseClearTextLogin || !SmtpSecurity::carriesSecret(mechanism) || tlsPeerAuthenticated()) return false;
    log.LogError(SmtpSecurity::kClearTextRefusal);
    return true;
}

}  // namespace ostmail
