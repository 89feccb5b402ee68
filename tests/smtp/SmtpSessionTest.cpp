#include "email/ClsEmail.h"
#include "smtp/ClsMailMan.h"
#include "smtp/OAuthBearer.h"
#include "smtp/SmtpSecurity.h"
#include "smtp/SmtpTestSupport.h"

#include <chrono>

namespace ostmail {
namespace {

using namespace smtptest;

StringBuffer sb(const std::string& s) { return StringBuffer(s.data(), s.size()); }

void refuseClearText(SmtpConnImpl& c) { c.setRefuseClearTextLogin(true); }

// The flags that are set, by name.
std::string names(const SmtpCapabilities& c) {
    std::string s;
    for (auto f : {std::make_pair(c.cramMd5, "CRAM-MD5"), {c.anonymous, "ANONYMOUS"}, {c.plain, "PLAIN"},
                   {c.login, "LOGIN"}, {c.digestMd5, "DIGEST-MD5"}, {c.gssapi, "GSSAPI"},
                   {c.kerberosV4, "KERBEROS_V4"}, {c.ntlm, "NTLM"}, {c.msn, "MSN"}, {c.dsn, "DSN"}})
        if (f.first) s += std::string(s.empty() ? "" : " ") + f.second;
    return s;
}

SmtpCapabilities fromEhlo(std::initializer_list<const char*> lines, const char* forced = nullptr) {
    SmtpCapabilities c;
    for (const char* l : lines) c.applyEhloText(l);
    if (forced) c.force(StringBuffer(forced));
    return c;
}

// A bare code is a reply code, a non-digit or nothing is none (a line too
// short: SmtpTransaction.OneMessageOutcomes). The first mechanism of an AUTH=
// line is only seen for LOGIN. Forcing keeps one mechanism (or none) and
// leaves DSN alone; an unknown name changes nothing.
TEST(SmtpProtocol, ReplyCodesAndCapabilitiesFromEhloText) {
    for (auto c : {std::make_pair("354\r\n", 354), std::make_pair("2x0 no\r\n", -2), std::make_pair("", -2)})
        EXPECT_EQ(SmtpProtocol::replyCode(sb(c.first)), c.second) << c.first;

    EXPECT_EQ(names(fromEhlo({"AUTH=LOGIN PLAIN"})), "PLAIN LOGIN");
    EXPECT_EQ(names(fromEhlo({"AUTH=PLAIN"})), "");
    const auto all = {"auth LOGIN NTLM PLAIN cram-md5 DIGEST-MD5 KERBEROS_V4", "DSN"};
    EXPECT_EQ(names(fromEhlo(all)), "CRAM-MD5 PLAIN LOGIN DIGEST-MD5 KERBEROS_V4 NTLM DSN");
    EXPECT_EQ(names(fromEhlo(all, "PLAIN")), "PLAIN DSN");
    EXPECT_EQ(names(fromEhlo(all, "NONE")), "DSN");
    EXPECT_FALSE(fromEhlo(all, "NONE").anyAuth());
    EXPECT_EQ(names(fromEhlo(all, "XOAUTH2")), names(fromEhlo(all)));

    // STARTTLS only as a keyword line of its own.
    for (auto c : {std::make_pair("250-x\r\n250-starttls\r\n250 ok\r\n", true), {"250-x\r\n250 STARTTLS \r\n", true},
                   {"250-STARTTLSX\r\n250 ok\r\n", false}, {"250-AUTH STARTTLS\r\n250 ok\r\n", false}})
        EXPECT_EQ(SmtpSecurity::offersStartTls(StringBuffer(c.first)), c.second) << c.first;
    for (auto m : {std::make_pair("login", true), {"PLAIN", true}, {"XOAUTH2", true}, {"OAUTHBEARER", true},
                   {"CRAM-MD5", false}, {"NTLM", false}, {"", false}})
        EXPECT_EQ(SmtpSecurity::carriesSecret(m.first), m.second) << m.first;
    // 32 bytes of base64 in its one spelling, with or without "sha256//".
    const std::string pin = b64(std::string(31, 'k') + "!");
    std::vector<unsigned char> key;
    for (auto c : {std::make_pair(pin, true), {"sha256//" + pin, true}, {b64(std::string(31, 'k')), false},
                   {pin.substr(0, 43) + "*", false}, {pin.substr(0, 42) + "F=", false}, {"", false}}) {
        EXPECT_EQ(SmtpSecurity::decodePin(c.first.c_str(), key), c.second) << c.first;
        EXPECT_EQ(key.size(), c.second ? 32u : 0u);
    }
    ASSERT_TRUE(SmtpSecurity::decodePin(pin.c_str(), key));
    EXPECT_EQ(std::string(key.begin(), key.end()), std::string(31, 'k') + "!");
}

// OAUTHBEARER's whole first message (XOAUTH2's: the session rows), the
// tokens refused before any is built, and the error objects servers send
// (RFC 7628 3.2.2).
TEST(OAuthBearer, MessagesTokensAndServerErrors) {
    StringBuffer o;
    OAuthBearer::oauthBearerMessage("u=1,2", "smtp.example.com", 587, "T", o);
    EXPECT_EQ(o.toStdString(), "n,a=u=3D1=2C2,\x01host=smtp.example.com\x01port=587\x01" "auth=Bearer T\x01\x01");
    for (auto [token, usable] : {std::pair<const char*, bool>{"ya29.a-b_c/d+e=", true}, {"", false}, {nullptr, false},
                                 {"a\rb", false}, {"a\nb", false}, {"a\x01" "b", false}})
        EXPECT_EQ(OAuthBearer::tokenUsable(token), usable) << (token ? token : "null");
    struct Row {
        std::string json;
        bool ok;
        std::string status = "", schemes = "", scope = "";
    };
    for (const Row& r : std::vector<Row>{
             {R"({"status":"401","schemes":"bearer","scope":"mail"})", true, "401", "bearer", "mail"},
             {R"({"scope":"a\"b\\c\/d","status":400,"x":[{"y":[]},-1.5e3]})", true, "400", "", "a\"b\\c/d"},
             {R"({"status":"401"} trailing)", false}, {R"({"status":"401",})", false}, {R"({"status":)", false},
             {R"(["status","401"])", false}, {"", false}, {"{\"a\":\"x\ny\"}", false}}) {
        OAuthBearer::ServerError e{"kept", "kept", "kept"};
        EXPECT_EQ(OAuthBearer::parseServerError(r.json.data(), r.json.size(), e), r.ok) << r.json;
        if (r.ok) EXPECT_EQ(e.status + "|" + e.schemes + "|" + e.scope, r.status + "|" + r.schemes + "|" + r.scope);
        else EXPECT_EQ(e.status, "kept") << r.json;
    }
}

