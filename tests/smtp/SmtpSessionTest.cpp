#include "smtp/CramMD5.h"
#include "smtp/SmtpConnImpl.h"

#include "core/ContentCoding.h"
#include "support/ScriptedSmtpServer.h"
#include "smtp/SmtpTestSupport.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using smtptest::Client;
using testsupport::ScriptedSmtpServer;

std::string b64(const std::string& s) {
    StringBuffer out;
    ContentCoding::encodeBase64Flat(s.data(), s.size(), out);
    return out.toStdString();
}

std::string connected(int port) { return "I: CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(port); }

TEST(SmtpSession, MultiLineGreetingAndEhloCapabilities) {
    ScriptedSmtpServer srv;
    srv.reply("220-mail.test first line").reply("220-second line").reply("220 ready")
        .expect("EHLO")
        .send("250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n250-AUTH=LOGIN PLAIN\r\n250 HELP\r\n")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port())) << c.log.text();
        EXPECT_TRUE(c.log.has("D: InitialResponse=220-mail.test first line\r\n220-second line\r\n220 ready\r\n"));
        EXPECT_TRUE(c.log.has("D: sendingHello=client.test"));
        EXPECT_TRUE(c.log.has("D: helloResponse=250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n"
                              "250-AUTH=LOGIN PLAIN\r\n250 HELP\r\n"));
        EXPECT_TRUE(c.conn.isDsnCapable());
        // No credentials: no AUTH whatever the server lists.
        EXPECT_FALSE(c.conn.capabilities().anyAuth());
        EXPECT_TRUE(c.log.has("I: Skipping SMTP authentication because no login/password provided."));
        EXPECT_TRUE(c.log.has("D: smtp_user=NULL"));
        EXPECT_TRUE(c.log.has("D: login_method=NONE or already authenticated"));
        EXPECT_TRUE(c.log.has(connected(srv.port())));
        EXPECT_TRUE(c.log.has("D: ConnectionType=Unencrypted TCP/IP"));
    }  // destruction says QUIT
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.test", "QUIT"}));
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

TEST(SmtpSession, RepliesSplitAcrossReads) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"22", "0 split gree", "ting\r", "\n"}, 50)
        .expect("EHLO")
        .sendSplit({"250-a\r\n250", "-AUTH LOGIN\r\n2", "50 end\r\n"}, 50)
        .serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port())) << c.log.text();
    EXPECT_TRUE(c.log.has("D: InitialResponse=220 split greeting\r\n"));
    EXPECT_TRUE(c.log.has("D: helloResponse=250-a\r\n250-AUTH LOGIN\r\n250 end\r\n"));
}

TEST(SmtpSession, BareFinalEhloLineWaitsThenFallsBackToHelo) {
    ScriptedSmtpServer srv;
    // "250" with no space after it does not end the EHLO reply; the client
    // waits for more until its read time-out and then tries HELO.
    srv.reply("220 hi").expect("EHLO").send("250-hello\r\n250\r\n").expectReply("HELO", "250 helo ok").serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port(), "", "", "", 700)) << c.log.text();
    EXPECT_TRUE(c.log.has("E: ReadTimeout expired, abandoning attempt to retrieve SMTP response."));
    EXPECT_TRUE(c.log.has("E: EHLO failed, sending HELO..."));
    EXPECT_TRUE(c.log.has("D: HeloResponse=250 helo ok"));
    EXPECT_TRUE(c.log.has("D: login_method=NONE"));
    EXPECT_TRUE(c.log.has("I: CONNECTED to SMTP server 127.0.0.1:" + std::to_string(srv.port())));
    EXPECT_EQ(srv.lines()[1], "HELO client.test");
}

TEST(SmtpSession, HeloFallbackSecondTryAndForcedLogin) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expectReply("EHLO", "502 not here")
        .expectReply("HELO client.test", "501 who?")
        .expect("HELO 127.0.0.1").send("250-DSN\r\n250 ok\r\n")
        .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6")
        .expectReply("", "334 UGFzc3dvcmQ6")
        .expectReply("", "235 ok")
        .serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port(), "bob", "secret", "login")) << c.log.text();
    EXPECT_TRUE(c.log.has("E: Failed to get response to Hello (HELO)"));
    EXPECT_TRUE(c.log.has("D: HeloResponse=250 ok"));
    EXPECT_TRUE(c.log.has("D: smtpAuthMethod=LOGIN"));
    EXPECT_TRUE(c.conn.isDsnCapable());
    auto lines = srv.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[4], b64("bob"));
    EXPECT_EQ(lines[5], b64("secret"));
}

