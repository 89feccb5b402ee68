#pragma once
// What the tests against the test Exim share: the command line, a mail job
// or a manager aimed at a port, and Exim's own record of how a message arrived.
#include "core/ContentCoding.h"
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "ostmail/CMailObj.h"
#include "support/Maildir.h"
#include "support/PythonRun.h"
#include "support/TestEnv.h"

namespace ostmail::itest {

using testsupport::Maildir;
using testsupport::PythonResult;
using testsupport::TestEnv;

inline bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }
inline std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
inline std::string portOf(const TestEnv& env, const char* key) { return std::to_string(env.port(key)); }
inline std::string localPort(const TestEnv& env, const char* key) { return "127.0.0.1:" + portOf(env, key); }

// Each of present is in text, none of absent.
inline void expectLines(const std::string& text, const std::vector<std::string>& present,
                        const std::vector<std::string>& absent = {}) {
    for (const std::string& line : present) EXPECT_TRUE(has(text, line)) << line << "\n" << text;
    for (const std::string& line : absent) EXPECT_FALSE(has(text, line)) << line << "\n" << text;
}

// No secret of a login in text, in any form a log could show it: raw, as
// base64, and inside the PLAIN, XOAUTH2 and Basic blobs; every AUTH command
// the text holds shows the marker in place of its argument.
inline void expectNoSecret(const std::string& text, const std::string& user, const std::string& secret) {
    auto b64 = [](const std::string& s) {
        StringBuffer out;
        ContentCoding::encodeBase64Flat(s.data(), s.size(), out);
        return out.toStdString();
    };
    const std::string forms[] = {secret, b64(secret), b64(user + '\0' + user + '\0' + secret),
                                 b64("user=" + user + "\x01" "auth=Bearer " + secret + "\x01\x01"),
                                 b64(user + ":" + secret)};
    for (const std::string& form : forms) EXPECT_FALSE(has(text, form)) << "secret shown as " << form << "\n" << text;
    for (size_t at = text.find("\nAUTH "); at != std::string::npos; at = text.find("\nAUTH ", at + 1)) {
        std::string line = text.substr(at + 1, text.find_first_of("\r\n", at + 1) - at - 1);
        EXPECT_TRUE(line.find(' ', 5) == std::string::npos || has(line, " [secret removed]")) << line;
    }
}

// ostmail ARGS...
inline PythonResult cli(std::vector<std::string> args, int timeoutMs = 130000) {
    args.insert(args.begin(), std::string(OSTMAIL_BINARY_DIR) + "/ostmail");
    return testsupport::runProgram(args, timeoutMs);
}

// ostmail send of a message to inbox@example.test with the token as subject,
// the log on stderr, the test CA trusted as a user would (--ca-file "" in
// more takes it back), more options after; prefix runs the program (env(1)
// settings, another account), which may be a copy of ostmail.
inline PythonResult cliSend(const TestEnv& env, const std::string& host, const char* portKey, const std::string& token,
                            const std::vector<std::string>& more, std::vector<std::string> prefix = {},
                            const std::string& program = std::string(OSTMAIL_BINARY_DIR) + "/ostmail") {
    prefix.insert(prefix.end(), {program, "send", "--server", host, "--port", portOf(env, portKey), "--from",
                                 "cli@example.test", "--to", "inbox@example.test", "--subject", token, "--body",
                                 "sent by the command line", "--verbose", "--ca-file", env.get("OSTMAIL_CA_FILE")});
    prefix.insert(prefix.end(), more.begin(), more.end());
    return testsupport::runProgram(prefix);
}

// A mail job to inbox@example.test, one try, the token as its subject.
inline void aimJob(CMailObj& m, const std::string& host, int port, bool ssl, const std::string& user,
                   const std::string& password, const std::string& token) {
    m.SetServer(wide(host));
    m.SetPortNum(port);
    m.UseSSL(ssl ? 1 : 0);
    m.SetUserName(wide(user));
    m.SetPasswd(wide(password));
    m.SetSenderAddr(L"job@example.test");
    m.SetRecipAddr(L"inbox@example.test");
    m.SetSubject(wide(token));
    m.SetBody(L"sent by the mail job\r\n");
    m.SetRetryVal(1);
    m.SetTimeoutInt(1);
}

enum class Tls { None, StartTls, Implicit };

// The manager aimed at Exim, the certificate checked against the test CA
// whenever TLS is on.
inline void aimManager(VmMailMan& mm, const TestEnv& env, const char* portKey, Tls tls) {
    mm.put_SmtpHost(env.get(tls == Tls::None ? "OSTMAIL_HOST" : "OSTMAIL_TLS_HOST").c_str());
    mm.put_SmtpPort(env.port(portKey));
    mm.put_SmtpSsl(tls == Tls::Implicit);
    mm.put_StartTLS(tls == Tls::StartTls);
    mm.put_RequireSslCertVerify(tls != Tls::None);
    mm.put_SslTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
    mm.put_ConnectTimeout(5);
    mm.put_ReadTimeout(5);
}

// SendEmail of a message to inbox@example.test with the token as its subject.
inline bool sendFromManager(VmMailMan& mm, const std::string& token) {
    VmEmail email;
    email.put_FromAddress("manager@example.test");
    EXPECT_TRUE(email.AddTo("", "inbox@example.test"));
    email.put_Subject(token.c_str());
    email.put_Body("sent by the manager\r\n");
    return mm.SendEmail(email);
}

// Its "A=authenticator:user" field; empty when there was no login.
inline std::string authField(const std::string& line) {
    size_t at = line.find(" A=");
    return at == std::string::npos ? "" : line.substr(at + 1, line.find(' ', at + 1) - at - 1);
}

// The "<=" line in Exim's log of the message with token, found through the
// queue id its Received header carries; it must have arrived when delivered
// is set and must not have otherwise ("" then). A message reaches the
// Maildir only after the server's 250, but its "<=" log line (with the
// subject) is written before it, so no wait is needed for the latter.
inline std::string arrival(const TestEnv& env, const std::string& token, bool delivered = true,
                           const std::string& logKey = "OSTMAIL_EXIM_LOG") {
    if (!delivered) {
        EXPECT_FALSE(has(Maildir::readFile(env.get(logKey)), "T=\"" + token + "\"")) << "not to be delivered";
        return "";
    }
    std::string path = Maildir(env.get("OSTMAIL_MAILDIR")).waitFor(token);
    std::string mail = path.empty() ? "" : Maildir::readFile(path), log = Maildir::readFile(env.get(logKey));
    size_t at = mail.find("\tid ");
    std::string queueId = at == std::string::npos ? "" : mail.substr(at + 4, mail.find_first_of(";\r\n", at) - at - 4);
    size_t pos = queueId.empty() ? std::string::npos : log.find(queueId + " <= ");
    EXPECT_NE(pos, std::string::npos) << "no arrival of " << token;
    return pos == std::string::npos ? "<no arrival of " + token + ">" : log.substr(pos, log.find('\n', pos) - pos);
}

}  // namespace ostmail::itest
