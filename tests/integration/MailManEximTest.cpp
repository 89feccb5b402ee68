// The manager against Exim: logins inside TLS through the manager and the
// command line (which authenticator took the login is read from the arrival
// line in Exim's own log), pre-rendered sends to envelope lists, and the
// connection and login checks over each transport.
#include "integration/EximCheck.h"
#include "smtp/SmtpSecurity.h"
#include "support/ScratchDir.h"
#include "ostmail/ostmail.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

namespace ostmail::itest {
namespace {

// ostmail send over TLS with the token as subject and more options, through
// env(1) with vars in front (NAME=VALUE sets, -u NAME unsets).
PythonResult sendTls(const TestEnv& env, bool implicitTls, const std::string& token, std::vector<std::string> more,
                     std::string port = "", std::vector<std::string> vars = {}) {
    more.insert(more.begin(), implicitTls ? "--ssl" : "--starttls");
    vars.insert(vars.begin(), "/usr/bin/env");
    if (port.empty()) port = implicitTls ? "OSTMAIL_SMTPS_PORT" : "OSTMAIL_SMTP_PORT";
    return cliSend(env, env.get("OSTMAIL_TLS_HOST"), port.c_str(), token, more, vars);
}

// The public key pin of a test server's certificate, as openssl prints it.
std::string serverPin(const TestEnv& env, const std::string& certificate) {
    std::string pem = env.get("OSTMAIL_SERVERS_DIR") + "/tls/" + certificate;
    PythonResult r = testsupport::runProgram(
        {"/bin/sh", "-c",
         "openssl x509 -in '" + pem + "' -pubkey -noout | openssl pkey -pubin -outform der | "
         "openssl dgst -sha256 -binary | base64"});
    return r.out.substr(0, r.out.find('\n'));
}

// The manager hands its TLS settings over before every connect, so a
// changed trust folder counts on the next send of the same manager. (The
// mail job's login over implicit TLS: MailJobExim's DoMail test.)
TEST(MailManTlsExim, ManagerTrustSettingsCountOnEachConnect) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    VmMailMan mm;
    aimManager(mm, env, "OSTMAIL_SMTPS_PORT", Tls::Implicit);
    mm.put_SslTrustFile("");
    std::string token = Maildir::uniqueToken("mmtls");
    for (const std::string& folder : {std::string(), env.get("OSTMAIL_CA_DIR"), std::string()}) {
        SCOPED_TRACE("trust folder '" + folder + "'");
        mm.put_SslTrustFolder(folder.c_str());
        EXPECT_EQ(sendFromManager(mm, token), !folder.empty());
        EXPECT_TRUE(has(mm.lastErrorText(), folder.empty() ? "Failed to verify server certificate"
                                                            : "SSL Server Certificate verified"))
            << mm.lastErrorText();
        mm.CloseSmtpConnection();
    }
    EXPECT_EQ(Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 1).size(), 1u);
}

// Every mechanism, forced and left to the EHLO list, over implicit TLS and
// over STARTTLS, with the server certificate checked against the test CA
// (as a file, then as a hashed folder). Ports that offer fewer mechanisms
// show the client's order of choice: LOGIN (taken from the full list by the
// mail job's test, forced by the API's), NTLM, CRAM-MD5, PLAIN.
TEST(MailManTlsExim, CommandLineLogsInWithEachMechanismOverBothTlsModes) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        std::string method, user, password, auth;
        std::string offer = "", chosen = "";  // a port that offers only this; the mechanism the client takes
    };
    const std::vector<Case> cases = {
        {"PLAIN", user, pass, "A=plain:" + user},      {"CRAM-MD5", user, pass, "A=cram:" + user},
        {"NTLM", user, pass, "A=ntlm_spa:" + user},    {"NONE", user, pass, ""},
        {"", "", "", ""},
        {"", user, pass, "A=ntlm_spa:" + user, "NTLM", "NTLM"},
        {"", user, pass, "A=cram:" + user, "CRAM", "CRAM_MD5"},
        {"", user, pass, "A=plain:" + user, "PLAIN", "PLAIN"},
    };
    for (bool implicitTls : {true, false}) {
        for (const Case& k : cases) {
            SCOPED_TRACE((implicitTls ? "implicit TLS " : "STARTTLS ") + k.method + " " + k.user + " " + k.offer);
            std::string token = Maildir::uniqueToken("clitls");
            std::vector<std::string> more = {"--user", k.user, "--password", k.password};
            if (!k.method.empty()) more.insert(more.end(), {"--auth-method", k.method});
            more.insert(more.end(), {"--require-cert", implicitTls ? "--ca-file" : "--ca-dir",
                                     env.get(implicitTls ? "OSTMAIL_CA_FILE" : "OSTMAIL_CA_DIR")});
            if (implicitTls) more.insert(more.end(), {"--tls-protocol", "TLS 1.0"});
            std::string port = std::string(implicitTls ? "OSTMAIL_SMTPS" : "OSTMAIL_SMTP") + "_OFFER_" + k.offer;
            PythonResult r = sendTls(env, implicitTls, token, more, k.offer.empty() ? "" : port + "_PORT");
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(k.chosen.empty() || has(r.err, "login_method: " + k.chosen)) << r.err;
            EXPECT_TRUE(has(r.err, "SSL Server Certificate verified")) << r.err;
            std::string line = arrival(env, token);
            // The protocol choice holds for implicit TLS; STARTTLS always takes the default.
            EXPECT_TRUE(has(line, implicitTls ? " X=TLS1.0:" : " X=TLS1.3:")) << line;
            EXPECT_EQ(authField(line), k.auth) << line;
            EXPECT_FALSE(k.auth.empty() && has(r.err, "\nAUTH ")) << "no AUTH expected\n" << r.err;
            if (!k.password.empty()) expectNoSecret(r.err + r.out, k.user, k.password);
        }
    }
}

