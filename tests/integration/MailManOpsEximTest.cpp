// The manager's operations beside SendEmail against Exim: pre-rendered
// sends to envelope lists, rendering without sending, and the connection
// and login checks over each transport.
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "integration/EximCheck.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::Maildir;
using testsupport::TestEnv;

void aim(VmMailMan& mm, const TestEnv& env, const char* portKey, bool ssl, bool startTls) {
    mm.put_SmtpHost(env.get(ssl || startTls ? "OSTMAIL_TLS_HOST" : "OSTMAIL_HOST").c_str());
    mm.put_SmtpPort(env.port(portKey));
    mm.put_SmtpSsl(ssl);
    mm.put_StartTLS(startTls);
    mm.put_SslTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
    mm.put_ReadTimeout(10);
    mm.put_ConnectTimeout(10);
}

// The rendered text goes out byte for byte: what arrives for each envelope
// recipient (never named in the header) holds the same header and body.
TEST(MailManOpsExim, RenderedTextGoesUnchangedToEveryEnvelopeRecipient) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    VmMailMan mm;
    aim(mm, env, "OSTMAIL_SMTP_PORT", false, false);
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
        std::string mime = rendered;
        ASSERT_TRUE(has(mime, "Subject: " + token)) << mime;
        bool ok = asList ? mm.SendMimeToList("env@example.test", {"list1@example.test", "list2@example.test"},
                                             mime.c_str())
                         : mm.SendMime("env@example.test", " list1@example.test ,list2@example.test,", mime.c_str());
        ASSERT_TRUE(ok) << mm.lastErrorText();
        EXPECT_TRUE(has(mm.lastSmtpReply(), "250")) << mm.lastSmtpReply();
        std::vector<std::string> got = maildir.waitForCount(token, 2);
        ASSERT_EQ(got.size(), 2u);
        for (const std::string& path : got) {
            std::string text = Maildir::readFile(path);
            EXPECT_TRUE(has(text, "Return-path: <env@example.test>")) << text;
            EXPECT_TRUE(has(text, "Envelope-to: list")) << text;
            EXPECT_TRUE(has(text, "pre-rendered body line")) << text;
        }
    }
    // Every recipient refused: false, and the refusal is the last reply.
    EXPECT_FALSE(mm.SendMime("env@example.test", "reject-me@example.test", "Subject: x\r\n\r\nx\r\n"));
    EXPECT_TRUE(has(mm.lastErrorText(), "SendMime"));
}

TEST(MailManOpsExim, VerifyConnectsAndLogsInOverEachTransport) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char* name;
        const char* port;
        bool ssl, startTls;
        std::string user, password;
        bool connects, logsIn;
    };
    for (const Case& k : {Case{"plain", "OSTMAIL_SMTP_PORT", false, false, user, pass, true, true},
                          Case{"starttls", "OSTMAIL_SMTP_PORT", false, true, user, pass, true, true},
                          Case{"implicit", "OSTMAIL_SMTPS_PORT", true, false, user, pass, true, true},
                          Case{"bad password", "OSTMAIL_SMTPS_PORT", true, false, user, "wrong", true, false},
                          Case{"closed port", "OSTMAIL_CLOSED_PORT", false, false, user, pass, false, false}}) {
        SCOPED_TRACE(k.name);
        VmMailMan mm;
        aim(mm, env, k.port, k.ssl, k.startTls);
        mm.put_SmtpUsername(k.user.c_str());
        mm.put_SmtpPassword(k.password.c_str());
        EXPECT_EQ(mm.VerifySmtpConnection(), k.connects) << mm.lastErrorText();
        std::string log = mm.lastErrorText();
        EXPECT_TRUE(has(log, "This does not check the login/password.")) << log;
        EXPECT_TRUE(has(log, "Skipping SMTP authentication")) << log;
        if (k.connects) {
            EXPECT_TRUE(has(mm.smtpCapabilities(), "AUTH")) << mm.smtpCapabilities();
        }
        EXPECT_EQ(mm.VerifySmtpLogin(), k.logsIn) << mm.lastErrorText();
        EXPECT_TRUE(has(mm.lastErrorText(), "VerifySmtpLogin"));
    }
    VmMailMan mm;
    aim(mm, env, "OSTMAIL_SMTP_PORT", false, false);
    for (auto [u, p, why] : {std::tuple<const char*, const char*, const char*>{"", "x", "SMTP username is empty."},
                             {"u", "", "SMTP password is empty."}}) {
        mm.put_SmtpUsername(u);
        mm.put_SmtpPassword(p);
        EXPECT_FALSE(mm.VerifySmtpLogin());
        EXPECT_TRUE(has(mm.lastErrorText(), why)) << mm.lastErrorText();
    }
}

TEST(MailManOpsExim, CommandLineCheckPrintsTheOfferAndTheOutcome) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int rc;
        std::string tls, last;
    };
    std::string plain = std::to_string(env.port("OSTMAIL_SMTP_PORT"));
    std::string smtps = std::to_string(env.port("OSTMAIL_SMTPS_PORT"));
    std::vector<std::string> withLogin = {"--user", user, "--password", pass};
    for (const Case& k :
         {Case{"plain", {"--port", plain}, 0, "TLS: STARTTLS offered", "connection: ok (login not checked)"},
          Case{"starttls login", {"--port", plain, "--starttls", "--user", user, "--password", pass}, 0,
               "TLS: STARTTLS (in use)", "login: ok"},
          Case{"implicit", {"--port", smtps, "--ssl"}, 0, "TLS: implicit TLS", "connection: ok"},
          Case{"implicit login", {"--port", smtps, "--ssl", "--user", user, "--password", pass}, 0,
               "TLS: implicit TLS", "login: ok"},
          Case{"bad login", {"--port", smtps, "--ssl", "--user", user, "--password", "wrong"}, 1, "TLS: implicit TLS",
               ""},
          Case{"closed", {"--port", std::to_string(env.port("OSTMAIL_CLOSED_PORT"))}, 1, "", ""}}) {
        SCOPED_TRACE(k.name);
        std::vector<std::string> argv = {std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "check", "--server",
                                         env.get("OSTMAIL_TLS_HOST"), "--ca-file", env.get("OSTMAIL_CA_FILE")};
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        testsupport::PythonResult r = testsupport::runProgram(argv, 30000);
        EXPECT_EQ(r.exitCode, k.rc) << r.out << r.err;
        EXPECT_EQ(has(r.out, "AUTH: PLAIN LOGIN CRAM-MD5 NTLM\nDSN: yes\nSIZE: "), !k.tls.empty()) << r.out;
        EXPECT_EQ(has(r.out, "ok"), k.rc == 0) << r.out;
        for (const std::string& want : {k.tls, k.last}) {
            if (!want.empty()) {
                EXPECT_TRUE(has(r.out, want)) << r.out;
            }
        }
    }
}

}  // namespace
}  // namespace ostmail