TEST(SmtpSession, AuthLoginPreferredAndSecretsNotInTranscript) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expect("EHLO").send("250-x\r\n250-AUTH PLAIN CRAM-MD5 LOGIN\r\n250 ok\r\n")
        .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6")
        .expectReply("", "334 UGFzc3dvcmQ6")
        .expectReply("", "235 Authentication succeeded")
        .serveRest();
    srv.start();
    Client c;
    std::string longUser(80, 'u');  // its base64 is longer than a codec line
    ASSERT_TRUE(c.connect(srv.port(), longUser + "@example.test", "pa55word")) << c.log.text();
    EXPECT_TRUE(c.log.has("D: login_method=LOGIN"));
    auto lines = srv.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "AUTH LOGIN");
    EXPECT_EQ(lines[2], b64(longUser + "@example.test"));
    EXPECT_EQ(lines[3], b64("pa55word"));
    std::string t = c.conn.transcript().toStdString();
    EXPECT_NE(t.find("AUTH LOGIN\r\n"), std::string::npos);
    EXPECT_EQ(t.find(b64("pa55word")), std::string::npos);
}

TEST(SmtpSession, AuthPlainAndCramMd5Exchanges) {
    {
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250-x\r\n250 AUTH LOGIN PLAIN\r\n")
            .expectReply("AUTH PLAIN", "235 ok").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "u", "p", "PLAIN")) << c.log.text();
        EXPECT_EQ(srv.lines()[1], "AUTH PLAIN " + b64(std::string("u\0u\0p", 5)));
        EXPECT_TRUE(c.log.has("D: login_method=PLAIN"));
    }
    {
        const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250-x\r\n250 AUTH CRAM-MD5\r\n")
            .expectReply("AUTH CRAM-MD5", "334 " + b64(challenge))
            .expectReply("", "235 ok").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "tim", "tanstaaftanstaaf")) << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=CRAM_MD5"));
        EXPECT_EQ(srv.lines()[2], "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
    }
}

TEST(SmtpSession, RefusedLoginsFailTheConnect) {
    {
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH LOGIN\r\n")
            .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6")
            .expectReply("", "535 Incorrect authentication data").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port(), "bob", "wrong"));
        EXPECT_TRUE(c.log.has("E: Failed to get response to login password"));
        EXPECT_TRUE(c.log.has("I: Failed to login using LOGIN method"));
        EXPECT_FALSE(c.log.hasPrefix("I: CONNECTED"));
    }
    {
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH CRAM-MD5\r\n")
            .expectReply("AUTH CRAM-MD5", "334 " + b64("<1.2@x>"))
            .expectReply("", "535 Incorrect authentication data").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port(), "bob", "wrong"));
        EXPECT_TRUE(c.log.has("E: Failed to get successful CRAM-MD5 response"));
        EXPECT_TRUE(c.log.has("E: Check your username/password or your SMTP server's auth settings"));
        EXPECT_TRUE(c.log.has("I: Failed to login using CRAM-MD5 method"));
    }
}

TEST(SmtpSession, UnsupportedAndMsnMechanisms) {
    {
        // DIGEST-MD5 only: logged, and the connect goes on unauthenticated.
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH DIGEST-MD5\r\n").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw")) << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=DIGEST-MD5"));
        EXPECT_TRUE(c.log.has("E: DIGEST-MD5 login method not supported"));
    }
    {
        // No MSN package here: LOGIN runs instead, and no AUTH MSN is sent.
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH MSN\r\n")
            .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6")
            .expectReply("", "235 ok").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw")) << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=MSN"));
        EXPECT_TRUE(c.log.has("D: alt_login_method=LOGIN"));
        EXPECT_EQ(srv.lines()[1], "AUTH LOGIN");
    }
}

TEST(SmtpSession, ForcedNtlmWithoutCredentialsUsesTheDefaultAccount) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expect("EHLO").send("250 AUTH LOGIN NTLM\r\n")
        .expectReply("AUTH NTLM", "334 ").silence(300);
    srv.start();
    Client c;
    // Forced NTLM without credentials logs in as the "default" account.
    EXPECT_FALSE(c.connect(srv.port(), "", "", "ntlm"));
    EXPECT_TRUE(c.log.has("I: Username/password is default/default, therefore using NTLM."));
    EXPECT_TRUE(c.log.has("D: smtpAuthMethod=NTLM"));
    EXPECT_TRUE(c.log.has("D: login_method=NTLM"));
    // There is no logged-on account to borrow credentials from here.
    EXPECT_TRUE(c.log.has("I: Using Microsoft SSPI NTLM."));
    EXPECT_TRUE(c.log.has("E: NTLM authentication failed"));
    EXPECT_TRUE(c.log.has("I: Failed to login using NTLM method"));
    EXPECT_EQ(srv.lines()[1], "AUTH NTLM");
}

