#pragma once
// Where and how ostmail connects: server, security, login, certificate
// checks, proxies, time-outs and delivery status notifications. Setters only
// store; a bad value makes the send fail with a reason.

#include "ostmail/Export.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {

enum class Security {
    None,         // plain SMTP
    StartTls,     // plain, then STARTTLS right after EHLO
    ImplicitTls,  // TLS from the first byte (SMTPS, usually port 465)
    Auto,         // the default: STARTTLS whenever the server offers it, else plain
};

// How one DKIM signature is made; the algorithm follows from the key
// (RSA of 1024 to 4096 bits, or Ed25519).
struct DkimSignatureOptions {
    bool relaxedHeader = true;         // header canonicalisation: relaxed, or simple when false
    bool relaxedBody = true;           // body canonicalisation: relaxed, or simple when false
    std::vector<std::string> headers;  // signed besides From, To, Cc, Subject, Date, Message-ID, ...
    long long expirySeconds = 0;       // the signature expires this long after signing; 0: never
    std::string identity;              // i=, an address at the signing domain; empty: none
};

class OSTMAIL_EXPORT SmtpSettings {
public:
    SmtpSettings();
    ~SmtpSettings();
    SmtpSettings(const SmtpSettings& other);
    SmtpSettings& operator=(const SmtpSettings& other);
    SmtpSettings(SmtpSettings&& other) noexcept;
    SmtpSettings& operator=(SmtpSettings&& other) noexcept;

    // Server name or address and port. Without a port: 465 for ImplicitTls,
    // 587 for StartTls, 25 for None.
    void setHost(const std::string& host);
    void setPort(int port);
    void setSecurity(Security security);
    // Login for SMTP AUTH; mechanism "LOGIN", "PLAIN", "CRAM-MD5", "NTLM", or
    // empty to pick the best the server offers.
    void setLogin(const std::string& user, const std::string& password, const std::string& mechanism = "");
    // Login with an OAuth 2.0 access token instead of a password; mechanism
    // "XOAUTH2" (Gmail, Microsoft 365) or "OAUTHBEARER" (RFC 7628). The token
    // goes to that mechanism only; a server that does not offer it fails
    // the send. Replaces any password login.
    void setOAuth2(const std::string& user, const std::string& token, const std::string& mechanism = "XOAUTH2");
    // Where tokens come from (user and mechanism from setOAuth2, XOAUTH2
    // when not set): called before each send with refresh false, and once
    // with refresh true when the server refuses the token, after which the
    // login is tried once more on a new connection. An empty token or an
    // exception fails the send. Null removes the provider.
    void setOAuth2TokenProvider(std::function<std::string(bool refresh)> provider);
    // Extra trusted CA certificates: a PEM file or a hashed folder.
    void setTrustFile(const std::string& path);
    void setTrustFolder(const std::string& path);
    // When on (the default), a certificate that fails the check, or names
    // another host, fails the send before any command goes over TLS; off,
    // the failure is only logged, with a warning line in the result's log.
    void setRequireValidCertificate(bool on);
    // When off (the default), a LOGIN, PLAIN, XOAUTH2 or OAUTHBEARER login
    // over no TLS, or over TLS whose certificate did not verify, fails the
    // send before AUTH. CRAM-MD5 and NTLM are always allowed.
    void setAllowPlaintextLogin(bool on);
    // "TLS 1.0" or "SSL 3.0" allows that older protocol; by default TLS 1.2
    // or newer is required.
    void setTlsProtocol(const std::string& name);
    // The server's public key must have this SHA-256 (base64, optionally
    // after "sha256//"), whether or not the certificate must verify; empty
    // for none. A text that is no pin fails the send.
    void setPinSha256(const std::string& base64);
    // A SOCKS proxy (version 4 or 5); an empty host means none.
    void setSocksProxy(const std::string& host, int port, const std::string& user = "",
                       const std::string& password = "", int version = 5);
    // An HTTP proxy that tunnels with CONNECT, with an optional Basic login;
    // an empty host means none. A refused tunnel fails the send.
    void setHttpProxy(const std::string& host, int port, const std::string& user = "",
                      const std::string& password = "");
    // Seconds to wait for the connection and for each reply (0: defaults).
    void setConnectTimeout(int seconds);
    void setReadTimeout(int seconds);
    // Seconds to wait for the server's reply once the whole message is out
    // (default 600). Past it the send is unconfirmed: it may have been taken.
    void setFinalReplyTimeout(int seconds);
    // Delivery status notifications: NOTIFY (e.g. "SUCCESS,FAILURE"),
    // RET ("FULL" or "HDRS") and ENVID (printable ASCII, sent xtext-encoded);
    // empty leaves each out, a bad value fails the send.
    void setDsn(const std::string& notify, const std::string& ret = "", const std::string& envid = "");
    // Name sent in EHLO/HELO (default: this machine's name).
    void setHeloName(const std::string& name);
    // Signs every message sent with these settings with the key of that
    // PEM file (unencrypted, readable by its owner only); repeat for an RSA
    // and an Ed25519 signature together, each placed above the one before.
    // A key that cannot be used fails the send with its reason, unsent.
    void addDkimSignature(const std::string& domain, const std::string& selector,
                          const std::string& privateKeyPemPath,
                          const DkimSignatureOptions& options = DkimSignatureOptions());

    struct Impl;
    // Internal: the library's view of the settings.
    const Impl& impl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ostmail
