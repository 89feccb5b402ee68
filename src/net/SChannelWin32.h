#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"
#include "net/SocketFlags.h"
#include "net/VelmoraSocket.h"
#include "platform/TlsProvider.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ostmail {

class LogBase;
class ProgressMonitor;

// The TLS client: owns its TCP socket, runs the handshake over it and
// protects the records. Statuses of the last establish are kept in
// lastStatus(): 0, a connect failure reason 1-7, or one of the codes below.
// A failed establish or read leaves the channel without a context, so later
// sends and reads fail with the "not connected." texts.
class SChannelWin32 {
public:
    enum Status {
        kStatusNoLibrary = 100,
        kStatusNoCredentials = 101,
        kStatusProxyFailed = 102,
        kStatusHandshakeFailed = 103,
        kStatusNoServerCert = 104,
        kStatusCertNotVerified = 105,
    };
    static constexpr uint32_t kRecordPlaintext = 16000;
    static constexpr uint32_t kSocketWrite = 8192;
    static constexpr uint32_t kRecordRead = 20000;
    static constexpr uint32_t kHandshakeBuffer = 65536;

    SChannelWin32();
    ~SChannelWin32();
    SChannelWin32(const SChannelWin32&) = delete;
    SChannelWin32& operator=(const SChannelWin32&) = delete;

    // --- settings ---
    void setHostname(const char* host) { m_hostname.setString(host ? host : ""); }
    const StringBuffer& hostname() const { return m_hostname; }
    void setPort(uint32_t port) { m_port = port; }
    // null or empty host: none; an empty user: no proxy login.
    void setHttpProxy(const char* host, uint32_t port, const char* user = "", const char* password = "");
    void setVerbose(bool on) { m_verbose = on; }
    // Names as the mail manager takes them ("tls 1.0", "3des", "sha-1", "rsa").
    void setProtocol(const char* name) { m_protocolMask = protocolMaskFromName(name); }
    void setCipher(const char* name) { m_cipherAlg = cipherFromName(name); }
    void setHash(const char* name) { m_hashAlg = hashFromName(name); }
    void setKeyExchange(const char* name) { m_keyExchangeAlg = keyExchangeFromName(name); }
    uint32_t protocolMask() const { return m_protocolMask; }
    // field: "subjectdn", "subjectcn", "issuerdn" or "issuercn".
    void setRequiredCertificate(const char* field, const char* value);
    void setRequireVerifiedCert(bool on) { m_requireVerified = on; }
    // Trust anchors besides the system store, for private CAs.
    void setTrustFile(const char* path) { m_trust.caFile = path ? path : ""; }
    void setTrustFolder(const char* path) { m_trust.caDir = path ? path : ""; }
    // With the default protocol choice, nothing older than TLS 1.2.
    void setMinimumTls12(bool on) { m_tls12AtLeast = on; }
    // SHA-256 of the server's SubjectPublicKeyInfo that must match (empty:
    // none). Checked whether or not verification is required.
    void setPinnedKey(const platform::Bytes& sha256) { m_pinnedKey = sha256; }

    // --- state ---
    uint32_t lastStatus() const { return m_lastStatus; }
    bool isConnected() const { return m_context && m_socket.isConnected(); }
    bool serverCertVerified() const { return m_serverCertVerified; }
    // The peer proved who it is: its key matched the pin, or without a pin
    // its certificate verified.
    bool serverAuthenticated() const { return m_pinnedKey.empty() ? m_serverCertVerified : m_pinMatched; }
    bool pinMatched() const { return m_pinMatched; }
    // Why the last certificate did not verify, in words ("self-signed",
    // "expired 2020-02-01", ...); empty when it did.
    const std::string& certificateProblem() const { return m_certProblem; }
    // The protocol and cipher of the last handshake.
    const platform::TlsConnectionInfo& connectionInfo() const { return m_connInfo; }
    std::shared_ptr<platform::TlsCertificate> serverCertificate() const { return m_serverCert; }
    const SocketFlags& lastReadFlags() const { return m_readFlags; }
    // The TCP socket under the channel, for its connect settings.
    VelmoraSocket& plainSocket() { return m_socket; }
    const VelmoraSocket& plainSocket() const { return m_socket; }

    // --- operations ---
    // Implicit TLS: connects to the host and port set (or through the HTTP
    // proxy) and runs the handshake.
    bool EstablishChannel(uint32_t heartbeatMs, uint32_t connectTimeoutMs, uint32_t idleTimeoutMs, LogBase& log,
                          ProgressMonitor* pm);
    // STARTTLS: takes the connection out of sock and runs the handshake on it.
    bool EstablishChannel2(VelmoraSocket& sock, uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log,
                           ProgressMonitor* pm);
    // Encrypts in records of at most 16000 bytes.
    bool SendSecure(const unsigned char* data, uint32_t n, uint32_t heartbeatMs, uint32_t idleTimeoutMs, LogBase& log,
                    ProgressMonitor* pm);
    // Appends the plaintext of every complete record that has arrived (at
    // least one). End of session: the server closed TLS; the channel is shut
    // down and the result is true. flags get the socket read's flags.
    bool RecvSecure(DataBuffer& out, uint32_t heartbeatMs, uint32_t idleTimeoutMs, SocketFlags& flags,
                    bool& endOfSession, LogBase& log, ProgressMonitor* pm);
    bool ShutdownChannel(LogBase& log);
    // Leaves TLS: the connection goes to sock as plain TCP.
    void handBackSocket(VelmoraSocket& sock);

