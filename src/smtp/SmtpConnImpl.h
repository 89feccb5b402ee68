#pragma once
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "net/Socket2.h"
#include "net/SocketFlags.h"
#include "smtp/PackageExchange.h"
#include "smtp/SmtpMessage.h"
#include "smtp/SmtpProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostmail {

class ClsSocksClient;
class DataBuffer;
class DkimSigner;
class Email2;
class ExtPtrArray;
class LogBase;
class ProgressMonitor;

// How one send ended, for the mail manager to turn into its last error.
struct SmtpSendResult {
    int accepted = 0;    // recipients the server took
    int attempted = 0;   // recipients a RCPT TO was sent for
    bool protocolFailure = false;
    bool timedOut = false;
    bool aborted = false;
    bool tooManyMessages = false;  // 421 "maximum allowed messages"; connection closed
    // The whole text went out but no reply to the final dot came: the
    // server may or may not have taken it.
    bool unconfirmed = false;
    // Each RCPT TO of this send with the reply it drew (code 0: none came).
    struct Recipient {
        std::string address;
        int code = 0;
        std::string reply;
    };
    std::vector<Recipient> recipients;
};

// How far the last connect got, so a failure can be told by its step.
enum class SmtpStage { Connect, Greeting, Tls, Hello, Login, Ready };

// The SMTP client session of one mail manager: connect (or reuse the open
// connection after RSET), greeting, STARTTLS, EHLO/HELO, AUTH, and one mail
// transaction per message. No pipelining: each command waits for its reply.
// Every operation returns false after logging why; the connection is left
// as the failure tables of the mail manager expect (see each operation).
class SmtpConnImpl : public PackageExchange {
public:
    SmtpConnImpl();
    ~SmtpConnImpl() override;  // QUIT (5 s at most) when still connected
    SmtpConnImpl(const SmtpConnImpl&) = delete;
    SmtpConnImpl& operator=(const SmtpConnImpl&) = delete;

    // --- settings the mail manager hands over before a connect or send ---
    void setTlsOnConnect(bool on) { m_tlsOnConnect = on; }
    void setStartTls(bool on) { m_startTls = on; }
    void setRequireAllRecipients(bool on) { m_requireAll = on; }
    // The message holds 8-bit bytes: MAIL FROM says BODY=8BITMIME when the
    // server offers it (RFC 6152). Off by default.
    void setBody8Bit(bool on) { m_body8Bit = on; }
    void setHeloHostname(const char* name) { m_heloHostname.setString(name ? name : ""); }
    void setDsnEnvid(const char* v) { setTrimmed(m_dsnEnvid, v); }
    void setDsnNotify(const char* v) { setTrimmed(m_dsnNotify, v); }
    void setDsnRet(const char* v) { setTrimmed(m_dsnRet, v); }
    void setHeartbeatMs(uint32_t ms) { m_heartbeatMs = ms; }
    void setReadTimeoutMs(uint32_t ms) { m_readTimeoutMs = ms; }
    // Signers applied to every message after rendering, before dot-stuffing;
    // not owned, null or empty for none. A message that cannot be signed is not sent.
    void setDkimSigners(const std::vector<DkimSigner>* signers) { m_dkim = signers; }
    // Off unless asked for: STARTTLS whenever the EHLO reply offers it, and
    // no LOGIN, PLAIN or token login without a verified TLS peer.
    void setStartTlsWhenOffered(bool on) { m_startTlsWhenOffered = on; }
    void setRefuseClearTextLogin(bool on) { m_refuseClearTextLogin = on; }
    // The wait for the reply to the final dot; 0 keeps the read time-out.
    void setFinalReplyTimeoutMs(uint32_t ms) { m_finalReplyTimeoutMs = ms; }
    SmtpStage stage() const { return m_stage; }
    // Reply lines read since this object was made; tells whether a reply
    // came at all between two points.
    uint64_t replyLinesRead() const { return m_linesRead; }
    // RFC 2920 when the server offers it (off: one command at a time).
    void setPipelining(bool on) { m_pipelining = on; }
    // International addresses: UTF-8 with SMTPUTF8 when the server offers
    // it, else A-labels for domains (off: the system code page, as always).
    void setSmtpUtf8(bool on) { m_smtpUtf8 = on; }
    // IPv6 and the connect race; an address literal in EHLO when this
    // machine has no name.
    void setDualStack(bool on) {
        m_dualStack = on;
        m_conn.setDualStack(on);
    }

