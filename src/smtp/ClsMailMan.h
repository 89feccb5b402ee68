#pragma once
#include "core/ClsBase.h"
#include "core/ExtPtrArray.h"
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "email/DkimSigner.h"
#include "net/ClsSocksClient.h"
#include "net/HttpProxyClient.h"
#include "net/Mx.h"
#include "platform/CriticalSection.h"
#include "smtp/SmtpConnImpl.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostmail {

class ClsEmail;
class Email2;
class MailManCallback;
class ProgressMonitor;
class SmtpMessage;
class SChannelWin32;

// The mail manager: SMTP connection settings, the one SMTP session it owns,
// and the send of one e-mail from start to end. The session stays open
// after a send so that the next one reuses it (RSET); the destructor ends
// it with QUIT. Every operation reports through the activity log.
class ClsMailMan : public ClsBase {
public:
    static const char kDllDate[];

    ClsMailMan();
    ~ClsMailMan() override;

    // callback may be null: no progress then, and nothing can abort.
    bool SendEmail(ClsEmail* email, MailManCallback* callback);
    // QUIT (when connected) and close; the next send connects afresh.
    bool CloseSmtpConnection();

    // Sends text that is already a whole MIME message, as it is, to the
    // comma-separated recipients (or the list); fromAddr is the envelope
    // sender. A failure leaves the session as a failed SendEmail does.
    bool SendMime(XString& fromAddr, XString& recipients, XString& mimeText, MailManCallback* callback);
    bool SendMimeToList(XString& fromAddr, ExtPtrArray& recipients, XString& mimeText, MailManCallback* callback);
    // The text SendEmail would send for email; out is empty on failure.
    bool RenderToMime(ClsEmail* email, XString& out);
    // Opens a new connection (greeting, STARTTLS, EHLO, no login) and closes
    // it again; VerifySmtpLogin logs in as well. Both leave no session open.
    bool VerifySmtpConnection();
    bool VerifySmtpLogin();
    // Every line of the server's last reply / of its last EHLO reply.
    void get_LastSmtpReply(XString& out) { out.setFromSb(m_smtp.lastReplyText()); }
    void get_SmtpCapabilities(XString& out) { out.setFromSb(m_smtp.ehloReply()); }

    // --- connection texts (taken under the manager's lock) ---
    // The host is stored lower-cased with any http:// or https:// scheme and
    // every '/' removed, so a pasted web address becomes a host name.
    void put_SmtpHost(XString& host);
    void get_SmtpHost(XString& out);
    void put_SmtpUsername(XString& v);
    void get_SmtpUsername(XString& out);
    void put_SmtpPassword(XString& v);
    void get_SmtpPassword(XString& out);
    void put_HeloHostname(XString& v);
    void get_HeloHostname(XString& out);

    void put_SmtpDomain(XString& v) { m_smtpDomain.copyFrom(v); }
    void get_SmtpDomain(XString& out) { out.copyFrom(m_smtpDomain); }
    void put_SmtpAuthMethod(XString& v) { m_smtpAuthMethod.copyFrom(v); }
    void get_SmtpAuthMethod(XString& out) { out.copyFrom(m_smtpAuthMethod); }
    void put_SentLogPath(XString& v) { m_sentLogPath.setString(v.getUtf8()); }
    void get_SentLogPath(XString& out) { out.setFromSb(m_sentLogPath); }
    void put_DsnNotify(XString& v) { m_dsnNotify.setString(v.getUtf8()); }
    void get_DsnNotify(XString& out) { out.setFromSb(m_dsnNotify); }
    void put_DsnEnvid(XString& v) { m_dsnEnvid.setString(v.getUtf8()); }
    void get_DsnEnvid(XString& out) { out.setFromSb(m_dsnEnvid); }
    void put_DsnRet(XString& v) { m_dsnRet.setString(v.getUtf8()); }
    void get_DsnRet(XString& out) { out.setFromSb(m_dsnRet); }

