// Logins inside TLS through the mail job, the mail manager and the command
// line against Exim; which authenticator took the login is read from the
// arrival line in Exim's own log.
#include "integration/EximCheck.h"

namespace ostmail {
namespace {

using namespace itest;

// ostmail send over TLS with the token as subject and more options; vars go
// to env(1) in front (NAME=VALUE sets, NAME alone unsets).
PythonResult sendTls(const TestEnv& env, bool implicitTls, const std::string& token, std::vector<std::string> more,
                     std::string port = "", std::vector<std::string> vars = {}) {
    if (port.empty()) port = implicitTls ? "OSTMAIL_SMTPS_PORT" : "OSTMAIL_SMTP_PORT";
    std::vector<std::string> args = {"/usr/bin/env"};
    for (const std::string& v : vars) {
        if (v.find('=') == std::string::npos) args.push_back("-u");
        args.push_back(v);
    }
    args.push_back(std::string(OSTMAIL_BINARY_DIR) + "/ostmail");
    for (std::vector<std::string> part : {sendArgs(env.get("OSTMAIL_TLS_HOST"), portOf(env, port.c_str()), token),
                                          {implicitTls ? "--ssl" : "--starttls"}, more})
        args.insert(args.end(), part.begin(), part.end());
    return testsupport::runProgram(args);
}

std::vector<std::string> login(const std::string& user, const std::string& password, const std::string& method = "") {
    std::vector<std::string> args = {"--user", user, "--password", password};
    if (!method.empty()) args.insert(args.end(), {"--auth-method", method});
    return args;
}

TEST(MailManTlsExim, DoMailOverImplicitTlsLogsInOnlyWithCredentials) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char* port;
        std::string user, password;
        bool delivered;
        std::string auth;
    };
    // The port without LOGIN and NTLM shows the job's choice from the EHLO list.
    for (const Case& k : {Case{"OSTMAIL_SMTPS_PORT", user, pass, true, "A=login:" + user},
                          Case{"OSTMAIL_SMTPS_PORT", user, "wrong-password", false, ""},
                          Case{"OSTMAIL_SMTPS_OFFER_CRAM_PORT", user, pass, true, "A=cram:" + user}}) {
        SCOPED_TRACE(std::string(k.port) + ", user '" + k.user + "', password '" + k.password + "'");
        std::string token = Maildir::uniqueToken("domail");
        CMailObj m;
        aimJob(m, env.get("OSTMAIL_TLS_HOST"), env.port(k.port), true, k.user, k.password, token);
        EXPECT_EQ(m.DoMail() == 0, k.delivered);
        std::string line = expectArrival(env, token, k.delivered);
        EXPECT_EQ(has(line, " X=TLS"), k.delivered) << line;
        EXPECT_EQ(authField(line), k.auth) << line;
    }
}

// Every mechanism, forced and left to the EHLO list, over implicit TLS and
// over STARTTLS, with the server certificate checked against the test CA
// (as a file, then as a hashed folder). Ports that offer fewer mechanisms
// show the client's order of choice: LOGIN, NTLM, CRAM-MD5, PLAIN.
TEST(MailManTlsExim, CommandLineLogsInWithEachMechanismOverBothTlsModes) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        std::string method, user, password, auth;
        std::string offer = "", chosen = "";  // a port that offers only this; the mechanism the client takes
    };
    const std::vector<Case> cases = {
        {"", user, pass, "A=login:" + user},           {"LOGIN", user, pass, "A=login:" + user},
        {"PLAIN", user, pass, "A=plain:" + user},      {"CRAM-MD5", user, pass, "A=cram:" + user},
        {"NTLM", user, pass, "A=ntlm_spa:" + user},    {"NONE", user, pass, ""},
        {"", "", "", ""},
        {"", user, pass, "A=ntlm_spa:" + user, "NTLM", "NTLM"},
        {"", user, pass, "A=cram:" + user, "CRAM", "CRAM_MD5"},
        {"", user, pass, "A=plain:" + user, "PLAIN", "PLAIN"},
    };
    for (bool implicitTls : {true, false}) {
        for (const Case& k : cases) {
            SCOPED_TRACE((implicitTls ? "implicit TLS, method '" : "STARTTLS, method '") + k.method + "', user '" +
                         k.user + "', offer '" + k.offer + "'");
            std::string token = Maildir::uniqueToken("clitls");
            std::vector<std::string> more = login(k.user, k.password, k.method);
            more.insert(more.end(), {"--require-cert", implicitTls ? "--ca-file" : "--ca-dir",
                                     env.get(implicitTls ? "OSTMAIL_CA_FILE" : "OSTMAIL_CA_DIR")});
            if (implicitTls) more.insert(more.end(), {"--tls-protocol", "TLS 1.0"});
            std::string port = std::string(implicitTls ? "OSTMAIL_SMTPS" : "OSTMAIL_SMTP") + "_OFFER_" + k.offer;
            PythonResult r = sendTls(env, implicitTls, token, more, k.offer.empty() ? "" : port + "_PORT");
            ASSERT_EQ(r.exitCode, 0) << r.err;
            if (!k.chosen.empty()) EXPECT_TRUE(has(r.err, "login_method: " + k.chosen)) << r.err;
            EXPECT_TRUE(has(r.err, "SSL Server Certificate verified")) << r.err;
            std::string line = arrival(env, token);
            // The protocol choice holds for implicit TLS; STARTTLS always takes the default.
            EXPECT_TRUE(has(line, implicitTls ? " X=TLS1.0:" : " X=TLS1.3:")) << line;
            EXPECT_EQ(authField(line), k.auth) << line;
            EXPECT_FALSE(k.auth.empty() && has(r.err, "\nAUTH ")) << "no AUTH expected\n" << r.err;
        }
    }
}

