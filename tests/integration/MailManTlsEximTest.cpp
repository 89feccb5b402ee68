// Logins inside TLS through the mail job, the mail manager and the command
// line against Exim; which authenticator took the login is read from the
// arrival line in Exim's own log.
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "integration/EximCheck.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::Maildir;
using testsupport::PythonResult;
using testsupport::TestEnv;

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
    args.insert(args.end(), {std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "send", "--server",
                             env.get("OSTMAIL_TLS_HOST"), "--port", std::to_string(env.port(port)),
                             implicitTls ? "--ssl" : "--starttls", "--from", "tlslogin@example.test", "--to",
                             "inbox@example.test", "--body", "inside TLS", "--verbose", "--subject", token});
    args.insert(args.end(), more.begin(), more.end());
    return testsupport::runProgram(args);
}

std::vector<std::string> login(const std::string& user, const std::string& password, const std::string& method = "") {
    std::vector<std::string> args = {"--user", user, "--password", password};
    if (!method.empty()) args.insert(args.end(), {"--auth-method", method});
    return args;
}

TEST(MailManTlsExim, DoMailOverImplicitTlsLogsInOnlyWithCredentials) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string user = env.get("OSTMAIL_SMTP_USER");
    std::string pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char *name, *port;
        std::string user, password;
        bool delivered;
        std::string auth;
    };
    // The port without LOGIN and NTLM shows the job's choice from the EHLO list.
    for (const Case& k : {Case{"login", "OSTMAIL_SMTPS_PORT", user, pass, true, "A=login:" + user},
                          Case{"anonymous", "OSTMAIL_SMTPS_PORT", "", "", true, ""},
                          Case{"refused", "OSTMAIL_SMTPS_PORT", user, "wrong-password", false, ""},
                          Case{"CRAM-MD5 offered", "OSTMAIL_SMTPS_OFFER_CRAM_PORT", user, pass, true, "A=cram:" + user}}) {
        SCOPED_TRACE(k.name);
        std::string token = Maildir::uniqueToken("domail");
        CMailObj m;
        aimJob(m, env.get("OSTMAIL_TLS_HOST"), env.port(k.port), true, k.user, k.password, token);
        EXPECT_EQ(m.DoMail() == 0, k.delivered);
        if (!k.delivered) {
            EXPECT_TRUE(maildir.find(token).empty());
            continue;
        }
        std::string line = arrival(env, token);
        EXPECT_TRUE(has(line, " X=TLS")) << line;
        EXPECT_EQ(authField(line), k.auth) << line;
    }
}

// Every mechanism, forced and left to the EHLO list, over implicit TLS and
// over STARTTLS, with the server certificate checked against the test CA
// (as a file, then as a hashed folder).
TEST(MailManTlsExim, CommandLineLogsInWithEachMechanismOverBothTlsModes) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        std::string method, user, password, auth;
    };
    const std::vector<Case> cases = {
        {"", user, pass, "A=login:" + user},           {"LOGIN", user, pass, "A=login:" + user},
        {"PLAIN", user, pass, "A=plain:" + user},      {"CRAM-MD5", user, pass, "A=cram:" + user},
        {"NTLM", user, pass, "A=ntlm_spa:" + user},    {"NONE", user, pass, ""},
        {"", "", "", ""},
    };
    for (bool implicitTls : {true, false}) {
        for (const Case& k : cases) {
            SCOPED_TRACE((implicitTls ? "implicit TLS, method '" : "STARTTLS, method '") + k.method + "', user '" +
                         k.user + "'");
            std::string token = Maildir::uniqueToken("clitls");
            std::vector<std::string> more = login(k.user, k.password, k.method);
            if (implicitTls)
                more.insert(more.end(), {"--require-cert", "--ca-file", env.get("OSTMAIL_CA_FILE"), "--tls-protocol", "TLS 1.0"});
            else
                more.insert(more.end(), {"--require-cert", "--ca-dir", env.get("OSTMAIL_CA_DIR")});
            PythonResult r = sendTls(env, implicitTls, token, more);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(has(r.err, "SSL Server Certificate verified")) << r.err;
            std::string line = arrival(env, token);
            // The protocol choice holds for implicit TLS; STARTTLS always takes the default.
            EXPECT_TRUE(has(line, implicitTls ? " X=TLS1.0:" : " X=TLS1.3:")) << line;
            EXPECT_EQ(authField(line), k.auth) << line;
            EXPECT_FALSE(k.auth.empty() && has(r.err, "\nAUTH ")) << "no AUTH expected\n" << r.err;
        }
    }
}