    int lastReplyCode() const { return m_lastReplyCode; }
    bool isDsnCapable() const { return m_caps.dsn; }
    const SmtpCapabilities& capabilities() const { return m_caps; }
    const StringBuffer& transcript() const { return m_transcript; }
    // The last login offered an access token and the server refused it: a
    // fresh token may do, on a new connection.
    bool tokenRefused() const { return m_tokenRefused; }
    // Every line of the server's last reply, and of its last EHLO reply.
    const StringBuffer& lastReplyText() const { return m_lastReply; }
    const StringBuffer& ehloReply() const { return m_ehloReply; }
    bool isConnected() const { return m_conn.IsConnected(); }
    // The connection, for its TLS settings (trust anchors, verification).
    Socket2& connection() { return m_conn; }

    // Ready for MAIL FROM on success. Reuses the open connection (RSET) when
    // host, port and credentials are unchanged; otherwise connects, reads
    // the greeting, upgrades with STARTTLS when asked, says EHLO (HELO when
    // that fails) and logs in when login and password are both set.
    // A failure after the TCP connect leaves the connection open.
    bool smtpConnect(const char* host, int port, const XString& login, const XString& password,
                     const XString& domain, const XString& authMethod, int connectTimeoutSecs,
                     uint32_t readTimeoutMs, ClsSocksClient* socks, LogBase& log, ProgressMonitor* pm,
                     bool& timedOut, bool& aborted);

    // One message: MAIL FROM, RCPT TO for every To, CC and Bcc address, DATA,
    // the dot-stuffed text and the terminator. Refused recipients that hold
    // an '@' are added (once each) to badAddresses as owned StringBuffers.
    // preRendered, when given, is sent instead of the message's own text.
    bool sendEmail(SmtpMessage* msg, const char* reversePath, const StringBuffer* preRendered,
                   const char* sentLogPath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                   ExtPtrArray& badAddresses, bool sendIndividual, bool autoGenMessageId);
    // The same for an e-mail object, rendered for sending.
    bool sendEmail(Email2* email, const char* reversePath, const StringBuffer* preRendered,
                   const char* sentLogPath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                   ExtPtrArray& badAddresses, bool sendIndividual, bool autoGenMessageId);

    // QUIT, waiting for 221; does not close the connection itself.
    bool quit(LogBase& log, ProgressMonitor* pm);
    // RSET / NOOP expecting 250; a refusal closes the connection.
    bool resetSession(LogBase& log, ProgressMonitor* pm);
    bool noop(LogBase& log, ProgressMonitor* pm);
    // Closes without QUIT and forgets the connection identity.
    void closeConnection(LogBase& log, ProgressMonitor* pm);

