#include "smtp/SmtpTestSupport.h"

#include <chrono>

namespace ostmail {
namespace {

using namespace smtptest;

ScriptedSmtpServer& loginExchange(ScriptedSmtpServer& srv, const std::string& verdict) {
    return srv.expectReply("AUTH LOGIN", "334 VXNlcm5hbWU6").expectReply("", "334 UGFzc3dvcmQ6")
        .expectReply("", verdict);
}

// Greetings over several lines or reads, EHLO replies that never end, HELO
// tried twice, and greetings that fail; DSN is read from EHLO and HELO alike.
// Then LOGIN chosen before PLAIN and CRAM-MD5, PLAIN in one line, DIGEST-MD5
// logged and skipped, forced NTLM without credentials logging in as the
// "default" account (none to borrow from here), and CRAM-MD5 with a
// challenge no server sends (its logins: MailManTlsExim; its digest:
// HashTest). The AUTH command goes into the transcript, the secrets sent
// after it not.
TEST(SmtpSession, GreetingHelloAndAuthMechanisms) {
    const std::string user = std::string(80, 'u') + "@example.test";  // its base64 is longer than a codec line
    expectConnects({
        {"multi-line greeting",
         [](Peer& s) {
             s.reply("220-mail.test first line").reply("220-second line").reply("220 ready")
                 .expectReply("EHLO",
                              "250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n250-AUTH=LOGIN PLAIN\r\n250 HELP")
                 .expectReply("QUIT", "221 bye");
         },
         "bob", "", "", true,
         {"D: InitialResponse=220-mail.test first line\r\n220-second line\r\n220 ready\r\n",
          "D: sendingHello=client.test",
          "D: helloResponse=250-mail.test\r\n250-SIZE 1000\r\n250-dsn\r\n250-AUTH=LOGIN PLAIN\r\n250 HELP\r\n",
          // a login without a password: no AUTH whatever the server lists
          "I: Skipping SMTP authentication because no login/password provided.", "D: smtp_user=NULL",
          "D: login_method=NONE or already authenticated", "I: CONNECTED to ESMTP server 127.0.0.1:",
          "D: ConnectionType=Unencrypted TCP/IP"},
         {"EHLO client.test", "QUIT"}, {}, {},
         [](Client& c) {
             EXPECT_TRUE(c.conn.isDsnCapable());
             EXPECT_FALSE(c.conn.capabilities().anyAuth());
         }},
        // Line ends found across reads, nothing after them lost; a NUL byte read becomes a space.
        {"split replies",
         [](Peer& s) {
             s.sendSplit({"22", "0 split gree", std::string("ti\0ng\r", 6), "\n"}, 50).expect("EHLO")
                 .sendSplit({"250-a\r\n250", "-AUTH LOGIN\r\n2", "50 end\r\n"}, 50).serveRest();
         },
         "", "", "", true,
         {"D: InitialResponse=220 split greeti ng\r\n",
          "D: helloResponse=250-a\r\n250-AUTH LOGIN\r\n250 end\r\n"},
         {"EHLO client.test", "QUIT"}},
        // "250" with no space after it does not end the EHLO reply: the
        // client waits until its read time-out and then tries HELO.
        {"bare final EHLO line",
         [](Peer& s) { greet(s, "250-hello\r\n250").expectReply("HELO", "250 helo ok").serveRest(); },
         "bob", "pw", "", true,  // after HELO, AUTH only when forced
         {"E: ReadTimeout expired, abandoning attempt to retrieve SMTP response.",
          "E: EHLO failed, sending HELO...", "D: HeloResponse=250 helo ok", "D: login_method=NONE",
          "I: CONNECTED to SMTP server 127.0.0.1:"},
         {"EHLO client.test", "HELO client.test", "QUIT"}, {}, {}, nullptr, 700},
        {"second HELO and forced LOGIN",
         [](Peer& s) {
             s.reply("220 hi").expectReply("EHLO", "502 not here").expectReply("HELO client.test", "501 who?")
                 .expectReply("HELO 127.0.0.1", "250-DSN\r\n250 ok");
             loginExchange(s, "235 ok").serveRest();
         },
         "bob", "secret", "login", true,
         {"E: Failed to get response to Hello (HELO)", "D: HeloResponse=250 ok", "D: smtpAuthMethod=LOGIN"},
         {"EHLO client.test", "HELO client.test", "HELO 127.0.0.1", "AUTH LOGIN", b64("bob"), b64("secret"),
          "QUIT"},
         {}, {}, [](Client& c) { EXPECT_TRUE(c.conn.isDsnCapable()); }},
        {"greeting cut short", [](Peer& s) { s.send("220 half a li").closeNow(); }, "", "", "", false,
         {"E: Failed to get SMTP command response...", "E: Failed to get initial SMTP response..",
          "E: The SMTP server may be denying access for this domain."},
         {}},
        {"greeting refuses", [](Peer& s) { s.reply("554 go away"); }, "", "", "", false,
         {"E: 554 go away\r\n"}, {}, {}, {}, [](Client& c) { EXPECT_EQ(c.conn.lastReplyCode(), 554); }},
        {"LOGIN first",
         [](Peer& s) {
             loginExchange(greet(s, "250-x\r\n250-AUTH PLAIN CRAM-MD5 LOGIN\r\n250 ok"), "235 ok").serveRest();
         },
         user, "pa55word", "", true, {"D: login_method=LOGIN"},
         {"EHLO client.test", "AUTH LOGIN", b64(user), b64("pa55word"), "QUIT"}, {"AUTH LOGIN"},
         {b64(user), b64("pa55word")}},
        {"PLAIN forced",
         [](Peer& s) { greet(s, "250 AUTH LOGIN PLAIN").expectReply("AUTH PLAIN", "235 ok").serveRest(); },
         "u", "p", "PLAIN", true, {"D: login_method=PLAIN"},
         {"EHLO client.test", "AUTH PLAIN " + b64(std::string("u\0u\0p", 5)), "QUIT"},
         {"AUTH PLAIN " + b64(std::string("u\0u\0p", 5))}},
        {"DIGEST-MD5", [](Peer& s) { greet(s, "250 AUTH DIGEST-MD5").serveRest(); }, "bob", "pw", "",
         true, {"D: login_method=DIGEST-MD5", "E: DIGEST-MD5 login method not supported"},
         {"EHLO client.test", "QUIT"}},
        {"NTLM default account",
         [](Peer& s) { greet(s, "250 AUTH LOGIN NTLM").expectReply("AUTH NTLM", "334 ").silence(300); },
         "", "", "ntlm", false,
         {"I: Username/password is default/default, therefore using NTLM.", "D: smtpAuthMethod=NTLM",
          "D: login_method=NTLM", "I: Using Microsoft SSPI NTLM.", "E: NTLM authentication failed",
          "I: Failed to login using NTLM method"},
         {"EHLO client.test", "AUTH NTLM"}, {"AUTH NTLM"}},
        // A challenge that is not base64 is digested as the decoder leaves
        // it; a refusal leaves the connection open.
        {"CRAM-MD5",
         [](Peer& s) {
             greet(s, "250-x\r\n250 AUTH CRAM-MD5").expectReply("AUTH CRAM-MD5", "334 %%% not base64 ***")
                 .expectReply("", "535 no").serveRest();
         },
         "tim", "tanstaaftanstaaf", "", false,
         {"D: login_method=CRAM_MD5", "E: Failed to get successful CRAM-MD5 response"},
         {"EHLO client.test", "AUTH CRAM-MD5", "dGltI*", "QUIT"}, {"AUTH CRAM-MD5"}, {"dGltI"}},  // "tim "
    });
    Client noHost;  // a refused port: MailManOpsExim's closed port, DoMail's
    EXPECT_FALSE(noHost.connect(1, "", "", "", 1000, ""));
    EXPECT_LOGGED(noHost.log, "E: No hostname");
}

// Peers the client leaves soon, closed: one that is no TLS server fails the
// handshake after "220" at the close, or at the text that came instead of a
// TLS record, also after a 503 to the first STARTTLS; one that keeps
// sending without ending its line or its reply is cut off once the limit is
// passed, before the read time-out (slow under ThreadSanitizer, so no tighter bound).
TEST(SmtpSession, FailedHandshakesAndEndlessRepliesEndTheConnection) {
    std::string manyLines;
    while (manyLines.size() <= (1u << 20)) manyLines += "250-" + std::string(60, 'x') + "\r\n";
    const std::string tlsFailed = "E: Failed to establish TLS connection.";
    struct Case {
        const char* login;  // nullptr: no STARTTLS
        std::function<void(ScriptedSmtpServer&)> script;
        std::vector<std::string> log, lines;
        const char* transcript;  // STARTTLS and EHLO are not recorded; the greeting and replies are
    };
    const std::vector<Case> cases = {
        {"someone@Hotmail.com",
         [](Peer& s) {
             s.reply("220 hi").expectReply("EHLO", "250 STARTTLS").expectReply("STARTTLS", "220 go").silence(300);
         },
         {"I: Sending STARTTLS (2)...", tlsFailed}, {"EHLO client.test", "STARTTLS"},
         "220 hi\r\n250 STARTTLS\r\n220 go\r\n"},
        {"",
         [](Peer& s) {
             s.reply("220 hi").expectReply("STARTTLS", "503 EHLO first").expectReply("EHLO", "250 ok")
                 .expectReply("STARTTLS", "220 go ahead").silence(300);
         },
         {"I: Sending STARTTLS (1)...", "I: Received 503 SMTP Status...", "I: Resending STARTTLS...", tlsFailed},
         {"STARTTLS", "EHLO client.test", "STARTTLS"}, "220 hi\r\n503 EHLO first\r\n250 ok\r\n220 go ahead\r\n"},
        {"",
         [](Peer& s) {
             // later, so the handshake reads it rather than the reply reader
             s.reply("220 hi").expectReply("STARTTLS", "220 go ahead").silence(200)
                 .send("this is not a TLS record at all, just text\r\n").silence(3000);
         },
         {"E: Aborting SSL client handshake because of fatal error", tlsFailed}, {"STARTTLS"},
         "220 hi\r\n220 go ahead\r\n"},
        {nullptr, [](Peer& s) { s.send(std::string(3u << 20, 'x')).silence(30000); },
         {"E: No end of line within the line size limit"}, {}, nullptr},
        {nullptr, [&manyLines](Peer& s) { s.reply("220 hi").expect("EHLO").send(manyLines).silence(30000); },
         {"E: SMTP response is too long"}, {"EHLO client.test"}, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.log[0]);
        ScriptedSmtpServer srv;
        k.script(srv);
        Client c;
        c.conn.setStartTls(k.login);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.open(srv, k.login ? k.login : "", "pw", "", 20000));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(k.login ? 2 : 20));
        EXPECT_EQ(c.log.missing(k.log), "");
        EXPECT_FALSE(c.log.hasPrefix("I: CONNECTED"));
        EXPECT_FALSE(c.timedOut);
        EXPECT_FALSE(c.conn.isConnected());
        EXPECT_EQ(srv.lines(), k.lines);
        if (k.transcript) { EXPECT_EQ(c.conn.transcript().toStdString(), k.transcript); }
    }
}

TEST(SmtpSession, ReuseWithRsetAndNewConnectionOnOtherPasswordOrLoginOrRefusedRset) {
    ScriptedSmtpServer srv;
    loginExchange(srv.reply("220 one").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok")
        .expectReply("RSET", "250 reset").acceptNext();
    loginExchange(srv.reply("220 two").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok")
        .expectReply("RSET", "421 closing").acceptNext();
    loginExchange(srv.reply("220 new").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok").acceptNext();
    loginExchange(srv.reply("220 four").expectReply("EHLO", "250 AUTH LOGIN"), "235 ok").expectReply("QUIT", "221 bye");
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
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), "bob", "pw2")) << c.log.text();
        EXPECT_LOGGED(c.log, "E: RSET failed.", "D: InitialResponse=220 new\r\n");
        c.log.lines.clear();
        ASSERT_TRUE(c.connect(srv.port(), "alice", "pw2")) << c.log.text();
        EXPECT_LOGGED(c.log, "I: Need new SMTP connection", "D: InitialResponse=220 four\r\n");
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.connections(), 4);
    EXPECT_EQ(srv.lines(0).back(), "RSET");  // the first connection was dropped without QUIT
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

}  // namespace
}  // namespace ostmail