// What must fail, with nothing delivered: required verification without a
// trust setting (or with the system anchors only), protocols and ciphers no
// longer on offer, and a wrong password with each mechanism (NTLM's:
// NtlmSystemAccount). Without a trust setting the system anchors count:
// SSL_CERT_FILE when set, otherwise the hashed folder, otherwise the system
// bundle.
TEST(MailManTlsExim, CertificateTlsChoiceAndPasswordRefusals) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string verified = "SSL Server Certificate verified";
    const std::string unverified = "Failed to verify server certificate";
    // An untrusted root has no policy error name of its own.
    const std::vector<std::string> untrusted = {verified, "WinVerifyTrustWarning"};
    const std::string noCredentials = "Error creating credentials", noLogin = "Failed to connect to SMTP server.";
    const std::string emptyDir = "SSL_CERT_DIR=" + env.get("OSTMAIL_SERVERS_DIR") + "/logs";
    const std::string user = env.get("OSTMAIL_SMTP_USER");
    auto wrong = [&](const char* method) {
        return std::vector<std::string>{"--user", user, "--password", "wrong-password", "--auth-method", method};
    };
    const std::string noCa = "--ca-file=", insecure = "--insecure", refusedAt = "Server certificate refused: ";
    const std::string warned = "ostmail: warning: the server's certificate is not checked (--insecure)";
    const std::string clear = SmtpSecurity::kClearTextRefusal, pin = serverPin(env, "wrong.pem");
    const std::vector<std::string> login = {"--user", user, "--password", env.get("OSTMAIL_SMTP_PASSWORD")};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        bool implicitTls;
        std::vector<std::string> more, vars, present, absent;  // delivered when present has verified
        const char* port = "";  // another port than the mode's
        int exitCode = -1;      // other than the one present[0] implies
    };
    const std::string expiredPort = "OSTMAIL_EXPIRED_SMTPS_PORT", wrongPort = "OSTMAIL_WRONGNAME_SMTPS_PORT";
    testsupport::ScratchDir dir;  // one account turns the check off, the other keeps it
    const std::string accounts = dir.write("accounts", "[default]\nssl = yes\n[lax]\nrequire-cert = no\n");
    const Case cases[] = {
        // By default the certificate must verify; --insecure lets any pass, with a warning.
        {true, {}, {}, {refusedAt + "expired 2020-02-01", unverified}, {"sendingHello"}, expiredPort.c_str()},
        {true, {}, {}, {refusedAt + "certificate for wrong-name.invalid, not localhost"}, {"sendingHello"},
         wrongPort.c_str()},
        {true, {insecure}, {}, {warned, "(warning) SSL Server Certificate not verified"}, {unverified},
         expiredPort.c_str(), 0},
        {true, {insecure}, {}, {warned, "CERT_E_CN_NO_MATCH"}, {unverified}, wrongPort.c_str(), 0},
        {true, {"--config", accounts, "--account", "lax"}, {}, {warned}, {unverified}, wrongPort.c_str(), 0},
        {true, {"--config", accounts}, {}, {unverified}, {warned}, wrongPort.c_str(), 1},
        // A pin holds with --insecure, and a matching one lets a login through.
        {true, with(login, {insecure, "--pin-sha256", pin}), {}, {"Server public key matches the pinned key."},
         {clear}, wrongPort.c_str(), 0},
        {true, {insecure, "--pin-sha256", "sha256//" + pin.substr(0, 42) + (pin[42] == 'A' ? "E=" : "A=")}, {},
         {"Server public key refused: its sha256 is " + pin}, {}, wrongPort.c_str(), 1},
        // No password over unverified TLS or none at all, unless allowed.
        {true, with(login, {insecure, "--auth-method", "PLAIN"}), {}, {clear}, {"\nAUTH"}, wrongPort.c_str(), 1},
        {false, with({"--no-tls"}, with(login, {"--auth-method", "LOGIN"})), {}, {"login_method: LOGIN", clear},
         {"\nAUTH", "upgrading"}, "", 1},
        {false, with({"--no-tls"}, with(login, {"--allow-plaintext-login", "--auth-method", "LOGIN"})), {},
         {"ostmail: warning: the password may cross the network readable", "ConnectionType: Unencrypted"}, {},
         "", 0},
        {false, {noCa, "--require-cert"}, {}, {unverified}, untrusted},
        {true, {noCa}, {"-u", "SSL_CERT_FILE", "SSL_CERT_DIR=" + env.get("OSTMAIL_CA_DIR")}, {verified}, {}},
        {true, {noCa}, {"SSL_CERT_FILE=" + env.get("OSTMAIL_CA_FILE"), emptyDir}, {verified}, {}},
        {true, {noCa}, {"-u", "SSL_CERT_FILE", emptyDir}, {unverified}, untrusted},
        {true, {"--tls-cipher", "3DES"}, {}, {noCredentials}, {}},
        {false, wrong("LOGIN"), {},
         {"Failed to get response to login password", "Failed to login using LOGIN method", noLogin}, {}},
        {false, wrong("PLAIN"), {},
         {"535 Incorrect authentication data", "Failed to login using PLAIN method", noLogin}, {}},
        {false, wrong("CRAM-MD5"), {},
         {"Failed to get successful CRAM-MD5 response", "Failed to login using CRAM-MD5 method", noLogin}, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE((k.implicitTls ? "implicit TLS: " : "STARTTLS: ") + k.present[0] + " " +
                     (k.more.empty() ? "" : k.more.back()) + " " +
                     (k.vars.empty() ? "" : k.vars.back()));
        bool delivers = k.exitCode < 0 ? k.present[0] == verified : k.exitCode == 0;
        std::string token = Maildir::uniqueToken("refused");
        PythonResult r = k.more.empty() || k.more[0] != "--no-tls"
                             ? sendTls(env, k.implicitTls, token, k.more, k.port, k.vars)
                             : cliSend(env, env.get("OSTMAIL_TLS_HOST"), "OSTMAIL_SMTP_PORT", token, k.more);
        EXPECT_EQ(r.exitCode, delivers ? 0 : 1) << r.err;
        expectLines(r.err, k.present, k.absent);
        expectNoSecret(r.err + r.out, user, "wrong-password");
        arrival(env, token, delivers, *k.port ? "OSTMAIL_EXPIRED_EXIM_LOG" : "OSTMAIL_EXIM_LOG");
    }
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--pin-sha256", pin.substr(1)}).exitCode, 2);
}

