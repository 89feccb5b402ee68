// The SMTP session against the real Exim of the test servers.

#include "smtp/SmtpConnImpl.h"

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

}  // namespace
}  // namespace ostmail
