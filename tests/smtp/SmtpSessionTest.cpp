#include "smtp/SmtpConnImpl.h"

#include "smtp/SmtpTestSupport.h"
#include "support/ClosedPort.h"

#include <gtest/gtest.h>

#include <chrono>

namespace ostmail {
namespace {

using namespace smtptest;

ScriptedSmtpServer& loginExchange(ScriptedSmtpServer& srv, const std::string& verdict) {
    return srv.expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6")
        .expectReply("", verdict);
}

TEST(SmtpSession, MultiLineGreetingAndEhloCapabilities) {
    ScriptedSmtpServer srv;
    srv.reply("220-mail.test first line").reply("220-second line").reply("220 ready")
        .expectReply("EHLO", "250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n250-AUTH=LOGIN PLAIN\r\n250 HELP")
        .expectReply("QUIT", "221 bye");
    {
        Client c;
        ASSERT_TRUE(c.open(srv)) << c.log.text();
        // No credentials: no AUTH whatever the server lists.
        EXPECT_LOGGED(c.log, "D: InitialResponse=220-mail.test first line\r\n220-second line\r\n220 ready\r\n",
                      "D: sendingHello=client.test",
                      "D: helloResponse=250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n250-AUTH=LOGIN PLAIN\r\n"
                      "250 HELP\r\n",
                      "I: Skipping SMTP authentication because no login/password provided.", "D: smtp_user=NULL",
                      "D: login_method=NONE or already authenticated",
                      "I: CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(srv.port()),
                      "D: ConnectionType=Unencrypted TCP/IP");
        EXPECT_TRUE(c.conn.isDsnCapable());
        EXPECT_FALSE(c.conn.capabilities().anyAuth());
    }  // destruction says QUIT
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{"EHLO client.test", "QUIT"}));
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

// Line ends found across reads, nothing after them lost; a NUL byte read
// becomes a space.
TEST(SmtpSession, RepliesSplitAcrossReads) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"22", "0 split gree", std::string("ti\0ng\r", 6), "\n"}, 50).expect("EHLO")
        .sendSplit({"250-a\r\n250", "-AUTH LOGIN\r\n2", "50 end\r\n"}, 50).serveRest();
    Client c;
    ASSERT_TRUE(c.open(srv)) << c.log.text();
    EXPECT_LOGGED(c.log, "D: InitialResponse=220 split greeti ng\r\n",
                  "D: helloResponse=250-a\r\n250-AUTH LOGIN\r\n250 end\r\n");
}

// "250" with no space after it does not end the EHLO reply; the client
// waits for more until its read time-out and then tries HELO.
TEST(SmtpSession, BareFinalEhloLineWaitsThenFallsBackToHelo) {
    ScriptedSmtpServer srv;
    greet(srv, "250-hello\r\n250").expectReply("HELO", "250 helo ok").serveRest();
    Client c;
    ASSERT_TRUE(c.open(srv, "", "", "", 700)) << c.log.text();
    EXPECT_LOGGED(c.log, "E: ReadTimeout expired, abandoning attempt to retrieve SMTP response.",
                  "E: EHLO failed, sending HELO...", "D: HeloResponse=250 helo ok", "D: login_method=NONE",
                  "I: CONNECTED to SMTP server 127.0.0.1:" + std::to_string(srv.port()));
    EXPECT_EQ(srv.lines()[1], "HELO client.test");
}

TEST(SmtpSession, HeloFallbackSecondTryAndForcedLogin) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expectReply("EHLO", "502 not here").expectReply("HELO client.test", "501 who?")
        .expectReply("HELO 127.0.0.1", "250-DSN\r\n250 ok");
    loginExchange(srv, "235 ok").serveRest();
    Client c;
    ASSERT_TRUE(c.open(srv, "bob", "secret", "login")) << c.log.text();
    EXPECT_LOGGED(c.log, "E: Failed to get response to Hello (HELO)", "D: HeloResponse=250 ok",
                  "D: smtpAuthMethod=LOGIN");
    EXPECT_TRUE(c.conn.isDsnCapable());
    ASSERT_GE(srv.lines().size(), 6u);
    EXPECT_EQ(srv.lines()[4], b64("bob"));
    EXPECT_EQ(srv.lines()[5], b64("secret"));
}