    // --- numbers and switches ---
    int32_t get_SmtpPort() const { return m_smtpPort; }
    void put_SmtpPort(int32_t v) { m_smtpPort = v; }
    bool get_SmtpSsl() const { return m_smtpSsl; }
    void put_SmtpSsl(bool v) { m_smtpSsl = v; }
    bool get_StartTLS() const { return m_startTls; }
    void put_StartTLS(bool v) { m_startTls = v; }
    // Seconds; the session is told in milliseconds.
    int32_t get_ReadTimeout() const { return m_readTimeout; }
    void put_ReadTimeout(int32_t secs);
    int32_t get_ConnectTimeout() const { return m_connectTimeout; }
    void put_ConnectTimeout(int32_t secs) { m_connectTimeout = secs; }
    int32_t get_HeartbeatMs() const { return m_heartbeatMs; }
    void put_HeartbeatMs(int32_t ms);
    bool get_AutoGenMessageId() const { return m_autoGenMessageId; }
    void put_AutoGenMessageId(bool v) { m_autoGenMessageId = v; }
    bool get_SendIndividual() const { return m_sendIndividual; }
    void put_SendIndividual(bool v) { m_sendIndividual = v; }
    bool get_RequireAllRecipients() const { return m_requireAllRecipients; }
    // Off by default: the next sends declare BODY=8BITMIME where it is offered.
    bool get_Body8Bit() const { return m_body8Bit; }
    void put_Body8Bit(bool v) { m_body8Bit = v; }
    void put_RequireAllRecipients(bool v) { m_requireAllRecipients = v; }
    int32_t get_LastSmtpStatus() const { return m_lastSmtpStatus; }
    // The last connect's XOAUTH2 or OAUTHBEARER token was refused by the
    // server (with auth-method "XOAUTH2"/"OAUTHBEARER" the password is the token).
    bool get_TokenRefused() const { return m_smtp.tokenRefused(); }
    // IPv6 servers, names looked up for both families and the connect race
    // (RFC 8305), an address literal in EHLO when this machine has no name.
    // Off by default: IPv4 alone, as DoMail has always connected.
    bool get_DualStack() const { return m_dualStack; }
    void put_DualStack(bool v) { m_dualStack = v; }
    // RFC 2920 when the server offers it: the envelope in one write (and a
    // reused connection's RSET with it). Off by default: one command at a time.
    bool get_Pipelining() const { return m_pipelining; }
    void put_Pipelining(bool v) { m_pipelining = v; }
    // International envelope addresses: as they are with SMTPUTF8 when the
    // server offers it (RFC 6531), else domains in A-labels and a refusal,
    // before anything is sent, for a non-ASCII local part. Off by default:
    // addresses go out in the ANSI code page.
    bool get_SmtpUtf8() const { return m_smtpUtf8; }
    void put_SmtpUtf8(bool v) { m_smtpUtf8 = v; }

    // Recipients the server refused in the sends so far.
    int32_t get_NumBadAddresses() const { return m_badAddresses.getSize(); }
    bool getBadAddress(int32_t index, XString& out) const;
    void ClearBadEmailAddresses() { m_badAddresses.removeAllObjects(); }

    // --- SOCKS proxy (version 0 = none) ---
    ClsSocksClient& socks() { return m_socks; }
    int32_t get_SocksVersion() const { return m_socks.socksVersion(); }
    void put_SocksVersion(int32_t v) { m_socks.setSocksVersion(v); }
    int32_t get_SocksPort() const { return m_socks.port(); }
    void put_SocksPort(int32_t v) { m_socks.setPort(v); }
    void put_SocksHostname(XString& v) { m_socks.hostname().copyFrom(v); }
    void get_SocksHostname(XString& out) { out.copyFrom(m_socks.hostname()); }
    void put_SocksUsername(XString& v) { m_socks.username().copyFrom(v); }
    void get_SocksUsername(XString& out) { out.copyFrom(m_socks.username()); }
    void put_SocksPassword(XString& v) { m_socks.password().copyFrom(v); }
    void get_SocksPassword(XString& out) { out.copyFrom(m_socks.password()); }