    // --- name tables ---
    static uint32_t protocolMaskFromName(const char* name);
    static const char* protocolMaskName(uint32_t mask);
    static uint32_t cipherFromName(const char* name);
    static const char* cipherName(uint32_t alg);
    static uint32_t hashFromName(const char* name);
    static const char* hashName(uint32_t alg);
    static uint32_t keyExchangeFromName(const char* name);
    static const char* keyExchangeName(uint32_t alg);
    static const char* statusName(uint32_t status);
    static const char* bufferTypeName(uint32_t type);
    // Name of a chain policy error, "(unknown)" for others; null for the
    // untrusted roots, which have none.
    static const char* policyErrorName(uint32_t code);

private:
    struct CallSettings {
        uint32_t heartbeatMs = 0;
        ProgressMonitor* pm = nullptr;
        uint32_t connectTimeoutMs = 0;
        uint32_t idleTimeoutMs = 0;
    };
    // Per-call settings live for one operation only, so they never leak
    // into the next call.
    class CallScope {
    public:
        CallScope(SChannelWin32& ch, uint32_t heartbeatMs, ProgressMonitor* pm, uint32_t connectTimeoutMs,
                  uint32_t idleTimeoutMs)
            : m_ch(ch) {
            m_ch.m_call = CallSettings{heartbeatMs, pm, connectTimeoutMs, idleTimeoutMs};
            m_ch.m_readFlags.clear();
            m_ch.m_socket.setIdleTimeoutMs(idleTimeoutMs);
        }
        ~CallScope() { m_ch.m_call = CallSettings(); }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        SChannelWin32& m_ch;
    };

    bool establishCommon(bool starttls, VelmoraSocket* takeFrom, LogBase& log);
    bool prepareEstablish(LogBase& log);
    bool connectSocket(LogBase& log);
    bool proxyConnect(LogBase& log);
    bool createCredentials(LogBase& log);
    bool afterHandshake(bool starttls, LogBase& log);
    void logConnectionInfo(LogBase& log);
    bool checkRequiredCertificate(LogBase& log);
    bool verifyServerCertificate(LogBase& log);
    void logPolicyError(uint32_t code, LogBase& log);
    void describeProblem(uint32_t policyError);
    bool checkPinnedKey(LogBase& log);

    bool performHandshake(LogBase& log);
    bool clientHandshakeLoop(bool readFirst, DataBuffer& extra, LogBase& log);
    bool handshakeRead(DataBuffer& buf, LogBase& log);
    bool handshakeStep(DataBuffer& buf, platform::TlsStepResult& r, LogBase& log);
    bool sendToken(const platform::Bytes& token, LogBase& log);
    void logStep(const platform::TlsStepResult& r, uint32_t inCount, LogBase& log);

    bool sendRecord(const unsigned char* data, uint32_t n, bool moreFollows, LogBase& log);
    bool readyFor(const char* op, LogBase& log);
    bool decryptExtraConnectData(DataBuffer& out, bool& endOfSession, bool& more, LogBase& log);
    bool readRecords(DataBuffer& out, uint32_t outStart, bool wantMore, bool& endOfSession, LogBase& log);
    bool readPending(LogBase& log);
    void releaseSecurity();
    void forceClose();

    StringBuffer m_hostname;
    uint32_t m_port = 443;
    bool m_useHttpProxy = false;
    StringBuffer m_proxyHost;
    uint32_t m_proxyPort = 80;
    StringBuffer m_proxyUser;
    StringBuffer m_proxyPassword;
    bool m_verbose = false;
    DataBuffer m_extraConnectData;
    uint32_t m_protocolMask = 0;
    uint32_t m_cipherAlg = 0;
    uint32_t m_hashAlg = 0;
    uint32_t m_keyExchangeAlg = 0;
    std::shared_ptr<platform::TlsCertificate> m_serverCert;
    bool m_serverCertVerified = false;
    std::unique_ptr<platform::TlsCredentials> m_credentials;
    std::unique_ptr<platform::TlsContext> m_context;
    StringBuffer m_requiredCertField;
    StringBuffer m_requiredCertValue;
    CallSettings m_call;
    SocketFlags m_readFlags;
    VelmoraSocket m_socket;
    uint32_t m_lastStatus = 0;
    bool m_requireVerified = false;
    platform::TlsTrustSettings m_trust;
    bool m_tls12AtLeast = false;
    platform::Bytes m_pinnedKey;
    bool m_pinMatched = false;
    std::string m_certProblem;
    platform::TlsConnectionInfo m_connInfo;
    DataBuffer m_pending;  // received records not yet decrypted
};

}  // namespace ostmail