// The rendered text goes out byte for byte: what arrives for each envelope
// recipient (never named in the header) holds the same header and body.
TEST(MailManOpsExim, RenderedTextGoesUnchangedToEveryEnvelopeRecipient) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    VmMailMan mm;
    aimManager(mm, env, "OSTMAIL_SMTP_PORT", Tls::None);
    for (bool asList : {false, true}) {
        SCOPED_TRACE(asList ? "SendMimeToList" : "SendMime");
        std::string token = Maildir::uniqueToken("sendmime");
        VmEmail email;
        email.put_FromAddress("mime@example.test");
        email.AddTo("", "header-only@example.test");
        email.put_Subject(token.c_str());
        email.put_Body("pre-rendered body line");
        const char* rendered = mm.renderToMime(email);
        ASSERT_NE(rendered, nullptr) << mm.lastErrorText();
        std::string mime = std::string(rendered) + "\r\n.leading dot\r\n";  // unstuffed again by the server
        const char* from = "env@example.test";
        bool ok = asList ? mm.SendMimeToList(from, {"list1@example.test", "list2@example.test"}, mime.c_str())
                         : mm.SendMime(from, " list1@example.test ,list2@example.test,", mime.c_str());
        ASSERT_TRUE(ok) << mm.lastErrorText();
        EXPECT_TRUE(has(mm.lastSmtpReply(), "250")) << mm.lastSmtpReply();
        std::vector<std::string> got = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2);
        ASSERT_EQ(got.size(), 2u);
        for (const std::string& path : got)
            expectLines(Maildir::readFile(path), {"Return-path: <env@example.test>", "Envelope-to: list",
                                                  "pre-rendered body line", "\n.leading dot\n"});
    }
    // Every recipient refused: false, and the refusal is the last reply.
    EXPECT_FALSE(mm.SendMime("env@example.test", "reject-me@example.test", "Subject: x\r\n\r\nx\r\n"));
    EXPECT_TRUE(has(mm.lastErrorText(), "SendMime"));
}

