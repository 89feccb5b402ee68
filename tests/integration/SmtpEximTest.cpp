// The SMTP session against the real Exim of the test servers.

#include "smtp/SmtpConnImpl.h"

#include "net/SChannel.h"

#include "smtp/SmtpTestSupport.h"
#include "support/MailCheck.h"
#include "support/Maildir.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using smtptest::Client;
using testsupport::MailCheck;
using testsupport::Maildir;

TEST(SmtpExim, LoginMechanismsWithTheTestUser) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_SMTP_PORT");
    std::string user = env.get("OSTMAIL_SMTP_USER");
    std::string pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char* forced;
        const char* logged;
    };
    for (Case k : {Case{"", "LOGIN"}, Case{"plain", "PLAIN"}, Case{"LOGIN", "LOGIN"}, Case{"cram-md5", "CRAM_MD5"}}) {
        SCOPED_TRACE(k.logged);
        Client c;
        ASSERT_TRUE(c.connect(port, user, pass, k.forced)) << c.log.text();
        EXPECT_TRUE(c.log.has(std::string("D: login_method=") + k.logged)) << c.log.text();
        EXPECT_TRUE(c.conn.isDsnCapable());
        // An authenticated session may relay anywhere; NOOP proves it is alive.
        EXPECT_TRUE(c.conn.noop(c.log, nullptr));
    }
    struct Refusal {
        const char* forced;
        const char* error;
        const char* info;
    };
    for (Refusal r : {Refusal{"plain", "E: 535 Incorrect authentication data", "I: Failed to login using PLAIN method"},
                      Refusal{"login", "E: Failed to get response to login password",
                              "I: Failed to login using LOGIN method"},
                      Refusal{"cram-md5", "E: Failed to get successful CRAM-MD5 response",
                              "I: Failed to login using CRAM-MD5 method"}}) {
        SCOPED_TRACE(r.forced);
        Client c;
        EXPECT_FALSE(c.connect(port, user, pass + "x", r.forced));
        EXPECT_TRUE(c.log.has(r.error)) << c.log.text();
        EXPECT_TRUE(c.log.has(r.info)) << c.log.text();
    }
}

TEST(SmtpExim, MessageArrivesInMaildir) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_SMTP_PORT");
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string token = Maildir::uniqueToken("smtpconn");

    Client c;
    ASSERT_TRUE(c.connect(port)) << c.log.text();
    SmtpTextMessage m;
    m.setSubject(token.c_str());
    m.addAddress(SmtpMessage::kTo, "alice@example.test");
    m.addAddress(SmtpMessage::kTo, "reject-bob@example.test");
    m.addAddress(SmtpMessage::kCc, "carol@example.test");
    std::string text = "From: sender@example.test\r\nTo: alice@example.test\r\nSubject: " + token +
                       "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nfirst line\r\n.\r\n"
                       ".leading dot\r\nlast line\r\n";
    m.text().setString(text.c_str());
    ASSERT_TRUE(c.send(m)) << c.log.text();
    EXPECT_EQ(c.result.accepted, 2);
    EXPECT_EQ(c.result.attempted, 3);
    EXPECT_EQ(c.badAddresses(), std::vector<std::string>{"reject-bob@example.test"});

    // A second message on the same connection, after RSET.
    ASSERT_TRUE(c.connect(port)) << c.log.text();
    EXPECT_TRUE(c.log.has("I: Using existing/open SMTP connection to send email."));

    auto files = maildir.waitForCount(token, 2);
    ASSERT_EQ(files.size(), 2u);
    MailCheck mc;
    ASSERT_TRUE(mc.loadFile(files[0])) << mc.error();
    EXPECT_EQ(mc.get("subject"), token);
    std::string raw = Maildir::readFile(files[0]);
    // The server removed the stuffing dots again.
    EXPECT_NE(raw.find("\n.\n.leading dot\nlast line\n"), std::string::npos) << raw;
}

// Exim wants EHLO before STARTTLS: the 503 path, then TLS, EHLO again and
// a login inside the channel. Then TLS from the first byte.
TEST(SmtpExim, StartTlsAndImplicitTls) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER");
    std::string pass = env.get("OSTMAIL_SMTP_PASSWORD");
    std::string host = env.get("OSTMAIL_TLS_HOST");
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string token = Maildir::uniqueToken("smtptls");
    {
        Client c;
        c.conn.setStartTls(true);
        ASSERT_TRUE(c.conn.connection().tlsChannel().impl());
        c.conn.connection().tlsChannel().impl()->setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        c.conn.connection().tlsChannel().impl()->setRequireVerifiedCert(true);
        ASSERT_TRUE(c.connect(env.port("OSTMAIL_SMTP_PORT"), user, pass, "", 5000, host.c_str())) << c.log.text();
        EXPECT_TRUE(c.log.has("I: Received 503 SMTP Status...")) << c.log.text();
        EXPECT_TRUE(c.log.has("I: TLS connection established."));
        EXPECT_TRUE(c.log.has("D: login_method=LOGIN"));
        EXPECT_TRUE(c.log.has("D: ConnectionType=SSL/TLS"));
        SmtpTextMessage m;
        m.addAddress(SmtpMessage::kTo, "tls@example.test");
        m.text().setString(("Subject: " + token + "\r\n\r\nover STARTTLS\r\n").c_str());
        ASSERT_TRUE(c.send(m)) << c.log.text();
    }
    {
        Client c;
        c.conn.setTlsOnConnect(true);
        c.conn.connection().tlsChannel().impl()->setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        c.conn.connection().tlsChannel().impl()->setRequireVerifiedCert(true);
        ASSERT_TRUE(c.connect(env.port("OSTMAIL_SMTPS_PORT"), user, pass, "cram-md5", 5000, host.c_str()))
            << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=CRAM_MD5"));
        EXPECT_TRUE(c.log.has("D: ConnectionType=SSL/TLS"));
        SmtpTextMessage m;
        m.addAddress(SmtpMessage::kTo, "tls@example.test");
        m.text().setString(("Subject: " + token + "\r\n\r\nimplicit TLS\r\n").c_str());
        ASSERT_TRUE(c.send(m)) << c.log.text();
    }
    EXPECT_EQ(maildir.waitForCount(token, 2).size(), 2u);
}

}  // namespace
}  // namespace ostmail