    // --- HTTP proxy (empty host = none): CONNECT tunnel, Basic login when a user is set ---
    HttpProxyClient& httpProxy() { return m_httpProxy; }
    int32_t get_HttpProxyPort() const { return m_httpProxy.port(); }
    void put_HttpProxyPort(int32_t v) { m_httpProxy.setPort(v); }
    void put_HttpProxyHostname(XString& v) { m_httpProxy.hostname().copyFrom(v); }
    void get_HttpProxyHostname(XString& out) { out.copyFrom(m_httpProxy.hostname()); }
    void put_HttpProxyUsername(XString& v) { m_httpProxy.username().copyFrom(v); }
    void get_HttpProxyUsername(XString& out) { out.copyFrom(m_httpProxy.username()); }
    void put_HttpProxyPassword(XString& v) { m_httpProxy.password().copyFrom(v); }
    void get_HttpProxyPassword(XString& out) { out.copyFrom(m_httpProxy.password()); }

    // --- MX lookup: the input is an e-mail address or a bare domain ---
    // Best exchanger; empty with success when the answer has no MX record.
    bool MxLookup(XString& emailOrDomain, XString& out);
    // Every exchanger, lowest preference first: new StringBuffers appended
    // to out, which the caller owns.
    bool MxLookupAll(XString& emailOrDomain, ExtPtrArray& out);
    // Where MX queries go: a dotted IPv4 address or "localhost" and a port
    // (0 = 53). An empty host restores the system's servers.
    bool SetDnsServer(XString& host, int32_t port);

    // --- TLS: handed to the channel before every connect ---
    // Off by default: an unverifiable server certificate is logged, not refused.
    bool get_RequireSslCertVerify() const { return m_requireSslCertVerify; }
    void put_RequireSslCertVerify(bool v) { m_requireSslCertVerify = v; }
    // A PEM file / a hashed folder of private CAs, trusted besides the system's.
    void put_SslTrustFile(XString& v) { m_sslTrustFile.setString(v.getUtf8()); }
    void get_SslTrustFile(XString& out) { out.setFromSb(m_sslTrustFile); }
    void put_SslTrustFolder(XString& v) { m_sslTrustFolder.setString(v.getUtf8()); }
    void get_SslTrustFolder(XString& out) { out.setFromSb(m_sslTrustFolder); }
    // "TLS 1.0", "SSL 3.0", ... and "3DES", "RC4", ...; empty or unknown: default.
    void put_SslProtocol(XString& v) { m_sslProtocol.setString(v.getUtf8()); }
    void get_SslProtocol(XString& out) { out.setFromSb(m_sslProtocol); }
    void put_SslCipher(XString& v) { m_sslCipher.setString(v.getUtf8()); }
    void get_SslCipher(XString& out) { out.setFromSb(m_sslCipher); }

    // --- DKIM signing (none by default) ---
    // The manager's own signature, on when all three are set; its key is
    // read at each send, and a send fails unsent when it cannot be used.
    void put_DkimDomain(XString& v) { m_dkimDomain.setString(v.getUtf8()); }
    void get_DkimDomain(XString& out) { out.setFromSb(m_dkimDomain); }
    void put_DkimSelector(XString& v) { m_dkimSelector.setString(v.getUtf8()); }
    void get_DkimSelector(XString& out) { out.setFromSb(m_dkimSelector); }
    void put_DkimPrivateKeyFile(XString& v) { m_dkimKeyFile.setString(v.getUtf8()); }
    void get_DkimPrivateKeyFile(XString& out) { out.setFromSb(m_dkimKeyFile); }
    // A further signature for every later send, after the property one;
    // each is placed above the ones before it.
    void addDkimSignature(const char* domain, const char* selector, const char* keyPath, const DkimOptions& opts);
    void clearDkimSignatures() { m_dkimRequests.clear(); }

    // --- beyond the documented manager: off by default, the command line
    // and the C++ API turn them on ---
    // STARTTLS whenever the server offers it (with neither SmtpSsl nor StartTLS).
    bool get_StartTlsIfOffered() const { return m_startTlsIfOffered; }
    void put_StartTlsIfOffered(bool v) { m_startTlsIfOffered = v; }
    // LOGIN, PLAIN and token logins fail, before any AUTH line, unless TLS
    // is on and its certificate verified (or its key matched the pin).
    bool get_RefuseClearTextLogin() const { return m_refuseClearTextLogin; }
    void put_RefuseClearTextLogin(bool v) { m_refuseClearTextLogin = v; }
    // TLS 1.2 or newer, unless SslProtocol names an older protocol.
    bool get_RequireTls12() const { return m_requireTls12; }
    void put_RequireTls12(bool v) { m_requireTls12 = v; }
    // The server's public key must have this SHA-256 (base64, see
    // SmtpSecurity::decodePin); empty for none. False, pin unchanged, when
    // the text is no pin.
    bool put_SslPinSha256(XString& v);
    // The TLS channel of the session, for its last certificate and protocol.
    const SChannelWin32* tlsChannel() { return m_smtp.connection().tlsChannel().impl(); }