    // --- authentication exchanges (run by smtpConnect; true on 235) ---
    bool authLogin(XString& login, XString& password, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool authPlain(XString& login, XString& password, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool authCramMd5(XString& login, XString& password, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    // fallback is set when the system security package is unavailable, so
    // that LOGIN runs instead.
    bool authNtlm(XString& domain, XString& login, XString& password, LogBase& log, bool& fallback,
                  ProgressMonitor* pm, SocketFlags& flags);
    bool authMsn(XString& domain, XString& login, XString& password, LogBase& log, bool& fallback,
                 ProgressMonitor* pm, SocketFlags& flags);

    bool exchangePackage(const DataBuffer& toSend, DataBuffer& received, LogBase& log) override;
    bool sendFinal(const DataBuffer& toSend, LogBase& log) override;

private:
    bool offers8BitMime() const;
    struct Credentials;
    enum class AuthKind { None, Login, Ntlm, Msn, CramMd5, Plain, Unsupported };

    static void setTrimmed(StringBuffer& sb, const char* v);

    // --- writing and reading ---
    bool sendRecorded(const char* data, uint32_t n, LogBase& log, ProgressMonitor* pm);
    bool sendUnrecorded(const char* data, uint32_t n, LogBase& log, ProgressMonitor* pm);
    bool readResponseLine(StringBuffer& line, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    void logReadFailure(const SocketFlags& flags, LogBase& log);
    // The reply to a recorded command; only its final line is kept.
    bool readResponse(int expected, int& code, StringBuffer& response, LogBase& log, ProgressMonitor* pm,
                      SocketFlags& flags, bool abortCheck = true, bool detectDsn = false);
    bool readSingleLineReply(int expected, StringBuffer& line, LogBase& log, ProgressMonitor* pm,
                             SocketFlags& flags);
    bool readCollectedReply(int expected, StringBuffer& text, LogBase& log, ProgressMonitor* pm,
                            SocketFlags& flags);
    bool sendCommand(const StringBuffer& command, int expected, int& code, bool& sent, StringBuffer& response,
                     LogBase& log, ProgressMonitor* pm, SocketFlags& flags, bool isTerminator = false);
    bool sendCommand(const char* command, int expected, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);

    // --- connecting ---
    bool reuseExistingConnection(const StringBuffer& host, int port, Credentials& cred, LogBase& log,
                                 ProgressMonitor* pm, SocketFlags& flags);
    bool logConnectStart(const char* host, int port, Credentials& cred, LogBase& log);
    bool openAndGreet(const char* host, int port, int connectTimeoutSecs, uint32_t idleMs, ClsSocksClient* socks,
                      LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool startTlsExchange(LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool upgradeToTls(int connectTimeoutSecs, uint32_t idleMs, LogBase& log, ProgressMonitor* pm);
    void helloName(StringBuffer& out) const;
    bool sayEhlo(bool& ehloOk, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool readEhloReply(StringBuffer& reply, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool heloFallback(const char* host, int port, Credentials& cred, LogBase& log, ProgressMonitor* pm,
                      SocketFlags& flags);
    void chooseForcedMethod(Credentials& cred, LogBase& log);
    AuthKind chosenAuth(Credentials& cred) const;
    bool authenticate(Credentials& cred, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    static bool isTokenMethod(const StringBuffer& method);
    bool tokenLogin(bool ehloOk, const char* host, int port, Credentials& cred, LogBase& log, ProgressMonitor* pm,
                    SocketFlags& flags);
    // XOAUTH2 or (bearer) OAUTHBEARER with the token; true on 235.
    bool authToken(bool bearer, XString& login, XString& token, const char* host, int port, LogBase& log,
                   ProgressMonitor* pm, SocketFlags& flags);
    void logTokenRefusal(LogBase& log);
    bool runAuth(AuthKind kind, Credentials& cred, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool clearTextRefused(const char* mechanism, LogBase& log);
    bool tlsPeerAuthenticated() const;
    bool startTlsIfOffered(bool& ehloOk, int connectTimeoutSecs, uint32_t idleMs, LogBase& log, ProgressMonitor* pm,
                           SocketFlags& flags);
    void rememberIdentity(const StringBuffer& host, int port, const Credentials& cred);
    bool connectSteps(const char* host, int port, Credentials& cred, int connectTimeoutSecs,
                      ClsSocksClient* socks, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);

    // --- authentication pieces ---
    bool authCommandThen334(const char* command, const char* failText, LogBase& log, ProgressMonitor* pm,
                            SocketFlags& flags);
    bool sendBase64Line(const void* data, size_t n, LogBase& log, ProgressMonitor* pm);
    bool sendSecretCommand(const char* name, StringBuffer& command, int expected, LogBase& log, ProgressMonitor* pm,
                           SocketFlags& flags);
    void logTranscript(LogBase& log);
    bool ownNtlmExchange(XString& domain, XString& login, XString& password, LogBase& log, ProgressMonitor* pm,
                         SocketFlags& flags);
    bool packageExchange(const char* package, XString& domain, XString& login, XString& password, LogBase& log,
                         bool& fallback);

    // --- the mail transaction ---
    bool sendToDistributionList(SmtpMessage& msg, const StringBuffer& listPath, const char* reversePath,
                                const StringBuffer* preRendered, const char* sentLogPath, LogBase& log,
                                ProgressMonitor* pm, SmtpSendResult& result, ExtPtrArray& badAddresses,
                                bool sendIndividual, SocketFlags& flags);
    bool sendMailTransaction(SmtpMessage& msg, const char* reversePath, const StringBuffer* preRendered,
                             const char* sentLogPath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                             ExtPtrArray& badAddresses, SocketFlags& flags);
    bool sendMailFrom(const char* reversePath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                      SocketFlags& flags);
    void mailFromCommand(const char* reversePath, StringBuffer& cmd) const;
    bool mailFromRefused(const char* reversePath, int code, const StringBuffer& response, LogBase& log,
                         ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags);
    void rcptCommand(const char* address, StringBuffer& cmd) const;
    bool recipientVerdict(const char* address, SmtpMessage::Kind kind, bool accepted, int code, LogBase& log,
                          ProgressMonitor* pm, SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags);
    void envelopeRecipients(SmtpMessage& msg, SmtpMessage::Kind kind, std::vector<StringBuffer>& out, LogBase& log);
    bool enoughRecipients(LogBase& log, SmtpSendResult& result);
    // Decides how the envelope's addresses go out; false (nothing sent)
    // when one cannot. reversePath gets the sender's form.
    bool prepareEnvelope(SmtpMessage& msg, StringBuffer& reversePath, LogBase& log);
    void envelopeForm(StringBuffer& address, LogBase& log) const;
    bool dataRefused(int code, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result);
    // RFC 2920: RSET (on a reused connection), MAIL, every RCPT and DATA in
    // one write, the replies taken in order; true once DATA has its 354.
    bool pipelinedEnvelope(SmtpMessage& msg, const char* reversePath, LogBase& log, ProgressMonitor* pm,
                           SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags);
    int pipelinedReply(int expected, bool forData, StringBuffer& response, LogBase& log, ProgressMonitor* pm,
                       SocketFlags& flags);
    bool outOfStep(const StringBuffer& response, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result);
    bool drainAfterRefusedMail(size_t replies, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool abandonAfterData(int dataCode, LogBase& log, ProgressMonitor* pm, SocketFlags& flags);
    bool sendRecipients(SmtpMessage& msg, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                        ExtPtrArray& badAddresses, SocketFlags& flags);
    bool sendRecipientList(SmtpMessage& msg, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                          SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags);
    bool sendData(LogBase& log, ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags);
    bool sendBody(SmtpMessage& msg, const StringBuffer* preRendered, StringBuffer& body, LogBase& log,
                  ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags);
    bool sendTerminator(LogBase& log, ProgressMonitor* pm, SmtpSendResult& result, SocketFlags& flags);
    bool progressAborted(ProgressMonitor* pm, LogBase& log);
    bool advanceAborted(ProgressMonitor* pm, LogBase& log, SmtpSendResult& result);
    bool sendOneRecipient(const char* address, SmtpMessage::Kind kind, LogBase& log, ProgressMonitor* pm,
                          SmtpSendResult& result, ExtPtrArray& badAddresses, SocketFlags& flags);
    void appendSentLog(const char* path, const StringBuffer& body);
    bool monitorAborted(ProgressMonitor* pm, const SocketFlags& flags) const;

    StringBuffer m_transcript;
    StringBuffer m_lastReply;
    bool m_replyComplete = true;  // the next line read starts a new reply
    StringBuffer m_ehloReply;
    bool m_rememberedTls = false;
    bool m_rememberedStartTls = false;
    StringBuffer m_rememberedHost;
    int m_rememberedPort = 25;
    XString m_rememberedLogin;
    XString m_rememberedPassword;
    XString m_rememberedDomain;
    Socket2 m_conn;
    bool m_dualStack = false;
    bool m_pipelining = false;
    bool m_smtpUtf8 = false;
    bool m_utf8Envelope = false;  // this transaction goes out with SMTPUTF8
    bool m_rsetPending = false;  // a reused connection's RSET goes out with the next MAIL
    bool m_tlsOnConnect = false;
    bool m_startTls = false;
    bool m_requireAll = false;
    const std::vector<DkimSigner>* m_dkim = nullptr;
    bool m_startTlsWhenOffered = false;
    bool m_refuseClearTextLogin = false;
    bool m_body8Bit = false;
    uint32_t m_heartbeatMs = 0;
    uint32_t m_readTimeoutMs = 0;
    uint32_t m_finalReplyTimeoutMs = 0;
    SmtpStage m_stage = SmtpStage::Connect;
    uint32_t m_sendChunkSize = 32767;
    int m_lastReplyCode = 0;
    bool m_tokenRefused = false;
    uint64_t m_linesRead = 0;
    uint32_t m_replyBytes = 0;  // read since the last command was written or the connect
    SmtpCapabilities m_caps;
    StringBuffer m_dsnEnvid;
    StringBuffer m_dsnNotify;
    StringBuffer m_dsnRet;
    StringBuffer m_heloHostname;
};

}  // namespace ostmail