TEST(SmtpProtocol, CommandLimitDotStuffingAndTranscript) {
    StringBuffer longCmd;
    longCmd.appendCharN('A', 2500);
    SmtpProtocol::limitCommand(longCmd);
    EXPECT_EQ(longCmd.getSize(), SmtpProtocol::kMaxCommand);

    // Bytes after a NUL are stuffed too; bare LF counts as a line break; a
    // dot that starts the text is a line's first byte as well.
    StringBuffer nul(sb(std::string("a\0b\n.c\n.", 8))), first(sb(".\r\n.x\r\n"));
    SmtpProtocol::dotStuff(nul);
    SmtpProtocol::dotStuff(first);
    EXPECT_EQ(nul.toStdString(), std::string("a\0b\n..c\n..", 10));
    EXPECT_EQ(first.toStdString(), "..\r\n..x\r\n");

    StringBuffer t;
    SmtpProtocol::recordWrite(t, "MAIL FROM:<a@b>\r\n", 17);
    std::string big(3000, 'x');
    SmtpProtocol::recordWrite(t, big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(t.toStdString(), "MAIL FROM:<a@b>\r\n" + std::string(2500, 'x') + "\n...\n");

    // A connection reused for ever keeps a bounded transcript: whole lines,
    // the newest last; one endless line is cut mid-line.
    StringBuffer reused;
    for (int i = 0; i < 20000; ++i) {
        std::string cmd = "RCPT TO:<r" + std::to_string(i) + "@example.com>\r\n";
        SmtpProtocol::recordWrite(reused, cmd.data(), static_cast<uint32_t>(cmd.size()));
        SmtpProtocol::recordRead(reused, sb("250 ok " + std::to_string(i) + "\r\n"));
        ASSERT_LE(reused.getSize(), SmtpProtocol::kTranscriptKeep);
    }
    const std::string kept = reused.toStdString();
    EXPECT_GT(kept.size(), SmtpProtocol::kTranscriptKeep / 4);
    EXPECT_TRUE(kept.rfind("RCPT TO:<r", 0) == 0 || kept.rfind("250 ok ", 0) == 0) << kept.substr(0, 40);
    const std::string newest = "RCPT TO:<r19999@example.com>\r\n250 ok 19999\r\n";
    EXPECT_EQ(kept.substr(kept.size() - newest.size()), newest);
    StringBuffer endless;
    for (int i = 0; i < 200; ++i) SmtpProtocol::recordRead(endless, sb(std::string(2000, 'y')));
    EXPECT_LE(endless.getSize(), SmtpProtocol::kTranscriptKeep);
    EXPECT_GE(endless.getSize(), SmtpProtocol::kTranscriptKeep / 2 - 2000);
}

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
         {"AUTH PLAIN [secret removed]"}, {b64(std::string("u\0u\0p", 5))}},
        // Token logins: only the mechanism asked for, only when offered, the
        // blob never in the transcript; a refusal's JSON logged member by member.
        {"XOAUTH2 beside password mechanisms",
         [](Peer& s) { greet(s, "250 AUTH LOGIN PLAIN XOAUTH2").expectReply("AUTH XOAUTH2", "235 ok").serveRest(); },
         "bob", "tok-1", "xoauth2", true, {"D: login_method=XOAUTH2"},
         {"EHLO client.test", "AUTH XOAUTH2 " + b64("user=bob\x01" "auth=Bearer tok-1\x01\x01"), "QUIT"},
         {"AUTH XOAUTH2 [secret removed]"}, {b64("user=bob\x01" "auth=Bearer tok-1\x01\x01"), "tok-1"}},
        {"OAUTHBEARER refused with JSON",
         [](Peer& s) {
             greet(s, "250 AUTH OAUTHBEARER")
                 .expectReply("AUTH OAUTHBEARER",
                              "334 " + b64(R"( {"status":"invalid_token","scope":"mail x","schemes":"bearer",
                                              "extra":{"a":[1,true,null]}} )"))
                 .expectReply("AQ==", "535 5.7.8 no").serveRest();
         },
         "a,b=c", "tok-2", "OAUTHBEARER", false,
         {"E: The server refused the access token", "D: status=invalid_token", "D: schemes=bearer",
          "D: scope=mail x", "E: 535 5.7.8 no", "I: Failed to login using OAUTHBEARER method"},
         {"EHLO client.test", "AUTH OAUTHBEARER " + b64("n,a=a=2Cb=3Dc,\x01host=127.0.0.1\x01por") + "*", "AQ==",
          "QUIT"},
         {"AUTH OAUTHBEARER [secret removed]", "AQ=="}, {"tok-2"},
         [](Client& c) { EXPECT_TRUE(c.conn.tokenRefused()); }},
        {"XOAUTH2 refusal not base64",
         [](Peer& s) {
             greet(s, "250 AUTH XOAUTH2").expectReply("AUTH XOAUTH2", "334 %%% {not base64}")
                 .expectReply("", "535 no").serveRest();
         },
         "bob", "tok", "XOAUTH2", false,
         {"E: The server's refusal is not base64 JSON", "D: serverChallenge=%%% {not base64}",
          "I: Failed to login using XOAUTH2 method"},
         {"EHLO client.test", "AUTH XOAUTH2 *", "", "QUIT"}},
        {"token mechanism not offered", [](Peer& s) { greet(s, "250 AUTH LOGIN PLAIN").serveRest(); }, "bob", "tok",
         "XOAUTH2", false, {"E: The SMTP server does not offer XOAUTH2"}, {"EHLO client.test", "QUIT"}},
        {"token with a line break", [](Peer& s) { greet(s, "250 AUTH XOAUTH2").serveRest(); }, "bob", "to\nk",
         "XOAUTH2", false, {"E: The access token holds a CR, LF or 0x01 byte; it was not sent"},
         {"EHLO client.test", "QUIT"}},
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
        // Refusing clear text: LOGIN and PLAIN never start, so every line the
        // peer gets is listed (no AUTH, no password in any encoding); a
        // digest mechanism on offer goes first; STARTTLS is taken unasked.
        {"LOGIN refused in clear", [](Peer& s) { greet(s, "250 AUTH LOGIN PLAIN").serveRest(); }, "bob", "secret",
         "", false, {"D: login_method=LOGIN", std::string("E: ") + SmtpSecurity::kClearTextRefusal},
         {"EHLO client.test", "QUIT"}, {}, {"\nAUTH", b64("secret")}, nullptr, 5000, refuseClearText},
        {"forced PLAIN refused in clear", [](Peer& s) { greet(s, "250 AUTH LOGIN PLAIN").serveRest(); }, "bob",
         "secret", "PLAIN", false, {"D: login_method=PLAIN", std::string("E: ") + SmtpSecurity::kClearTextRefusal},
         {"EHLO client.test", "QUIT"}, {}, {"\nAUTH", b64("secret")}, nullptr, 5000, refuseClearText},
        {"CRAM-MD5 before LOGIN in clear",
         [](Peer& s) {
             greet(s, "250 AUTH LOGIN CRAM-MD5").expectReply("AUTH CRAM-MD5", "334 PDE4OTYuNjk3MTcwOTUyQHRlc3Q+")
                 .expectReply("", "235 ok").serveRest();
         },
         "tim", "tanstaaftanstaaf", "", true, {"D: login_method=CRAM_MD5"},
         {"EHLO client.test", "AUTH CRAM-MD5", "dGltIGI3MzFhYjJiZmU4NTRlZTlhM2I0MDk0MTkxZDZhMjZh", "QUIT"}, {}, {},
         nullptr, 5000, refuseClearText},
        {"STARTTLS required, not offered",
         [](Peer& s) { s.reply("220 hi").expectReply("STARTTLS", "502 no").serveRest(); },
         "bob", "secret", "", false, {"E: Failed to receive STARTTLS response"}, {"STARTTLS", "QUIT"}, {}, {},
         nullptr, 5000, [](SmtpConnImpl& c) { c.setStartTls(true); }},
        {"STARTTLS taken when offered",
         [](Peer& s) {
             greet(s, "250-x\r\n250-AUTH LOGIN\r\n250 STARTTLS").expectReply("STARTTLS", "220 go").silence(300);
         },
         "bob", "secret", "", false,
         {"I: The server offers STARTTLS: upgrading.", "E: Failed to establish TLS connection."},
         {"EHLO client.test", "STARTTLS"}, {}, {}, nullptr, 5000,
         [](SmtpConnImpl& c) {
             refuseClearText(c);
             c.setStartTlsWhenOffered(true);
         }},
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
    // Written in 64 KiB pieces: the peer's transcript escapes each write whole, slowly under the sanitizers.
    std::vector<std::string> pieces;
    for (size_t at = 0; at < manyLines.size(); at += 1u << 16) pieces.push_back(manyLines.substr(at, 1u << 16));
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
        {nullptr, [&pieces](Peer& s) { s.reply("220 hi").expect("EHLO").sendSplit(pieces, 0).silence(30000); },
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

std::string lastError(ClsMailMan& mm) {
    XString t;
    mm.LastErrorText(t);
    return t.getUtf8();
}

// A message from s@x.test to the given recipients, with these header fields.
void compose(ClsEmail& email, const std::vector<const char*>& to, const char* from = "s@x.test",
             const std::vector<std::pair<const char*, const char*>>& headers = {}) {
    XString f = xs(from), subject = xs("hello"), body = xs("body text\r\n"), none;
    if (*from) email.put_FromAddress(f);
    email.put_Subject(subject);
    email.put_Body(body);
    for (const char* a : to) {
        XString addr = xs(a);
        ASSERT_TRUE(email.AddTo(none, addr));
    }
    for (auto& h : headers) {
        XString name = xs(h.first), value = xs(h.second);
        email.AddHeaderField(name, value);
    }
}

void pointAt(ClsMailMan& mm, const ScriptedSmtpServer& srv) {
    XString host = xs("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(srv.port());
    mm.put_ReadTimeout(5);
    mm.put_ConnectTimeout(5);
}

// The host is reduced to a bare lower-case name. With both TLS flags set,
// port 465 keeps implicit TLS, any other STARTTLS, and the choice is what the
// properties read afterwards; one flag: nothing to resolve.
TEST(ClsMailMan, HostIsReducedAndBothTlsFlagsResolveByPort) {
    ClsMailMan mm;
    EXPECT_EQ(mm.get_ConnectTimeout(), 30);  // the mail job sets none, so every send waits this long
    const char* hosts[][2] = {{"HTTPS://Mail.Example.COM/", "mail.example.com"},
                              {"http://smtp.example.org/submit/", "smtp.example.orgsubmit"},
                              {"smtp.Example.org", "smtp.example.org"}, {"https://http://h/", "h"}};
    for (auto& c : hosts) {
        XString in = xs(c[0]), out;
        mm.put_SmtpHost(in);
        mm.get_SmtpHost(out);
        EXPECT_STREQ(out.getUtf8(), c[1]) << c[0];
    }
    struct Case {
        bool ssl, startTls;
        int port;
        bool sslAfter, startTlsAfter;
    } cases[] = {{true, true, 465, true, false}, {true, true, 587, false, true}, {true, false, 587, true, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.port);
        ClsMailMan mm;
        mm.put_SmtpSsl(k.ssl);
        mm.put_StartTLS(k.startTls);
        mm.put_SmtpPort(k.port);
        EXPECT_FALSE(mm.SendEmail(nullptr, nullptr));
        EXPECT_EQ(mm.get_SmtpSsl(), k.sslAfter);
        EXPECT_EQ(mm.get_StartTLS(), k.startTlsAfter);
        EXPECT_EQ(lacks(lastError(mm), {"Email parameter is NULL in SendEmail", "DllDate: Mar  4 2009"}), "");
    }
}

// Two sends on one connection, reused after RSET, then a send by a second
// manager. The first is partly refused, and its sending copy keeps Bcc out
// of the header and internal fields and Return-Path at home, which gives the
// envelope sender; the last, without a sender, is refused whole. The counts,
// the verdict and the server's last code are the manager's to report, and
// each send has its own Message-ID, even when both e-mails carry the same one.
TEST(ClsMailMan, SendsReportCountsAndStatusAndSendTheSendingCopy) {
    ScriptedSmtpServer srv;
    srv.reply("220 ready").expectReply("EHLO", "250-scripted\r\n250 HELP").expectReply("MAIL", "250 ok")
        .expectReply("RCPT", "250 ok").expectReply("RCPT", "550 no such user").serveRest().acceptNext()
        .reply("220 ready").expectReply("EHLO", "250 ok").expectReply("MAIL", "250 ok").expectReply("RCPT", "550 no")
        .expectReply("RCPT", "550 no").serveRest();
    srv.start();
    {
        ClsMailMan mm;
        pointAt(mm, srv);
        ClsEmail withReturnPath;
        compose(withReturnPath, {"a@y.test", "bad@y.test"}, "s@x.test",
                {{"Return-Path", " <bounce@x.test> "}, {"VMX-Secret", "do not send"}, {"Message-ID", "<same@x.test>"}});
        XString none, bcc = xs("hidden@y.test");
        ASSERT_TRUE(withReturnPath.AddBcc(none, bcc));
        ASSERT_TRUE(mm.SendEmail(&withReturnPath, nullptr)) << lastError(mm);
        EXPECT_EQ(lacks(lastError(mm), {"Failed when sending RCPT TO:<bad@y.test>",
                                        "Warning: failed to send to 1 recipient(s), continuing to send to 2 "
                                        "recipient(s)",
                                        "Sent DATA terminator", "Mail sent to 2 recipients", "NumAccepted: 2",
                                        "NumRejected: 1", "Returning success status."}),
                  "");
        EXPECT_EQ(mm.get_LastSmtpStatus(), 250);
        XString bad;
        ASSERT_EQ(mm.get_NumBadAddresses(), 1);
        ASSERT_TRUE(mm.getBadAddress(0, bad));
        EXPECT_STREQ(bad.getUtf8(), "bad@y.test");
        EXPECT_FALSE(mm.getBadAddress(1, bad));

        ClsEmail plain;
        compose(plain, {"b@y.test"}, "s@x.test", {{"Message-ID", "<same@x.test>"}});
        ASSERT_TRUE(mm.SendEmail(&plain, nullptr)) << lastError(mm);
        EXPECT_TRUE(mm.isSmtpConnected());
        EXPECT_TRUE(mm.CloseSmtpConnection());
        EXPECT_FALSE(mm.isSmtpConnected());

        ClsMailMan other;
        pointAt(other, srv);
        ClsEmail anonymous;
        compose(anonymous, {"c@y.test", "d@y.test"}, "");
        EXPECT_FALSE(other.SendEmail(&anonymous, nullptr));
        EXPECT_EQ(lacks(lastError(other), {"NumSuccess: 0", "NumTotal: 2", "Send failed."}), "");
        EXPECT_EQ(lastError(other).find("Returning success status."), std::string::npos);
        EXPECT_EQ(other.get_LastSmtpStatus(), 550);
    }
    ASSERT_TRUE(srv.waitDone()) << srv.transcript();
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    // Closed once, not again at the end; the second manager's end says QUIT.
    std::vector<std::string> lines = srv.lines(0);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), (std::vector<std::string>{
                               "MAIL FROM:<bounce@x.test>", "RCPT TO:<a@y.test>", "RCPT TO:<bad@y.test>",
                               "RCPT TO:<hidden@y.test>", "DATA", "RSET", "MAIL FROM:<s@x.test>", "RCPT TO:<b@y.test>",
                               "DATA", "QUIT"}));
    lines = srv.lines(1);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
              (std::vector<std::string>{"MAIL FROM:<>", "RCPT TO:<c@y.test>", "RCPT TO:<d@y.test>", "QUIT"}));
    std::vector<std::string> blocks = srv.dataBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    for (const char* msg : {"Return-Path", "VMX-", "hidden@y.test"})
        EXPECT_EQ(blocks[0].find(msg), std::string::npos) << msg << " was sent:\n" << blocks[0];
    EXPECT_EQ(lacks(blocks[0], {"Subject: hello\r\n"}), "");
    auto messageId = [](const std::string& msg) {
        size_t p = msg.find("Message-ID: ");
        return p == std::string::npos ? "" : msg.substr(p, msg.find("\r\n", p) - p);
    };
    EXPECT_NE(messageId(blocks[0]), "");
    EXPECT_NE(messageId(blocks[0]), messageId(blocks[1]));
}

}  // namespace
}  // namespace ostmail
