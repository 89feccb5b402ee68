#pragma once
#include "core/XString.h"
#include "facade/VmString.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {

class ClsMailMan;
class VmEmail;
class VmMailManProgress;

// Facade of the mail manager. Text goes in and out as 8-bit strings in the
// system ANSI code page, or UTF-8 when the Utf8 switch is on. Returned texts
// live in ten result strings used in turn, so each stays valid until ten
// more text-returning calls have been made.
class VmMailMan {
public:
    VmMailMan();
    ~VmMailMan();
    VmMailMan(const VmMailMan&) = delete;
    VmMailMan& operator=(const VmMailMan&) = delete;

    bool get_Utf8() const { return m_utf8; }
    void put_Utf8(bool on) { m_utf8 = on; }

    // Sends with the registered progress object, if any.
    bool SendEmail(VmEmail& email);
    bool CloseSmtpConnection();
    // Sends mimeText unchanged to the comma-separated recipients; fromAddr
    // is the envelope sender. False with the reason in the last error.
    bool SendMime(const char* fromAddr, const char* recipients, const char* mimeText);
    bool SendMimeToList(const char* fromAddr, const std::vector<std::string>& recipients, const char* mimeText);
    // The MIME text SendEmail would send; null on failure.
    const char* renderToMime(VmEmail& email);
    // Connects (no login / with login) and disconnects; false when that
    // failed, the reason in the last error. No session stays open.
    bool VerifySmtpConnection();
    bool VerifySmtpLogin();
    // The server's last reply, every line; "" when none.
    const char* lastSmtpReply();
    // The server's last EHLO reply (what it offers), every line; "" when none.
    const char* smtpCapabilities();
    // Not owned; null removes it. Must outlive every send it watches.
    void put_EventCallbackObject(VmMailManProgress* progress) { m_progress = progress; }

    // --- MX lookup (input: an e-mail address or a domain) ---
    // The best exchanger; null on failure, "" when the domain has no MX.
    const char* mxLookup(const char* emailOrDomain);
    // Every exchanger, best first; replaces the content of hosts.
    bool MxLookupAll(const char* emailOrDomain, std::vector<std::string>& hosts);
    // Dotted IPv4 address (or "localhost") and port of the DNS server to ask;
    // an empty host goes back to the system's servers.
    bool SetDnsServer(const char* host, int32_t port);

    // --- texts ---
    void put_SmtpHost(const char* v);
    const char* smtpHost();
    void put_SmtpUsername(const char* v);
    const char* smtpUsername();
    void put_SmtpPassword(const char* v);
    const char* smtpPassword();
    void put_SmtpDomain(const char* v);
    const char* smtpDomain();
    void put_SmtpAuthMethod(const char* v);
    const char* smtpAuthMethod();
    void put_HeloHostname(const char* v);
    const char* heloHostname();
    void put_SentLogPath(const char* v);
    const char* sentLogPath();
    void put_DsnNotify(const char* v);
    const char* dsnNotify();
    void put_DsnEnvid(const char* v);
    const char* dsnEnvid();
    void put_DsnRet(const char* v);
    const char* dsnRet();
    // DKIM signing of every message sent: on when all three are set (off by
    // default); a key that cannot be used fails the send before it starts.
    void put_DkimDomain(const char* v);
    const char* dkimDomain();
    void put_DkimSelector(const char* v);
    const char* dkimSelector();
    void put_DkimPrivateKeyFile(const char* v);
    const char* dkimPrivateKeyFile();
    void put_SocksHostname(const char* v);
    const char* socksHostname();
    void put_SocksUsername(const char* v);
    const char* socksUsername();
    void put_SocksPassword(const char* v);
    const char* socksPassword();
    // HTTP proxy for a CONNECT tunnel: empty host = none; a user name adds
    // a Basic login.
    void put_HttpProxyHostname(const char* v);
    const char* httpProxyHostname();
    void put_HttpProxyUsername(const char* v);
    const char* httpProxyUsername();
    void put_HttpProxyPassword(const char* v);
    const char* httpProxyPassword();
    void put_SslTrustFile(const char* v);
    const char* sslTrustFile();
    void put_SslTrustFolder(const char* v);
    const char* sslTrustFolder();
    void put_SslProtocol(const char* v);
    const char* sslProtocol();
    void put_SslCipher(const char* v);
    const char* sslCipher();

    // --- numbers and switches ---
    int32_t get_SmtpPort() const;
    void put_SmtpPort(int32_t v);
    bool get_SmtpSsl() const;
    void put_SmtpSsl(bool v);
    bool get_StartTLS() const;
    void put_StartTLS(bool v);
    int32_t get_ReadTimeout() const;
    void put_ReadTimeout(int32_t secs);
    int32_t get_ConnectTimeout() const;
    void put_ConnectTimeout(int32_t secs);
    int32_t get_HeartbeatMs() const;
    void put_HeartbeatMs(int32_t ms);
    bool get_AutoGenMessageId() const;
    void put_AutoGenMessageId(bool v);
    bool get_SendIndividual() const;
    void put_SendIndividual(bool v);
    bool get_RequireAllRecipients() const;
    void put_RequireAllRecipients(bool v);
    bool get_DualStack() const;
    void put_DualStack(bool v);
    bool get_Pipelining() const;
    void put_Pipelining(bool v);
    bool get_SmtpUtf8() const;
    void put_SmtpUtf8(bool v);
    int32_t get_SocksVersion() const;
    void put_SocksVersion(int32_t v);
    int32_t get_SocksPort() const;
    void put_SocksPort(int32_t v);
    int32_t get_HttpProxyPort() const;  // default 80
    void put_HttpProxyPort(int32_t v);
    bool get_RequireSslCertVerify() const;
    void put_RequireSslCertVerify(bool v);
    // Beyond the documented manager (see ClsMailMan): off by default.
    bool get_StartTlsIfOffered() const;
    void put_StartTlsIfOffered(bool v);
    bool get_RefuseClearTextLogin() const;
    void put_RefuseClearTextLogin(bool v);
    bool get_RequireTls12() const;
    void put_RequireTls12(bool v);
    // False, pin unchanged, when v is not the base64 of a SHA-256.
    bool put_SslPinSha256(const char* v);
    int32_t get_LastSmtpStatus() const;
    // The server refused the access token of the last connect (auth-method
    // XOAUTH2 or OAUTHBEARER): a fresh one may do on a new connection.
    bool get_TokenRefused() const;
    int32_t get_NumBadAddresses() const;
    const char* badAddress(int32_t index);  // null when out of range

    // --- last error ---
    const char* lastErrorText();
    const char* lastErrorXml();
    const char* lastErrorHtml();
    bool SaveLastError(const char* path);

    ClsMailMan* impl() { return m_impl.get(); }

    static const int kNumResults = 10;

private:
    using XSetter = void (ClsMailMan::*)(XString&);
    using XGetter = void (ClsMailMan::*)(XString&);
    void setText(XSetter f, const char* text);
    const char* getText(XGetter f);
    VmString& nextResult();
    const char* out(XString& x);

    std::unique_ptr<ClsMailMan> m_impl;
    VmMailManProgress* m_progress = nullptr;
    bool m_utf8 = false;
    int m_next = 0;
    VmString m_results[kNumResults];
};

}  // namespace ostmail
