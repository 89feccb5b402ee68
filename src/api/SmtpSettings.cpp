#include "api/SmtpSettingsImpl.h"

#include <new>

namespace ostmail {

SmtpSettings::SmtpSettings() : m_impl(std::make_unique<Impl>()) {}
SmtpSettings::~SmtpSettings() = default;
SmtpSettings::SmtpSettings(const SmtpSettings& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
SmtpSettings& SmtpSettings::operator=(const SmtpSettings& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}
SmtpSettings::SmtpSettings(SmtpSettings&& other) noexcept : m_impl(std::move(other.m_impl)) {
    other.m_impl.reset(new (std::nothrow) Impl());
}
SmtpSettings& SmtpSettings::operator=(SmtpSettings&& other) noexcept {
    if (this != &other) std::swap(m_impl, other.m_impl);
    return *this;
}

void SmtpSettings::setHost(const std::string& host) { m_impl->host = host; }
void SmtpSettings::setPort(int port) {
    m_impl->port = port;
    m_impl->portSet = true;
}
void SmtpSettings::setSecurity(Security security) { m_impl->security = security; }
void SmtpSettings::setLogin(const std::string& user, const std::string& password, const std::string& mechanism) {
    m_impl->user = user;
    m_impl->password = password;
    m_impl->mechanism = mechanism;
}
void SmtpSettings::setOAuth2(const std::string& user, const std::string& token, const std::string& mechanism) {
    setLogin(user, token, mechanism);
}
void SmtpSettings::setOAuth2TokenProvider(std::function<std::string(bool refresh)> provider) {
    m_impl->tokenProvider = std::move(provider);
    if (m_impl->tokenProvider && m_impl->mechanism.empty()) m_impl->mechanism = "XOAUTH2";
}
void SmtpSettings::setTrustFile(const std::string& path) { m_impl->trustFile = path; }
void SmtpSettings::setTrustFolder(const std::string& path) { m_impl->trustFolder = path; }
void SmtpSettings::setRequireValidCertificate(bool on) { m_impl->requireValidCertificate = on; }
void SmtpSettings::setAllowPlaintextLogin(bool on) { m_impl->allowPlaintextLogin = on; }
void SmtpSettings::setTlsProtocol(const std::string& name) { m_impl->tlsProtocol = name; }
void SmtpSettings::setPinSha256(const std::string& base64) { m_impl->pinSha256 = base64; }
void SmtpSettings::setSocksProxy(const std::string& host, int port, const std::string& user,
                                 const std::string& password, int version) {
    m_impl->socksHost = host;
    m_impl->socksPort = port;
    m_impl->socksUser = user;
    m_impl->socksPassword = password;
    m_impl->socksVersion = version;
}
void SmtpSettings::setHttpProxy(const std::string& host, int port, const std::string& user,
                                const std::string& password) {
    m_impl->httpProxyHost = host;
    m_impl->httpProxyPort = port;
    m_impl->httpProxyUser = user;
    m_impl->httpProxyPassword = password;
}
void SmtpSettings::setConnectTimeout(int seconds) { m_impl->connectTimeout = seconds; }
void SmtpSettings::setReadTimeout(int seconds) { m_impl->readTimeout = seconds; }
void SmtpSettings::setFinalReplyTimeout(int seconds) { m_impl->finalReplyTimeout = seconds; }
void SmtpSettings::setDsn(const std::string& notify, const std::string& ret, const std::string& envid) {
    m_impl->dsnNotify = notify;
    m_impl->dsnRet = ret;
    m_impl->dsnEnvid = envid;
}
void SmtpSettings::setHeloName(const std::string& name) { m_impl->heloName = name; }
void SmtpSettings::addDkimSignature(const std::string& domain, const std::string& selector,
                                    const std::string& privateKeyPemPath, const DkimSignatureOptions& options) {
    m_impl->dkim.push_back({domain, selector, privateKeyPemPath, options});
}

}  // namespace ostmail