// The manager's connection and login checks over each transport, through
// ostmail check, which also prints what the server offers.
TEST(MailManOpsExim, VerifyAndCheckConnectAndLogInOverEachTransport) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const char *smtp = "OSTMAIL_SMTP_PORT", *smtps = "OSTMAIL_SMTPS_PORT", *closed = "OSTMAIL_CLOSED_PORT";
    struct Case {
        const char* port;
        Tls tls;
        std::string user, password;
        bool connects, logsIn;
        std::string tlsLine, lastLine;  // of ostmail check
        std::vector<std::string> more = {}, out = {};  // options; more lines of its report
    };
    const std::string loginVerdict = "password login (LOGIN, PLAIN): ";
    for (const Case& k :
         {Case{smtp, Tls::None, "", "", true, false, "TLS: STARTTLS offered", "connection: ok (login not checked)",
               {"--no-tls"}, {loginVerdict + "refused as clear text (no verified TLS)"}},
          Case{smtp, Tls::None, user, pass, true, true, "TLS: STARTTLS (in use)", "login: ok", {},
               {"TLS version: TLSv1.3\ncipher: TLS_", "certificate subject: CN=localhost,O=Ostmail Tests",
                "certificate issuer: CN=Ostmail Test CA,O=Ostmail Tests", "certificate expires: 20",
                "certificate check: verified\n", loginVerdict + "allowed (verified TLS)"}},
          Case{"OSTMAIL_WRONGNAME_SMTPS_PORT", Tls::Implicit, "", "", true, false, "TLS: implicit TLS",
               "connection: ok", {"--insecure"},
               {"certificate check: not verified: certificate for wrong-name.invalid, not localhost (accepted: "
                "--insecure)",
                loginVerdict + "refused as clear text"}},
          Case{smtp, Tls::StartTls, user, pass, true, true, "TLS: STARTTLS (in use)", "login: ok"},
          Case{smtps, Tls::Implicit, user, pass, true, true, "TLS: implicit TLS", "login: ok"},
          Case{smtps, Tls::Implicit, user, "wrong", true, false, "TLS: implicit TLS", ""},
          Case{closed, Tls::None, user, pass, false, false, "", ""},
          Case{closed, Tls::None, "", "", false, false, "", ""}}) {
        SCOPED_TRACE(std::string(k.port) + " TLS " + std::to_string(int(k.tls)) + " " + k.user + " " + k.password);
        std::vector<std::string> args = {"check", "--server", env.get("OSTMAIL_TLS_HOST"), "--ca-file",
                                         env.get("OSTMAIL_CA_FILE"), "--port", portOf(env, k.port), "--verbose"};
        if (k.tls != Tls::None) args.push_back(k.tls == Tls::Implicit ? "--ssl" : "--starttls");
        if (!k.user.empty()) args.insert(args.end(), {"--user", k.user, "--password", k.password});
        args.insert(args.end(), k.more.begin(), k.more.end());
        PythonResult r = cli(args, 30000);
        bool ok = k.user.empty() ? k.connects : k.logsIn;
        EXPECT_EQ(r.exitCode, ok ? 0 : 1) << r.out << r.err;
        EXPECT_EQ(has(r.out, "AUTH: PLAIN LOGIN CRAM-MD5 NTLM\nDSN: yes\nSIZE: "), k.connects) << r.out;
        EXPECT_EQ(has(r.out, "ok"), ok) << r.out;
        expectLines(r.out, {k.tlsLine, k.lastLine});
        expectLines(r.out, k.out);
        // The manager's log, with what each check leaves out.
        expectLines(r.err, k.user.empty() ? std::vector<std::string>{"This does not check the login/password.",
                                                                      "Skipping SMTP authentication"}
                                          : std::vector<std::string>{"VerifySmtpLogin"});
    }
    VmMailMan mm;
    aimManager(mm, env, smtp, Tls::None);
    for (auto [u, p, why] : {std::tuple<const char*, const char*, const char*>{"", "x", "SMTP username is empty."},
                             {"u", "", "SMTP password is empty."}}) {
        mm.put_SmtpUsername(u);
        mm.put_SmtpPassword(p);
        EXPECT_FALSE(mm.VerifySmtpLogin());
        EXPECT_TRUE(has(mm.lastErrorText(), why)) << mm.lastErrorText();
    }
}