// What must fail, with nothing delivered: required verification without a
// trust setting (or with the system anchors only), protocols and ciphers no
// longer on offer, and a wrong password with each mechanism. Without a trust
// setting the system anchors count: SSL_CERT_FILE when set, otherwise the
// hashed folder, otherwise the system bundle.
TEST(MailManTlsExim, CertificateTlsChoiceAndPasswordRefusals) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string verified = "SSL Server Certificate verified";
    const std::string unverified = "Failed to verify server certificate";
    const std::string noCredentials = "Error creating credentials", noLogin = "Failed to connect to SMTP server.";
    const std::string emptyDir = "SSL_CERT_DIR=" + env.get("OSTMAIL_SERVERS_DIR") + "/logs";
    const std::string user = env.get("OSTMAIL_SMTP_USER");
    auto wrong = [&](const char* method) { return login(user, "wrong-password", method); };
    struct Case {
        bool implicitTls;
        std::vector<std::string> more, vars, present, absent;  // delivered when present has verified
    };
    const Case cases[] = {
        {true, {"--require-cert"}, {}, {unverified}, {verified}},
        {false, {"--require-cert"}, {}, {unverified}, {verified}},
        {true, {"--require-cert"}, {"SSL_CERT_FILE", "SSL_CERT_DIR=" + env.get("OSTMAIL_CA_DIR")}, {verified},
         {}},
        {true, {"--require-cert"}, {"SSL_CERT_FILE=" + env.get("OSTMAIL_CA_FILE"), emptyDir}, {verified}, {}},
        {true, {"--require-cert"}, {"SSL_CERT_FILE", emptyDir}, {unverified}, {verified}},
        {true, {"--tls-cipher", "3DES"}, {}, {noCredentials}, {}},
        {false, wrong("LOGIN"), {},
         {"Failed to get response to login password", "Failed to login using LOGIN method", noLogin}, {}},
        {false, wrong("PLAIN"), {},
         {"535 Incorrect authentication data", "Failed to login using PLAIN method", noLogin}, {}},
        {false, wrong("CRAM-MD5"), {},
         {"Failed to get successful CRAM-MD5 response", "Failed to login using CRAM-MD5 method", noLogin}, {}},
        {false, wrong("NTLM"), {},
         {"Logon denied.  Check username, password, and domain", "NTLM authentication failed", noLogin}, {}},
    };
    for (const Case& k : cases) {
        std::string name = k.present[0];
        for (const std::string& s : k.more) name += " " + s;
        for (const std::string& s : k.vars) name += " " + s;
        SCOPED_TRACE((k.implicitTls ? "implicit TLS: " : "STARTTLS: ") + name);
        bool delivers = k.present[0] == verified;
        std::string token = Maildir::uniqueToken("refused");
        PythonResult r = sendTls(env, k.implicitTls, token, k.more, "", k.vars);
        EXPECT_EQ(r.exitCode, delivers ? 0 : 1) << r.err;
        expectLines(r.err, k.present, k.absent);
        expectArrival(env, token, delivers);
    }
}

// The manager hands its TLS settings over before every connect, so a
// changed setting counts on the next send of the same manager.
TEST(MailManTlsExim, ManagerSettingsReachTheChannelOnEachConnect) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    VmMailMan mm;
    mm.put_SmtpHost(env.get("OSTMAIL_TLS_HOST").c_str());
    mm.put_SmtpPort(env.port("OSTMAIL_SMTPS_PORT"));
    mm.put_SmtpSsl(true);
    EXPECT_FALSE(mm.get_RequireSslCertVerify());
    mm.put_RequireSslCertVerify(true);

    std::string token = Maildir::uniqueToken("mmtls");
    VmEmail email;
    fillEmail(email, "manager@example.test", token);
    for (const std::string& folder : {std::string(), env.get("OSTMAIL_CA_DIR"), std::string()}) {
        SCOPED_TRACE("trust folder '" + folder + "'");
        mm.put_SslTrustFolder(folder.c_str());
        EXPECT_EQ(mm.SendEmail(email), !folder.empty());
        EXPECT_TRUE(has(mm.lastErrorText(), folder.empty() ? "Failed to verify server certificate"
                                                            : "SSL Server Certificate verified"))
            << mm.lastErrorText();
        mm.CloseSmtpConnection();
    }
    EXPECT_EQ(Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 1).size(), 1u);
}

}  // namespace
}  // namespace ostmail
