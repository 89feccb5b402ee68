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

// Greeting, then an EHLO answered with these capability lines.
ScriptedSmtpServer& ehlo(ScriptedSmtpServer& srv, const std::string& capabilities) {
    return srv.reply("220 hi").expect("EHLO").send(capabilities);
}

ScriptedSmtpServer& loginExchange(ScriptedSmtpServer& srv, const std::string& verdict) {
    return srv.expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6").expectReply("", verdict);
}

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
        // No credentials: no AUTH whatever the server lists.
        EXPECT_EQ(c.log.missing({"D: InitialResponse=220-mail.test first line\r\n220-second line\r\n220 ready\r\n",
                                 "D: sendingHello=client.test",
                                 "D: helloResponse=250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n"
                                 "250-AUTH=LOGIN PLAIN\r\n250 HELP\r\n",
                                 "I: Skipping SMTP authentication because no login/password provided.",
                                 "D: smtp_user=NULL", "D: login_method=NONE or already authenticated",
                                 "I: CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(srv.port()),
                                 "D: ConnectionType=Unencrypted TCP/IP"}),
                  "");
        EXPECT_TRUE(c.conn.isDsnCapable());
        EXPECT_FALSE(c.conn.capabilities().anyAuth());
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
    EXPECT_EQ(c.log.missing({"D: InitialResponse=220 split greeting\r\n",
                             "D: helloResponse=250-a\r\n250-AUTH LOGIN\r\n250 end\r\n"}),
              "");
}

// "250" with no space after it does not end the EHLO reply; the client
// waits for more until its read time-out and then tries HELO.
TEST(SmtpSession, BareFinalEhloLineWaitsThenFallsBackToHelo) {
    ScriptedSmtpServer srv;
    ehlo(srv, "250-hello\r\n250\r\n").expectReply("HELO", "250 helo ok").serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port(), "", "", "", 700)) << c.log.text();
    EXPECT_EQ(c.log.missing({"E: ReadTimeout expired, abandoning attempt to retrieve SMTP response.",
                             "E: EHLO failed, sending HELO...", "D: HeloResponse=250 helo ok", "D: login_method=NONE",
                             "I: CONNECTED to SMTP server 127.0.0.1:" + std::to_string(srv.port())}),
              "");
    EXPECT_EQ(srv.lines()[1], "HELO client.test");
}

TEST(SmtpSession, HeloFallbackSecondTryAndForcedLogin) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expectReply("EHLO", "502 not here")
        .expectReply("HELO client.test", "501 who?")
        .expect("HELO 127.0.0.1").send("250-DSN\r\n250 ok\r\n");
    loginExchange(srv, "235 ok").serveRest();
    srv.start();
    Client c;
    ASSERT_TRUE(c.connect(srv.port(), "bob", "secret", "login")) << c.log.text();
    EXPECT_EQ(c.log.missing({"E: Failed to get response to Hello (HELO)", "D: HeloResponse=250 ok",
                             "D: smtpAuthMethod=LOGIN"}),
              "");
    EXPECT_TRUE(c.conn.isDsnCapable());
    auto lines = srv.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[4], b64("bob"));
    EXPECT_EQ(lines[5], b64("secret"));
}

TEST(SmtpSession, AuthLoginPreferredAndSecretsNotInTranscript) {
    ScriptedSmtpServer srv;
    loginExchange(ehlo(srv, "250-x\r\n250-AUTH PLAIN CRAM-MD5 LOGIN\r\n250 ok\r\n"), "235 Authentication succeeded")
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

// PLAIN in one line; CRAM-MD5 answering the RFC 2195 challenge, and a
// refused CRAM-MD5 login failing the connect with its lines.
TEST(SmtpSession, AuthPlainAndCramMd5Exchanges) {
    {
        ScriptedSmtpServer srv;
        ehlo(srv, "250-x\r\n250 AUTH LOGIN PLAIN\r\n").expectReply("AUTH PLAIN", "235 ok").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "u", "p", "PLAIN")) << c.log.text();
        EXPECT_EQ(srv.lines()[1], "AUTH PLAIN " + b64(std::string("u\0u\0p", 5)));
        EXPECT_TRUE(c.log.has("D: login_method=PLAIN"));
    }
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    for (bool accepted : {true, false}) {
        ScriptedSmtpServer srv;
        ehlo(srv, "250-x\r\n250 AUTH CRAM-MD5\r\n")
            .expectReply("AUTH CRAM-MD5", "334 " + b64(challenge))
            .expectReply("", accepted ? "235 ok" : "535 Incorrect authentication data").serveRest();
        srv.start();
        Client c;
        EXPECT_EQ(c.connect(srv.port(), "tim", "tanstaaftanstaaf"), accepted) << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=CRAM_MD5"));
        EXPECT_EQ(srv.lines()[2], "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
        if (!accepted) {
            EXPECT_EQ(c.log.missing({"E: Failed to get successful CRAM-MD5 response",
                                     "E: Check your username/password or your SMTP server's auth settings",
                                     "I: Failed to login using CRAM-MD5 method"}),
                      "");
        }
    }
}