// LOGIN chosen before PLAIN and CRAM-MD5, PLAIN in one line, DIGEST-MD5
// logged and skipped, and forced NTLM without credentials logging in as
// the "default" account, which has no logged-on account to borrow from
// here. The AUTH command goes into the transcript, the LOGIN answers not.
TEST(SmtpSession, AuthMechanismsAndSecretsNotInTranscript) {
    const std::string user = std::string(80, 'u') + "@example.test";  // its base64 is longer than a codec line
    struct Case {
        std::string ehlo, login, password, method;
        void (*script)(ScriptedSmtpServer&);
        bool ok;
        std::vector<std::string> log, lines;
    } cases[] = {
        {"250-x\r\n250-AUTH PLAIN CRAM-MD5 LOGIN\r\n250 ok", user, "pa55word", "",
         [](ScriptedSmtpServer& s) { loginExchange(s, "235 Authentication succeeded"); }, true,
         {"D: login_method=LOGIN"}, {"AUTH LOGIN", b64(user), b64("pa55word")}},
        {"250-x\r\n250 AUTH LOGIN PLAIN", "u", "p", "PLAIN",
         [](ScriptedSmtpServer& s) { s.expectReply("AUTH PLAIN", "235 ok"); },
         true, {"D: login_method=PLAIN"}, {"AUTH PLAIN " + b64(std::string("u\0u\0p", 5))}},
        {"250 AUTH DIGEST-MD5", "bob", "pw", "", [](ScriptedSmtpServer&) {}, true,
         {"D: login_method=DIGEST-MD5", "E: DIGEST-MD5 login method not supported"}, {}},
        {"250 AUTH LOGIN NTLM", "", "", "ntlm",
         [](ScriptedSmtpServer& s) { s.expectReply("AUTH NTLM", "334 ").silence(300); }, false,
         {"I: Username/password is default/default, therefore using NTLM.", "D: smtpAuthMethod=NTLM",
          "D: login_method=NTLM", "I: Using Microsoft SSPI NTLM.", "E: NTLM authentication failed",
          "I: Failed to login using NTLM method"},
         {"AUTH NTLM"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.log[0]);
        ScriptedSmtpServer srv;
        k.script(greet(srv, k.ehlo));
        srv.serveRest();
        Client c;
        EXPECT_EQ(c.open(srv, k.login, k.password, k.method), k.ok) << c.log.text();
        EXPECT_EQ(c.log.missing(k.log), "");
        auto lines = srv.lines();
        ASSERT_GE(lines.size(), 1 + k.lines.size());
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + k.lines.size()), k.lines);
        std::string t = c.conn.transcript().toStdString();
        for (size_t i = 0; i < k.lines.size(); ++i)
            EXPECT_EQ(t.find(k.lines[i] + "\r\n") != std::string::npos, i == 0) << k.lines[i] << " in\n" << t;
    }
}

// CRAM-MD5 answers the RFC 2195 challenge; a refused login fails the
// connect with its lines, and a challenge that is not base64 is digested
// as the decoder leaves it.
TEST(SmtpSession, CramMd5Exchanges) {
    const std::string rfc = "334 " + b64("<1896.697170952@postoffice.reston.mci.net>");
    for (auto k : {std::make_pair(rfc, "235 ok"), std::make_pair(rfc, "535 Incorrect authentication data"),
                   std::make_pair(std::string("334 %%% not base64 ***"), "535 Incorrect authentication data")}) {
        SCOPED_TRACE(k.first + " " + k.second);
        ScriptedSmtpServer srv;
        greet(srv, "250-x\r\n250 AUTH CRAM-MD5").expectReply("AUTH CRAM-MD5", k.first).expectReply("", k.second)
            .serveRest();
        Client c;
        bool accepted = k.second[0] == '2';
        EXPECT_EQ(c.open(srv, "tim", "tanstaaftanstaaf"), accepted) << c.log.text();
        EXPECT_LOGGED(c.log, "D: login_method=CRAM_MD5");
        ASSERT_GE(srv.lines().size(), 3u);
        std::string response = unb64(srv.lines()[2]);
        EXPECT_EQ(response.substr(0, 4), "tim ");
        EXPECT_EQ(response.size(), 4u + 32u);
        EXPECT_TRUE(k.first != rfc || srv.lines()[2] == "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw")
            << srv.lines()[2];
        if (!accepted) {
            EXPECT_LOGGED(c.log, "E: Failed to get successful CRAM-MD5 response",
                          "E: Check your username/password or your SMTP server's auth settings",
                          "I: Failed to login using CRAM-MD5 method");
        }
    }
}

