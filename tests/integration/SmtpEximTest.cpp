// The SMTP session against the real Exim of the test servers. Each login
// mechanism, and wrong passwords, are checked through the command line
// (MailManTlsEximTest).

#include "integration/EximCheck.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpTestSupport.h"

namespace ostmail {
namespace {

using namespace itest;
using smtptest::Client;

TEST(SmtpExim, MessageArrivesInMaildir) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_SMTP_PORT");
    std::string token = Maildir::uniqueToken("smtpconn");

    Client c;
    ASSERT_TRUE(c.connect(port)) << c.log.text();
    EXPECT_TRUE(c.conn.noop(c.log, nullptr));
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

    auto files = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2);
    ASSERT_EQ(files.size(), 2u);
    std::string raw = Maildir::readFile(files[0]);
    // The server removed the stuffing dots again.
    expectLines(raw, {"\nSubject: " + token + "\n", "\n.\n.leading dot\nlast line\n"});
}

// Exim wants EHLO before STARTTLS: the 503 path, then TLS, EHLO again and
// a login inside the channel. Then TLS from the first byte.
TEST(SmtpExim, StartTlsAndImplicitTls) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("smtptls");
    struct Case {
        bool implicitTls;
        const char *port, *forced, *lines[3];
    };
    for (const Case& k : {Case{false, "OSTMAIL_SMTP_PORT", "", {"I: Received 503 SMTP Status...",
                                                                 "I: TLS connection established.",
                                                                 "D: login_method=LOGIN"}},
                          Case{true, "OSTMAIL_SMTPS_PORT", "cram-md5", {"D: login_method=CRAM_MD5"}}}) {
        SCOPED_TRACE(k.port);
        Client c;
        if (k.implicitTls) c.conn.setTlsOnConnect(true);
        else c.conn.setStartTls(true);
        ASSERT_TRUE(c.conn.connection().tlsChannel().impl());
        SChannelWin32& channel = *c.conn.connection().tlsChannel().impl();
        channel.setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        channel.setRequireVerifiedCert(true);
        ASSERT_TRUE(c.connect(env.port(k.port), env.get("OSTMAIL_SMTP_USER"), env.get("OSTMAIL_SMTP_PASSWORD"),
                              k.forced, 5000, env.get("OSTMAIL_TLS_HOST").c_str()))
            << c.log.text();
        for (const char* line : k.lines)
            EXPECT_TRUE(!line || c.log.has(line)) << line << "\n" << c.log.text();
        EXPECT_TRUE(c.log.has("D: ConnectionType=SSL/TLS")) << c.log.text();
        SmtpTextMessage m;
        m.addAddress(SmtpMessage::kTo, "tls@example.test");
        m.text().setString(("Subject: " + token + "\r\n\r\nover TLS\r\n").c_str());
        ASSERT_TRUE(c.send(m)) << c.log.text();
    }
    EXPECT_EQ(Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2).size(), 2u);
}

}  // namespace
}  // namespace ostmail