TEST(SmtpSession, ProviderLoginTakesStartTlsAfterEhlo) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expectReply("EHLO", "250 STARTTLS").expectReply("STARTTLS", "220 go").silence(300);
    srv.start();
    Client c;
    c.conn.setStartTls(true);
    EXPECT_FALSE(c.connect(srv.port(), "someone@Hotmail.com", "pw", "", 2000));
    EXPECT_TRUE(c.log.has("I: Sending STARTTLS (2)..."));
    EXPECT_FALSE(c.log.has("I: Sending STARTTLS (1)..."));
    EXPECT_TRUE(c.log.has("E: Failed to establish TLS connection."));
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.test", "STARTTLS"}));
}

TEST(SmtpSession, StartTls503ThenEhloAndRetry) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expectReply("STARTTLS", "503 EHLO first")
        .expectReply("EHLO", "250 ok")
        .expectReply("STARTTLS", "220 go ahead")
        .silence(300);
    srv.start();
    Client c;
    c.conn.setStartTls(true);
    // The peer is no TLS server, so the handshake itself must fail.
    EXPECT_FALSE(c.connect(srv.port(), "", "", "", 2000));
    EXPECT_TRUE(c.log.has("I: Sending STARTTLS (1)..."));
    EXPECT_TRUE(c.log.has("I: Received 503 SMTP Status..."));
    EXPECT_TRUE(c.log.has("I: Resending STARTTLS..."));
    EXPECT_TRUE(c.log.has("E: Failed to establish TLS connection."));
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"STARTTLS", "EHLO client.test", "STARTTLS"}));
    // STARTTLS and EHLO are not recorded; the greeting and replies are.
    EXPECT_EQ(c.conn.transcript().toStdString(), "220 hi\r\n503 EHLO first\r\n250 ok\r\n220 go ahead\r\n");
}

TEST(SmtpSession, GreetingFailures) {
    {
        ScriptedSmtpServer srv;
        srv.send("220 half a li").closeNow();
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port()));
        EXPECT_TRUE(c.log.has("E: Failed to get SMTP command response..."));
        EXPECT_TRUE(c.log.has("E: Failed to get initial SMTP response.."));
        EXPECT_TRUE(c.log.has("E: The SMTP server may be denying access for this domain."));
    }
    {
        ScriptedSmtpServer srv;
        srv.reply("554 go away");
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port()));
        EXPECT_TRUE(c.log.has("E: 554 go away\r\n"));
        EXPECT_EQ(c.conn.lastReplyCode(), 554);
    }
    {
        Client c;
        EXPECT_FALSE(c.connect(1, "", "", "", 1000, ""));
        EXPECT_TRUE(c.log.has("E: No hostname"));
    }
    {
        int closedPort;
        {
            ScriptedSmtpServer gone;
            closedPort = gone.port();
        }
        Client c;
        EXPECT_FALSE(c.connect(closedPort));
        EXPECT_TRUE(c.log.has("E: Failed to connect to SMTP server."));
        EXPECT_FALSE(c.timedOut);
    }
}

TEST(SmtpSession, ReuseWithRsetAndNewConnectionOnOtherPassword) {
    ScriptedSmtpServer srv;
    srv.reply("220 one").expect("EHLO").send("250 AUTH LOGIN\r\n")
        .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6").expectReply("", "235 ok")
        .expectReply("RSET", "250 reset")
        .acceptNext()
        .reply("220 two").expect("EHLO").send("250 AUTH LOGIN\r\n")
        .expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6").expectReply("", "235 ok")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw1")) << c.log.text();
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), " bob ", "pw1", "", 5000, " 127.0.0.1 ")) << c.log.text();
        EXPECT_TRUE(c.log.has("I: Sending RSET command.."));
        EXPECT_TRUE(c.log.has("I: Using existing/open SMTP connection to send email."));
        EXPECT_FALSE(c.log.hasPrefix("D: InitialResponse"));
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw2")) << c.log.text();
        EXPECT_TRUE(c.log.has("I: Need new SMTP connection"));
        EXPECT_TRUE(c.log.has("D: InitialResponse=220 two\r\n"));
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.connections(), 2);
    // The first connection was dropped without QUIT.
    auto first = srv.lines(0);
    EXPECT_EQ(first.back(), "RSET");
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

}  // namespace
}  // namespace ostmail