TEST(SmtpSession, UnsupportedMechanismAndForcedNtlmWithoutCredentials) {
    {
        // DIGEST-MD5 only: logged, and the connect goes on unauthenticated.
        ScriptedSmtpServer srv;
        ehlo(srv, "250 AUTH DIGEST-MD5\r\n").serveRest();
        srv.start();
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw")) << c.log.text();
        EXPECT_EQ(c.log.missing({"D: login_method=DIGEST-MD5", "E: DIGEST-MD5 login method not supported"}), "");
    }
    // Forced NTLM without credentials logs in as the "default" account, and
    // there is no logged-on account to borrow credentials from here.
    ScriptedSmtpServer srv;
    ehlo(srv, "250 AUTH LOGIN NTLM\r\n").expectReply("AUTH NTLM", "334 ").silence(300);
    srv.start();
    Client c;
    EXPECT_FALSE(c.connect(srv.port(), "", "", "ntlm"));
    EXPECT_EQ(c.log.missing({"I: Username/password is default/default, therefore using NTLM.",
                             "D: smtpAuthMethod=NTLM", "D: login_method=NTLM", "I: Using Microsoft SSPI NTLM.",
                             "E: NTLM authentication failed", "I: Failed to login using NTLM method"}),
              "");
    EXPECT_EQ(srv.lines()[1], "AUTH NTLM");
}

// The peer is no TLS server, so the handshake after "220" must fail.
TEST(SmtpSession, StartTlsAfterEhloForProvidersAndAfter503) {
    {
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expectReply("EHLO", "250 STARTTLS").expectReply("STARTTLS", "220 go").silence(300);
        srv.start();
        Client c;
        c.conn.setStartTls(true);
        EXPECT_FALSE(c.connect(srv.port(), "someone@Hotmail.com", "pw", "", 2000));
        EXPECT_EQ(c.log.missing({"I: Sending STARTTLS (2)...", "E: Failed to establish TLS connection."}), "");
        EXPECT_FALSE(c.log.has("I: Sending STARTTLS (1)..."));
        EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.test", "STARTTLS"}));
    }
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expectReply("STARTTLS", "503 EHLO first")
        .expectReply("EHLO", "250 ok")
        .expectReply("STARTTLS", "220 go ahead")
        .silence(300);
    srv.start();
    Client c;
    c.conn.setStartTls(true);
    EXPECT_FALSE(c.connect(srv.port(), "", "", "", 2000));
    EXPECT_EQ(c.log.missing({"I: Sending STARTTLS (1)...", "I: Received 503 SMTP Status...",
                             "I: Resending STARTTLS...", "E: Failed to establish TLS connection."}),
              "");
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
        EXPECT_EQ(c.log.missing({"E: Failed to get SMTP command response...", "E: Failed to get initial SMTP response..",
                                 "E: The SMTP server may be denying access for this domain."}),
                  "");
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
    int closedPort;
    {
        ScriptedSmtpServer gone;
        closedPort = gone.port();
    }
    Client noHost, refused;
    EXPECT_FALSE(noHost.connect(1, "", "", "", 1000, ""));
    EXPECT_TRUE(noHost.log.has("E: No hostname"));
    EXPECT_FALSE(refused.connect(closedPort));
    EXPECT_TRUE(refused.log.has("E: Failed to connect to SMTP server."));
    EXPECT_FALSE(refused.timedOut);
}

TEST(SmtpSession, ReuseWithRsetAndNewConnectionOnOtherPassword) {
    ScriptedSmtpServer srv;
    loginExchange(srv.reply("220 one").expect("EHLO").send("250 AUTH LOGIN\r\n"), "235 ok")
        .expectReply("RSET", "250 reset")
        .acceptNext();
    loginExchange(srv.reply("220 two").expect("EHLO").send("250 AUTH LOGIN\r\n"), "235 ok")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw1")) << c.log.text();
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), " bob ", "pw1", "", 5000, " 127.0.0.1 ")) << c.log.text();
        EXPECT_EQ(c.log.missing({"I: Sending RSET command..",
                                 "I: Using existing/open SMTP connection to send email."}),
                  "");
        EXPECT_FALSE(c.log.hasPrefix("D: InitialResponse"));
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw2")) << c.log.text();
        EXPECT_EQ(c.log.missing({"I: Need new SMTP connection", "D: InitialResponse=220 two\r\n"}), "");
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.connections(), 2);
    EXPECT_EQ(srv.lines(0).back(), "RSET");  // the first connection was dropped without QUIT
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

}  // namespace
}  // namespace ostmail