// MIME boundaries are drawn afresh for each rendering: each becomes "B<n>".
std::string numberedBoundaries(std::string text) {
    const std::string mark = "boundary=\"";
    for (size_t n = 0, at; (at = text.find(mark)) != std::string::npos; ++n) {
        const size_t start = at + mark.size();
        const std::string b = text.substr(start, text.find('"', start) - start);
        text.replace(at, mark.size(), "boundary=<");
        for (size_t p; (p = text.find(b)) != std::string::npos;) text.replace(p, b.size(), "B" + std::to_string(n));
    }
    return text;
}

// What render() returns is what Exim stores, byte for byte (Exim writes LF
// line ends and puts its own trace fields on top), but for the MIME
// boundaries, which each rendering draws anew: dot-stuffing, a binary
// attachment, 8-bit text and the recipients' result included.
TEST(ApiExim, RenderedBytesAreWhatArrives) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string token = Maildir::uniqueToken("render");
    ostmail::Message m;
    m.setFrom("Render Test <render@example.test>");
    m.addTo("inbox@example.test, \"Second, Box\" <second@example.test>");
    m.addBcc("hidden@example.test");
    m.setSubject(token + " caf\xC3\xA9");
    m.addHeader("Message-ID", "<" + token + "@example.test>");
    m.addHeader("Date", "Tue, 02 Jan 2024 03:04:05 +0000");
    m.setText(".leading dot\n..two dots\nk\xC3\xA4se\n");
    m.setHtml("<p><img src=\"cid:logo@example.test\"> k\xC3\xA4se</p>\n");
    m.attachData("bytes.bin", std::string("\0\x01\xFF\r\n.\r\n", 8), "application/octet-stream");
    const testsupport::ScratchDir dir;
    const std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + std::string(300, '\0');
    m.attachInline(dir.write("logo.png", png), "logo@example.test");
    const ostmail::RenderResult rendered = ostmail::render(m);
    ASSERT_TRUE(rendered.ok) << rendered.reason;
    ostmail::SmtpSettings s;
    s.setHost(env.get("OSTMAIL_HOST"));
    s.setPort(env.port("OSTMAIL_SMTP_PORT"));
    s.setSecurity(ostmail::Security::None);  // the bytes are the point here, not the channel
    const ostmail::SendResult r = ostmail::send(s, m);
    ASSERT_TRUE(r.ok()) << r.reason() << "\n" << r.log();
    EXPECT_EQ(r.accepted().size(), 3u);
    for (const ostmail::RecipientResult& rc : r.recipients()) EXPECT_EQ(rc.code, 250) << rc.address;
    std::vector<std::string> got = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 3);
    ASSERT_EQ(got.size(), 3u);
    std::string expected;
    for (size_t i = 0; i < rendered.bytes.size(); ++i)
        if (rendered.bytes.compare(i, 2, "\r\n") != 0) expected += rendered.bytes[i];
    for (const std::string& path : got) {
        const std::string stored = Maildir::readFile(path);
        ASSERT_GE(stored.size(), expected.size());
        const size_t start = stored.size() - expected.size();
        EXPECT_EQ(numberedBoundaries(stored.substr(start)), numberedBoundaries(expected)) << path;
        // The image sits beside the HTML that shows it, the attachment after both.
        testsupport::MailCheck mail;
        ASSERT_TRUE(mail.loadFile(path)) << mail.error();
        EXPECT_EQ(mail.get("structure"), "multipart/mixed(multipart/alternative(text/plain,multipart/related("
                                         "text/html,image/png)),application/octet-stream)");
        EXPECT_EQ(mail.get("attachment.0.content_id"), "<logo@example.test>");
        EXPECT_EQ(mail.attachmentBytes(0), png);
        EXPECT_EQ(mail.get("html"), "<p><img src=\"cid:logo@example.test\"> k\xC3\xA4se</p>\n");
        // Above it only what Exim adds.
        for (size_t pos = 0, eol; pos < start; pos = eol + 1) {
            eol = stored.find('\n', pos);
            const std::string line = stored.substr(pos, eol - pos);
            EXPECT_TRUE(line[0] == '\t' || line[0] == ' ' || line.rfind("Return-path:", 0) == 0 ||
                        line.rfind("Envelope-to:", 0) == 0 || line.rfind("Delivery-date:", 0) == 0 ||
                        line.rfind("Received:", 0) == 0)
                << line;
        }
    }
}

}  // namespace
}  // namespace ostmail::itest