// Ports that offer fewer mechanisms show the client's order of choice:
// LOGIN, NTLM, CRAM-MD5, PLAIN.
TEST(MailManTlsExim, MechanismIsChosenFromTheEhloListInOrder) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Offer {
        std::string portSuffix, auth, method;
    };
    for (bool implicitTls : {true, false}) {
        for (const Offer& k : {Offer{"NTLM", "A=ntlm_spa:", "NTLM"}, Offer{"CRAM", "A=cram:", "CRAM_MD5"},
                               Offer{"PLAIN", "A=plain:", "PLAIN"}}) {
            std::string port = std::string(implicitTls ? "OSTMAIL_SMTPS" : "OSTMAIL_SMTP") + "_OFFER_" +
                               k.portSuffix + "_PORT";
            SCOPED_TRACE(port);
            std::string token = Maildir::uniqueToken("offer");
            PythonResult r = sendTls(env, implicitTls, token, login(user, pass), port);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(has(r.err, "login_method: " + k.method)) << r.err;
            EXPECT_EQ(authField(arrival(env, token)), k.auth + user);
        }
    }
}

// Without a trust setting the system anchors count: SSL_CERT_FILE when set,
// otherwise the hashed folder, otherwise the system bundle.
TEST(MailManTlsExim, SystemAnchorsComeFromTheEnvironmentOrTheHashedFolder) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    struct Case {
        const char* name;
        std::vector<std::string> vars;
        bool verified;
    };
    const std::string emptyDir = "SSL_CERT_DIR=" + env.get("OSTMAIL_SERVERS_DIR") + "/logs";
    for (const Case& k : {Case{"hashed folder", {"SSL_CERT_FILE", "SSL_CERT_DIR=" + env.get("OSTMAIL_CA_DIR")}, true},
                          Case{"file", {"SSL_CERT_FILE=" + env.get("OSTMAIL_CA_FILE"), emptyDir}, true},
                          Case{"system bundle", {"SSL_CERT_FILE", emptyDir}, false}}) {
        SCOPED_TRACE(k.name);
        std::string token = Maildir::uniqueToken("anchors");
        PythonResult r = sendTls(env, true, token, {"--require-cert"}, "", k.vars);
        EXPECT_EQ(r.exitCode, k.verified ? 0 : 1) << r.err;
        EXPECT_EQ(has(r.err, "SSL Server Certificate verified"), k.verified) << r.err;
        if (k.verified) {
            EXPECT_NE(maildir.waitFor(token), "");
        }
    }
}

TEST(MailManTlsExim, CertificateTlsChoiceAndPasswordRefusals) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    auto refused = [&](bool implicitTls, std::vector<std::string> more, std::vector<std::string> lines,
                       const std::string& absent) {
        std::string token = Maildir::uniqueToken("refused");
        PythonResult r = sendTls(env, implicitTls, token, more);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        for (const std::string& line : lines) EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
        EXPECT_FALSE(!absent.empty() && has(r.err, absent)) << r.err;
        EXPECT_TRUE(maildir.find(token).empty());
    };
    // The test CA is private: required verification without it refuses.
    for (bool implicitTls : {true, false})
        refused(implicitTls, {"--require-cert"}, {"Failed to verify server certificate"},
                "SSL Server Certificate verified");
    // Protocols and ciphers no longer on offer fail before the handshake.
    refused(true, {"--tls-protocol", "SSL 3.0"}, {"Error creating credentials"}, "");
    refused(true, {"--tls-cipher", "3DES"}, {"Error creating credentials"}, "");

    struct Refusal {
        const char* method;
        std::vector<std::string> lines;
    };
    for (const Refusal& k :
         {Refusal{"LOGIN", {"Failed to get response to login password", "Failed to login using LOGIN method"}},
          Refusal{"PLAIN", {"535 Incorrect authentication data", "Failed to login using PLAIN method"}},
          Refusal{"CRAM-MD5",
                  {"Failed to get successful CRAM-MD5 response", "Failed to login using CRAM-MD5 method"}},
          Refusal{"NTLM", {"Logon denied.  Check username, password, and domain", "NTLM authentication failed"}}}) {
        SCOPED_TRACE(k.method);
        std::vector<std::string> lines = k.lines;
        lines.push_back("Failed to connect to SMTP server.");
        refused(false, login(env.get("OSTMAIL_SMTP_USER"), "wrong-password", k.method), lines, "");
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
    email.put_FromAddress("manager@example.test");
    ASSERT_TRUE(email.AddTo("", "inbox@example.test"));
    email.put_Body("verified channel");
    email.put_Subject(token.c_str());
    const std::string trustFolders[] = {"", env.get("OSTMAIL_CA_DIR"), ""};
    for (const std::string& folder : trustFolders) {
        SCOPED_TRACE("trust folder '" + folder + "'");
        mm.put_SslTrustFolder(folder.c_str());
        EXPECT_EQ(std::string(mm.sslTrustFolder()), folder);
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