// The peer is no TLS server, so the handshake after "220" fails, and soon:
// at the close, or at the text that came instead of a TLS record.
TEST(SmtpSession, StartTlsAfterEhloForProvidersAfter503AndWithPlainTextAfter220) {
    struct Case {
        const char* login;
        void (*script)(ScriptedSmtpServer&);
        std::vector<std::string> log, lines;
        const char* transcript;  // STARTTLS and EHLO are not recorded; the greeting and replies are
    };
    const std::vector<Case> cases = {
        {"someone@Hotmail.com",
         [](ScriptedSmtpServer& s) {
             s.reply("220 hi").expectReply("EHLO", "250 STARTTLS").expectReply("STARTTLS", "220 go").silence(300);
         },
         {"I: Sending STARTTLS (2)..."}, {"EHLO client.test", "STARTTLS"}, "220 hi\r\n250 STARTTLS\r\n220 go\r\n"},
        {"",
         [](ScriptedSmtpServer& s) {
             s.reply("220 hi").expectReply("STARTTLS", "503 EHLO first").expectReply("EHLO", "250 ok")
                 .expectReply("STARTTLS", "220 go ahead").silence(300);
         },
         {"I: Sending STARTTLS (1)...", "I: Received 503 SMTP Status...", "I: Resending STARTTLS..."},
         {"STARTTLS", "EHLO client.test", "STARTTLS"}, "220 hi\r\n503 EHLO first\r\n250 ok\r\n220 go ahead\r\n"},
        {"",
         [](ScriptedSmtpServer& s) {
             // later, so the handshake reads it rather than the reply reader
             s.reply("220 hi").expectReply("STARTTLS", "220 go ahead").silence(200)
                 .send("this is not a TLS record at all, just text\r\n").silence(3000);
         },
         {"E: Aborting SSL client handshake because of fatal error"}, {"STARTTLS"}, "220 hi\r\n220 go ahead\r\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.transcript);
        ScriptedSmtpServer srv;
        k.script(srv);
        Client c;
        c.conn.setStartTls(true);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.open(srv, k.login, "pw", "", 10000));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        EXPECT_EQ(c.log.missing(k.log), "");
        EXPECT_LOGGED(c.log, "E: Failed to establish TLS connection.");
        EXPECT_FALSE(c.log.hasPrefix("I: CONNECTED"));
        EXPECT_EQ(srv.lines(), k.lines);
        EXPECT_EQ(c.conn.transcript().toStdString(), k.transcript);
    }
}

TEST(SmtpSession, GreetingFailures) {
    {
        ScriptedSmtpServer srv;
        srv.send("220 half a li").closeNow();
        Client c;
        EXPECT_FALSE(c.open(srv));
        EXPECT_LOGGED(c.log, "E: Failed to get SMTP command response...", "E: Failed to get initial SMTP response..",
                      "E: The SMTP server may be denying access for this domain.");
    }
    {
        ScriptedSmtpServer srv;
        srv.reply("554 go away");
        Client c;
        EXPECT_FALSE(c.open(srv));
        EXPECT_LOGGED(c.log, "E: 554 go away\r\n");
        EXPECT_EQ(c.conn.lastReplyCode(), 554);
    }
    testsupport::ClosedPort closed;
    Client noHost, refused;
    EXPECT_FALSE(noHost.connect(1, "", "", "", 1000, ""));
    EXPECT_LOGGED(noHost.log, "E: No hostname");
    EXPECT_FALSE(refused.connect(closed.port()));
    EXPECT_LOGGED(refused.log, "E: Failed to connect to SMTP server.");
    EXPECT_FALSE(refused.timedOut);
}

// A server that keeps sending without ending its line or its reply is cut
// off once the limit is passed, long before the read time-out, and the
// connection is not left half-read.
TEST(SmtpSession, EndlessLinesAndRepliesAreCutOff) {
    std::string manyLines;
    while (manyLines.size() <= (1u << 20)) manyLines += "250-" + std::string(60, 'x') + "\r\n";
    struct Case {
        std::string greeting, ehloReply, logged;
    } cases[] = {
        {std::string(3u << 20, 'x'), "", "E: No end of line within the line size limit"},
        {"220 hi\r\n", manyLines, "E: SMTP response is too long"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.logged);
        ScriptedSmtpServer srv;
        srv.send(k.greeting);
        if (!k.ehloReply.empty()) srv.expect("EHLO").send(k.ehloReply);
        srv.silence(30000);
        Client c;
        auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.open(srv, "", "", "", 20000));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_LOGGED(c.log, k.logged);
        EXPECT_FALSE(c.timedOut);
        EXPECT_FALSE(c.conn.isConnected());
    }
}

TEST(SmtpSession, ReuseWithRsetAndNewConnectionOnOtherPassword) {
    ScriptedSmtpServer srv;
    loginExchange(srv.reply("220 one").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok")
        .expectReply("RSET", "250 reset").acceptNext();
    loginExchange(srv.reply("220 two").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok").expectReply("QUIT", "221 bye");
    {
        Client c;
        ASSERT_TRUE(c.open(srv, "bob", "pw1")) << c.log.text();
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), " bob ", "pw1", "", 5000, " 127.0.0.1 ")) << c.log.text();
        EXPECT_LOGGED(c.log, "I: Sending RSET command..", "I: Using existing/open SMTP connection to send email.");
        EXPECT_FALSE(c.log.hasPrefix("D: InitialResponse"));
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw2")) << c.log.text();
        EXPECT_LOGGED(c.log, "I: Need new SMTP connection", "D: InitialResponse=220 two\r\n");
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.connections(), 2);
    EXPECT_EQ(srv.lines(0).back(), "RSET");  // the first connection was dropped without QUIT
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

}  // namespace
}  // namespace ostmail