    // Seconds to wait for the reply to the final dot; 0 (the default) keeps
    // the read time-out.
    int32_t get_FinalReplyTimeout() const { return m_finalReplyTimeout; }
    void put_FinalReplyTimeout(int32_t secs) { m_finalReplyTimeout = secs < 0 ? 0 : secs; }
    // What the last send did: each recipient's reply, whether the final
    // reply came, and how far the connect got. Cleared when a send starts.
    const SmtpSendResult& lastSendResult() const { return m_lastSendResult; }
    SmtpStage lastConnectStage() const { return m_smtp.stage(); }
    uint64_t replyLinesRead() const { return m_smtp.replyLinesRead(); }
    // For tests and tools: is a session open right now?
    bool isSmtpConnected() const { return m_smtp.isConnected(); }

private:
    bool sendEmailLocked(ClsEmail* email, MailManCallback* callback);
    void resolveTlsFlags();
    void logEnvironment();
    void logRecipients(const Email2& email);
    void handSettingsToSession();
    void handTlsSettingsToChannel();
    bool connectStep(ProgressMonitor* pm, ProgressMonitor& monitor);
    bool sendStep(ClsEmail& email, const char* envelopeSender, ProgressMonitor* pm, ProgressMonitor& monitor);
    bool transmit(SmtpMessage& msg, const char* envelopeSender, ProgressMonitor* pm);
    bool sendMimeLocked(XString& fromAddr, ExtPtrArray& recipients, XString& mimeText, MailManCallback* callback);
    bool verifyLocked(bool withLogin);
    std::unique_ptr<Email2> prepareSendingCopy(ClsEmail& email);
    bool prepareDkim();

    struct DkimRequest {
        std::string domain, selector, keyPath;
        DkimOptions opts;
    };

    platform::CriticalSection m_cs;
    ClsSocksClient m_socks;
    HttpProxyClient m_httpProxy;
    Mx m_mx;
    SmtpConnImpl m_smtp;

    StringBuffer m_smtpHost;
    int32_t m_smtpPort = 25;
    bool m_smtpSsl = false;
    bool m_startTls = false;
    XString m_smtpUsername;
    XString m_smtpPassword;
    XString m_smtpDomain;
    XString m_smtpAuthMethod;
    StringBuffer m_heloHostname;
    int32_t m_readTimeout = 30;
    int32_t m_connectTimeout = 30;
    int32_t m_heartbeatMs = 0;
    bool m_autoGenMessageId = true;
    bool m_sendIndividual = true;
    bool m_requireAllRecipients = false;
    bool m_body8Bit = false;
    bool m_dualStack = false;
    bool m_pipelining = false;
    bool m_smtpUtf8 = false;
    StringBuffer m_sentLogPath;
    ExtPtrArray m_badAddresses;  // owned StringBuffers
    StringBuffer m_dsnNotify;
    StringBuffer m_dsnEnvid;
    StringBuffer m_dsnRet;
    int32_t m_lastSmtpStatus = 0;
    int32_t m_finalReplyTimeout = 0;
    SmtpSendResult m_lastSendResult;
    bool m_requireSslCertVerify = false;
    StringBuffer m_sslTrustFile;
    StringBuffer m_sslTrustFolder;
    StringBuffer m_sslProtocol;
    StringBuffer m_sslCipher;
    StringBuffer m_dkimDomain;
    StringBuffer m_dkimSelector;
    StringBuffer m_dkimKeyFile;
    std::vector<DkimRequest> m_dkimRequests;
    std::vector<DkimSigner> m_dkimSigners;  // loaded for the send in progress
    bool m_startTlsIfOffered = false;
    bool m_refuseClearTextLogin = false;
    bool m_requireTls12 = false;
    std::vector<unsigned char> m_pinnedKey;
};

}  // namespace ostmail
