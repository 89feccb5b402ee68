#include "net/SChannelWin32.h"

#include "core/LogBase.h"
#include "core/ProgressMonitor.h"
#include "net/HttpConnect.h"

#include <cstdio>
#include <cstring>

namespace ostmail {

using namespace platform;

namespace {

TlsProvider* securityLibrary(LogBase& log) {
    TlsProvider* p = tlsProvider();
    if (!p) {
        log.LogError("Error loading security library");
        log.LogData("securityLib", tlsLibraryName());
    }
    return p;
}

const char* protocolText(uint32_t bits) {
    if (bits & SP_PROT_PCT1) return "PCT";
    if (bits & SP_PROT_SSL2) return "SSL2";
    if (bits & SP_PROT_SSL3) return "SSL3";
    return "TLS1";
}

}  // namespace

SChannelWin32::SChannelWin32() = default;

SChannelWin32::~SChannelWin32() = default;

void SChannelWin32::setHttpProxy(const char* host, uint32_t port, const char* user, const char* password) {
    m_proxyHost.setString(host ? host : "");
    m_proxyPort = port;
    m_proxyUser.setString(user ? user : "");
    m_proxyPassword.setString(password ? password : "");
    m_useHttpProxy = !m_proxyHost.isEmpty();
}

void SChannelWin32::setRequiredCertificate(const char* field, const char* value) {
    m_requiredCertField.setString(field ? field : "");
    m_requiredCertValue.setString(value ? value : "");
}

bool SChannelWin32::EstablishChannel(uint32_t heartbeatMs, uint32_t connectTimeoutMs, uint32_t idleTimeoutMs,
                                     LogBase& log, ProgressMonitor* pm) {
    CallScope scope(*this, heartbeatMs, pm, connectTimeoutMs, idleTimeoutMs);
    return establishCommon(false, nullptr, log);
}

bool SChannelWin32::EstablishChannel2(VelmoraSocket& sock, uint32_t heartbeatMs, uint32_t idleTimeoutMs,
                                      LogBase& log, ProgressMonitor* pm) {
    CallScope scope(*this, heartbeatMs, pm, 0, idleTimeoutMs);
    if (!m_verbose) return establishCommon(true, &sock, log);
    LogContextExitor ctx(log, "EstablishChannel2");
    return establishCommon(true, &sock, log);
}

bool SChannelWin32::establishCommon(bool starttls, VelmoraSocket* takeFrom, LogBase& log) {
    if (!prepareEstablish(log)) return false;
    if (takeFrom) {
        m_socket.takeConnectionFrom(*takeFrom);
        m_socket.setIdleTimeoutMs(m_call.idleTimeoutMs);
    } else if (!connectSocket(log)) {
        return false;
    }
    if (!performHandshake(log)) {
        log.LogError(starttls ? "Error performing handshake." : "Error performing handshake");
        m_lastStatus = kStatusHandshakeFailed;
        releaseSecurity();
        m_socket.Close();
        return false;
    }
    return afterHandshake(starttls, log);
}

bool SChannelWin32::prepareEstablish(LogBase& log) {
    m_serverCert.reset();
    m_serverCertVerified = false;
    m_pinMatched = false;
    m_certProblem.clear();
    m_connInfo = TlsConnectionInfo();
    m_lastStatus = 0;
    m_extraConnectData.clear();
    m_pending.clear();
    if (!securityLibrary(log)) {
        m_lastStatus = kStatusNoLibrary;
        return false;
    }
    releaseSecurity();
    m_socket.Close();
    if (!createCredentials(log)) {
        m_lastStatus = kStatusNoCredentials;
        return false;
    }
    return true;
}

bool SChannelWin32::createCredentials(LogBase& log) {
    TlsCredentialSettings settings;
    settings.protocolMask = m_protocolMask;
    settings.tls12AtLeast = m_tls12AtLeast;
    for (uint32_t alg : {m_cipherAlg, m_hashAlg, m_keyExchangeAlg})
        if (alg) settings.algorithms.push_back(alg);
    uint32_t status = tlsProvider()->AcquireCredentials(settings, m_credentials);
    if (status == SEC_E_OK) return true;
    log.LogDataHex("Error returned by AcquireCredentialsHandle", status);
    log.LogError("Error creating credentials");
    return false;
}

bool SChannelWin32::connectSocket(LogBase& log) {
    const StringBuffer& host = m_useHttpProxy ? m_proxyHost : m_hostname;
    uint32_t port = m_useHttpProxy ? m_proxyPort : m_port;
    m_socket.setConnectTimeoutMs(m_call.connectTimeoutMs);
    bool aborted = false;
    if (!m_socket.Connect(host.getString(), static_cast<int>(port), m_call.heartbeatMs, aborted, log, m_call.pm)) {
        uint32_t reason = m_socket.connectFailReason();
        m_lastStatus = reason ? reason : static_cast<uint32_t>(VelmoraSocket::kConnectFailed);
        return false;
    }
    if (m_useHttpProxy && !proxyConnect(log)) {
        log.LogError("HTTP proxy CONNECT failed.");
        m_lastStatus = kStatusProxyFailed;
        m_socket.Close();
        return false;
    }
    return true;
}

bool SChannelWin32::proxyConnect(LogBase& log) {
    return HttpConnect::tunnel(m_socket, m_hostname.getString(), m_port, m_proxyUser.getString(),
                               m_proxyPassword.getString(), m_call.heartbeatMs, log, m_call.pm);
}

bool SChannelWin32::afterHandshake(bool starttls, LogBase& log) {
    std::shared_ptr<TlsCertificate> cert;
    if (tlsProvider()->QueryRemoteCertificate(*m_context, cert) != SEC_E_OK || !cert) {
        log.LogError("Error querying remote certificate");
        forceClose();
        m_lastStatus = kStatusNoServerCert;
        return false;
    }
    m_serverCert = cert;
    tlsProvider()->QueryConnectionInfo(*m_context, m_connInfo);  // kept for the user, even on a refusal
    if (verifyServerCertificate(log)) {
        log.LogInfo(starttls ? "SSL Server Certificate verified." : "SSL Server Certificate verified");
        m_serverCertVerified = true;
    } else {
        log.LogInfo(starttls ? "(warning) SSL Server Certificate not verified."
                             : "(warning) SSL Server Certificate not verified");
        if (m_requireVerified) {
            log.LogError(("Server certificate refused: " + m_certProblem).c_str());
            log.LogError("Failed to verify server certificate");
            forceClose();
            m_lastStatus = kStatusCertNotVerified;
            return false;
        }
    }
    if (!checkPinnedKey(log)) {
        forceClose();
        m_lastStatus = kStatusCertNotVerified;
        return false;
    }
    logConnectionInfo(log);
    if (!checkRequiredCertificate(log)) {
        forceClose();
        m_lastStatus = kStatusCertNotVerified;
        return false;
    }
    log.LogInfo("Secure Channel Established.");
    return true;
}

void SChannelWin32::logConnectionInfo(LogBase& log) {
    LogContextExitor ctx(log, "ConnectionInfo");
    TlsConnectionInfo info;
    if (tlsProvider()->QueryConnectionInfo(*m_context, info) != SEC_E_OK) {
        log.LogError("Error querying context attributes");
        return;
    }
    log.LogData("protocol", protocolText(info.protocol));
    const char* cipher = nullptr;
    switch (info.cipher) {
    case CALG_RC4: cipher = "ARC4"; break;
    case CALG_3DES: cipher = "Triple DES"; break;
    case CALG_RC2: cipher = "RC2"; break;
    case CALG_SKIPJACK: cipher = "SKIPJACK"; break;
    case CALG_DES: cipher = "DES"; break;
    default: break;  // newer ciphers go by the library's own name
    }
    log.LogData("cipher", cipher ? cipher : info.cipherName.c_str());
    log.LogDataLong("cipherStrength", static_cast<int32_t>(info.cipherStrength));
    const char* hash = info.hash == CALG_SHA1 ? "SHA" : info.hash == CALG_MD5 ? "MD5" : info.hashName.c_str();
    log.LogData("hash", hash);
    log.LogDataLong("hashStrength", static_cast<int32_t>(info.hashStrength));
    const char* kx = info.keyExchange == CALG_RSA_KEYX     ? "RSA"
                     : info.keyExchange == CALG_KEA_KEYX   ? "KEA"
                     : info.keyExchange == CALG_DH_EPHEM || info.keyExchange == CALG_ECDH_EPHEM
                         ? "DH Ephemeral"
                         : info.keyExchangeName.c_str();
    log.LogData("keyExchange", kx);
    log.LogDataLong("keyExchangeStrength", static_cast<int32_t>(info.keyExchangeStrength));
}

bool SChannelWin32::checkRequiredCertificate(LogBase& log) {
    if (m_requiredCertField.isEmpty() || m_requiredCertValue.isEmpty()) return true;
    std::string certValue;
    if (m_requiredCertField.equalsIgnoreCase("subjectdn")) certValue = m_serverCert->subjectDn();
    else if (m_requiredCertField.equalsIgnoreCase("subjectcn")) certValue = m_serverCert->subjectCn();
    else if (m_requiredCertField.equalsIgnoreCase("issuerdn")) certValue = m_serverCert->issuerDn();
    else if (m_requiredCertField.equalsIgnoreCase("issuercn")) certValue = m_serverCert->issuerCn();
    if (m_requiredCertValue.equals(certValue.c_str())) return true;
    log.LogError("SSL server certificate fails to match requirement");
    log.LogDataSb("requireName", m_requiredCertField);
    log.LogDataSb("requireValue", m_requiredCertValue);
    log.LogData("certValue", certValue.c_str());
    return false;
}

bool SChannelWin32::verifyServerCertificate(LogBase& log) {
    if (m_verbose) log.LogInfo("Verifying server certificate...");
    m_certProblem = "it could not be checked";
    if (!m_serverCert) {
        log.LogError("Certificate parameter is null in VerifyServerCertificate");
        return false;
    }
    if (m_hostname.isEmpty()) {
        log.LogError("Hostname is empty in VerifyServerCertificate");
        return false;
    }
    uint32_t policyError = 0;
    if (!tlsProvider()->VerifyServerCertificate(*m_serverCert, m_trust, m_hostname.getString(), policyError)) {
        log.LogError("Error building certificate chain");
        return false;
    }
    describeProblem(policyError);
    if (policyError) logPolicyError(policyError, log);
    return policyError == 0;
}

void SChannelWin32::logPolicyError(uint32_t code, LogBase& log) {
    log.LogDataSb("serverName", m_hostname);
    log.LogInfo(
        "This warning may be caused by using an IP address or a hostname that differs from that found in the "
        "certificate.");
    const char* name = policyErrorName(code);
    if (!name) return;  // the untrusted roots
    log.LogData("WinVerifyTrustWarning", name);
    char text[32];
    std::snprintf(text, sizeof text, "Status = 0x%x", code);
    log.LogError(text);
}

void SChannelWin32::releaseSecurity() {
    m_context.reset();
    m_credentials.reset();
}

void SChannelWin32::forceClose() {
    releaseSecurity();
    m_socket.Close();
}

void SChannelWin32::handBackSocket(VelmoraSocket& sock) {
    releaseSecurity();
    sock.takeConnectionFrom(m_socket);
}

}  // namespace ostmail
