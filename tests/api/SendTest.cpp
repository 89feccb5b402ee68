#include "ostmail/ostmail.h"
#include "support/ClosedPort.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <functional>

using ostmail::testsupport::ScriptedSmtpServer;

namespace {

ostmail::SmtpSettings localServer(int port) {
    ostmail::SmtpSettings s;
    s.setHost("127.0.0.1");
    s.setPort(port);
    s.setConnectTimeout(5);
    s.setReadTimeout(5);
    return s;
}

ostmail::Message basicMessage() {
    ostmail::Message m;
    m.setFrom("s@x.test");
    m.addTo("a@y.test");
    m.setSubject("test");
    m.setText("hello\n");
    return m;
}

// Plays and starts a server that takes one message and records it.
void acceptOne(ScriptedSmtpServer& srv) {
    srv.reply("220 hi").expectReply("EHLO", "250-ok\r\n250 DSN").expectReply("MAIL FROM", "250 ok");
    srv.expectReply("RCPT TO", "250 ok").expectReply("DATA", "354 go").readData().reply("250 queued as 17");
    srv.expectReply("QUIT", "221 bye");
    srv.start();
}

}  // namespace

// Bad input never reaches a server: each gives a failed result that says why.
TEST(ApiSend, BadInputFailsWithItsReason) {
    struct Case {
        const char* name;
        std::function<void(ostmail::SmtpSettings&, ostmail::Message&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"empty host", [](auto& s, auto&) { s.setHost(""); }, "no SMTP server host"},
        {"port 0", [](auto& s, auto&) { s.setPort(0); }, "SMTP port out of range"},
        {"no recipient", [](auto&, auto& m) { m = ostmail::Message(); m.setFrom("s@x.test"); }, "no recipient"},
        {"no sender", [](auto&, auto& m) { m.setFrom(""); }, "no sender address"},
        {"missing file", [](auto&, auto& m) { m.attachFile("/nonexistent/x.pdf"); }, "attachment cannot be read"},
        {"folder as file", [](auto&, auto& m) { m.attachFile("/tmp"); }, "attachment cannot be read"},
        {"data without a name", [](auto&, auto& m) { m.attachData("", "x"); }, "attachment has no usable name"},
        {"in a file name", [](auto&, auto& m) { m.attachData("r\xC3.txt", "x"); }, "invalid UTF-8 in attachment name"},
        {"bad lead byte", [](auto&, auto& m) { m.setSubject("caf\xC3\x28"); }, "invalid UTF-8 in subject"},
        {"overlong", [](auto&, auto& m) { m.setText("\xC0\xAF"); }, "invalid UTF-8 in text body"},
        {"surrogate", [](auto&, auto& m) { m.setHtml("\xED\xA0\x80"); }, "invalid UTF-8 in HTML body"},
        {"past U+10FFFF", [](auto&, auto& m) { m.addCc("b@y.test", "\xF4\x90\x80\x80"); },
         "invalid UTF-8 in recipient name"},
        {"cut short", [](auto&, auto& m) { m.addHeader("X-Tag", "\xE2\x82"); }, "invalid UTF-8 in header value"},
        {"in the password", [](auto& s, auto&) { s.setLogin("u", "\xFF"); }, "invalid UTF-8 in password"},
        {"proxy port 0", [](auto& s, auto&) { s.setHttpProxy("127.0.0.1", 0); }, "HTTP proxy port out of range"},
        {"DSN notify", [](auto& s, auto&) { s.setDsn("SUCCESS,bogus"); }, "invalid DSN NOTIFY \"SUCCESS,bogus\""},
        {"DSN never and more", [](auto& s, auto&) { s.setDsn("NEVER,DELAY"); }, "invalid DSN NOTIFY"},
        {"DSN ret", [](auto& s, auto&) { s.setDsn("", "FULLX"); }, "invalid DSN RET \"FULLX\""},
        {"DSN envid", [](auto& s, auto&) { s.setDsn("", "", "caf\xC3\xA9"); }, "invalid DSN ENVID"},
        {"bare word", [](auto&, auto& m) { m.addTo("notanaddress"); },
         "recipient: invalid address \"notanaddress\": no @ in it"},
        {"two @", [](auto&, auto& m) { m.addCc("a@b@c.com"); }, "cc recipient: invalid address \"a@b@c.com\""},
        {"list with a bad one", [](auto&, auto& m) { m.addBcc("x@y.com, a@"); }, "bcc recipient: invalid address \"a@\""},
        {"name and a list", [](auto&, auto& m) { m.addTo("x@y.com, z@w.com", "Both"); }, "recipient: \"x@y.com, z@w.com\""},
        {"sender", [](auto&, auto& m) { m.setFrom("not an address"); }, "sender: invalid address \"not an address\""},
        {"two senders", [](auto&, auto& m) { m.setFrom("a@x.test, b@x.test"); }, "sender: more than one address"},
        {"reply-to", [](auto&, auto& m) { m.setReplyTo("a@"); }, "reply-to: invalid address \"a@\""},
        {"Bcc header", [](auto&, auto& m) { m.addHeader("bcc", "x@y.test"); }, "header \"bcc\" is set by addBcc"},
        {"To header", [](auto&, auto& m) { m.addHeader("To", "x@y.test"); }, "header \"To\" is set by addTo"},
        {"MIME header", [](auto&, auto& m) { m.addHeader("Content-Type", "text/html"); }, "header \"Content-Type\" is set by the library"},
        {"empty name", [](auto&, auto& m) { m.addHeader("", "x"); }, "invalid header name \"\""},
        {"space in name", [](auto&, auto& m) { m.addHeader("X Tag", "x"); }, "invalid header name \"X Tag\""},
        {"colon in name", [](auto&, auto& m) { m.addHeader("X:Tag", "x"); }, "invalid header name"},
        {"CRLF in name", [](auto&, auto& m) { m.addHeader("X-A\r\nBcc", "x"); }, "invalid header name"},
        {"CRLF in value", [](auto&, auto& m) { m.addHeader("X-A", "x\r\nBcc: y@z.test"); }, "line break or NUL in the value"},
        {"unfoldable word", [](auto&, auto& m) { m.addHeader("References", "<" + std::string(950, 'r') + "@x>"); },
         "header \"References\" has a word too long to fold"},
        {"bad Sender", [](auto&, auto& m) { m.addHeader("Sender", "bot@"); }, "Sender: invalid address \"bot@\""},
        {"bad Message-ID", [](auto&, auto& m) { m.addHeader("Message-ID", "retry-1"); }, "Message-ID must look like <id@host>"},
        {"inline without HTML", [](auto&, auto& m) { m.attachInline("/etc/hostname", "h@x"); }, "inline file \"/etc/hostname\" needs an HTML body"},
        {"bad content id", [](auto&, auto& m) { m.setHtml("x"); m.attachInline("/etc/hostname", "<h@x>"); }, "invalid content id \"<h@x>\""},
        {"NUL in the text", [](auto&, auto& m) { m.setText(std::string("a\0b", 3)); }, "NUL byte in the text body"},
        {"in the proxy password", [](auto& s, auto&) { s.setHttpProxy("127.0.0.1", 1, "u", "\xC3"); },
         "invalid UTF-8 in HTTP proxy password"},
    };
    size_t renderRefused = 0;
    for (const Case& c : cases) {
        // Port 1: should a check be missed, the send fails for another reason.
        ostmail::SmtpSettings s = localServer(1);
        ostmail::Message m = basicMessage();
        c.spoil(s, m);
        ostmail::SendResult r = ostmail::send(s, m);
        EXPECT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.reason().rfind(c.reason, 0), 0u) << c.name << ": " << r.reason();
        EXPECT_NE(r.log().find(c.reason), std::string::npos) << c.name;
        EXPECT_TRUE(r.accepted().empty()) << c.name;
        EXPECT_EQ(r.error(), ostmail::SendError::BadInput) << c.name;
        // render() refuses the same messages for the same reasons.
        const ostmail::RenderResult rendered = ostmail::render(m);
        renderRefused += !rendered.ok;
        EXPECT_TRUE(rendered.ok || rendered.reason == r.reason()) << c.name << ": " << rendered.reason;
    }
    EXPECT_EQ(renderRefused, std::size(cases) - 9) << "all but the nine settings cases";
    // Without a port the security chooses it; the refusing proxy keeps the send from getting there.
    for (const auto& [security, port] : {std::make_pair(ostmail::Security::None, 25),
                                         std::make_pair(ostmail::Security::StartTls, 587),
                                         std::make_pair(ostmail::Security::ImplicitTls, 465)}) {
        ostmail::SmtpSettings unset;
        unset.setHost("127.0.0.1");
        unset.setSecurity(security);
        unset.setHttpProxy("127.0.0.1", 1);
        const std::string line = "smtp_port: " + std::to_string(port) + "\r\n";
        EXPECT_NE(ostmail::send(unset, basicMessage()).log().find(line), std::string::npos) << port;
    }
}

// LF-only text from a Linux program goes out with CRLF line ends only, and
// well-formed UTF-8 of every length passes. The result carries the server's
// last status and every line of its reply, whether it took the message or
// refused it, also in a copy.
TEST(ApiSend, TextLineEndsBecomeCrLfAndTheLastReplyIsReported) {
    ScriptedSmtpServer srv;
    acceptOne(srv);
    // Assigned values replace the old ones, moved or copied.
    ostmail::Message m;
    m = basicMessage();
    ostmail::SmtpSettings s = localServer(1);
    s = localServer(srv.port());
    // The first and last character of each length and around the surrogates.
    m.setSubject("gr\xC3\xBC\xC3\x9F \xC2\x80\xDF\xBF \xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF "
                 "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    m.setText("one\ntwo\r\nthree\n\nfour");
    const ostmail::testsupport::ScratchDir dir;
    m.attachFile(dir.write("notes.txt", "attached"));
    s.setDsn("SUCCESS,DELAY", "HDRS", "id 1+x=y");
    ostmail::SendResult r = ostmail::send(s, m);
    ASSERT_TRUE(r.ok()) << r.reason() << "\n" << srv.transcript();
    ASSERT_TRUE(srv.waitDone());
    ASSERT_EQ(srv.dataBlocks().size(), 1u);
    EXPECT_EQ(srv.lines()[1], "MAIL FROM:<s@x.test> RET=HDRS ENVID=id+201+2Bx+3Dy");
    EXPECT_EQ(srv.lines()[2], "RCPT TO:<a@y.test> NOTIFY=SUCCESS,DELAY");
    const std::string data = srv.dataBlocks()[0];
    for (size_t i = data.find('\n'); i != std::string::npos; i = data.find('\n', i + 1))
        ASSERT_TRUE(i > 0 && data[i - 1] == '\r') << "bare LF at " << i << " in\n" << data;
    EXPECT_NE(data.find("one\r\ntwo\r\nthree\r\n\r\nfour"), std::string::npos) << data;
    EXPECT_NE(data.find("filename=\"notes.txt\"\r\n\r\nattached\r\n"), std::string::npos) << data;
    ostmail::SendResult kept;
    kept = r;
    EXPECT_EQ(kept.smtpReply(), "250 queued as 17\r\n");

    ScriptedSmtpServer refusing;
    refusing.reply("220 hi").expectReply("EHLO", "250 ok");
    refusing.expectReply("MAIL FROM", "550-5.7.1 relaying denied\r\n550 5.7.1 go away").serveRest();
    refusing.start();
    const ostmail::SmtpSettings refusingServer = localServer(refusing.port());
    s = refusingServer;
    r = ostmail::send(s, basicMessage());
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.smtpStatus(), 550);
    EXPECT_EQ(r.smtpReply(), "550-5.7.1 relaying denied\r\n550 5.7.1 go away\r\n");
}

// A server that drops the line during DATA gives a failed result promptly,
// and the session can still send afterwards; one that greets only after the
// read time-out is given up.
TEST(ApiSend, ServerClosingMidDataOrSilentPastTheReadTimeoutFails) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expectReply("EHLO", "250 ok").expectReply("MAIL FROM", "250 ok");
    srv.expectReply("RCPT TO", "250 ok").expectReply("DATA", "354 go").expect().closeNow().acceptNext();
    acceptOne(srv);
    ostmail::Message m = basicMessage();
    m.setText(std::string(8 << 20, 'x'));  // more than the socket buffers take, so the body's own send fails
    ostmail::Session session(localServer(srv.port()));
    ostmail::SendResult r = session.send(m);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.accepted().empty());
    EXPECT_EQ(r.error(), ostmail::SendError::DataRefused);
    EXPECT_EQ(r.reason(), "the connection to 127.0.0.1:" + std::to_string(srv.port()) + " was lost while sending");
    ostmail::SendResult again = session.send(basicMessage());
    EXPECT_TRUE(again.ok()) << again.reason() << "\n" << srv.transcript();
    session.close();
    EXPECT_TRUE(srv.waitDone());

    ScriptedSmtpServer late;
    late.silence(2500).reply("220 late").serveRest();
    late.start();
    ostmail::SmtpSettings impatient = localServer(late.port());
    impatient.setReadTimeout(1);
    EXPECT_FALSE(ostmail::send(impatient, basicMessage()).ok()) << late.transcript();
}

namespace {

using Script = std::function<void(ScriptedSmtpServer&)>;

// MAIL FROM, RCPT TO with one reply per recipient, DATA, and the message.
Script transaction(std::vector<std::string> rcptReplies, const std::string& final = "250 queued") {
    return [=](ScriptedSmtpServer& srv) {
        srv.expectReply("MAIL FROM", "250 ok");
        for (const std::string& r : rcptReplies) srv.expectReply("RCPT TO", r);
        srv.expectReply("DATA", "354 go").readData();
        if (!final.empty()) srv.reply(final);
    };
}

Script greeted(Script then, const std::string& ehlo = "250 ok") {
    return [=](ScriptedSmtpServer& srv) {
        srv.reply("220 hi").expectReply("EHLO", ehlo);
        then(srv);
        srv.serveRest();
    };
}

}  // namespace

// What each send reports matches what the server said to that send: every
// refused recipient with its own code, a final reply that never came, a
// refused login or connection, each as its own kind of failure.
TEST(ApiSend, ResultsSayWhatTheServerDid) {
    using E = ostmail::SendError;
    struct Case {
        const char* name;
        Script script;  // empty: a port that refuses connections
        int sends;
        bool ok;
        E error;
        int status;
        int accepted, refused;
        const char* reasonPart;
        bool implicitTls = false;
    };
    const Script refusedInEach = [](ScriptedSmtpServer& srv) {
        for (int i = 0; i < 3; ++i) {
            if (i > 0) srv.expectReply("RSET", "250 reset");
            transaction({"250 ok", "550 5.1.1 no such user"}, "250 queued as " + std::to_string(i))(srv);
        }
    };
    const Case cases[] = {
        {"refused each time in one session", greeted(refusedInEach), 3, true, E::None, 250, 1, 1, ""},
        {"452 and 550", greeted(transaction({"452 4.2.2 mailbox full", "550 5.1.1 no such user", "250 ok"})), 1,
         true, E::None, 250, 1, 2, ""},
        {"no final reply", greeted(transaction({"250 ok", "250 ok"}, "")), 1, false, E::Unconfirmed, 0, 0, 0,
         "may or may not have been taken"},
        {"final reply after the read time-out", greeted([](ScriptedSmtpServer& srv) {
             transaction({"250 ok", "250 ok"}, "")(srv);
             srv.silence(2500).reply("250 late but fine");
         }), 1, true, E::None, 250, 2, 0, ""},
        {"wrong password", greeted([](ScriptedSmtpServer& srv) { srv.expectReply("AUTH", "535 5.7.8 bad credentials"); },
                                   "250-ok\r\n250 AUTH PLAIN"),
         1, false, E::Login, 535, 0, 0, "the login was refused by 127.0.0.1:"},
        {"sender refused", greeted([](ScriptedSmtpServer& srv) { srv.expectReply("MAIL", "550 5.7.1 relaying denied"); }),
         1, false, E::SenderRefused, 550, 0, 0, "\"550 5.7.1 relaying denied\""},
        {"every recipient refused", greeted([](ScriptedSmtpServer& srv) {
             srv.expectReply("MAIL", "250 ok").expectReply("RCPT", "550 no").expectReply("RCPT", "451 later");
         }), 1, false, E::RecipientsRefused, 451, 0, 2, "every recipient was refused"},
        {"message refused", greeted(transaction({"250 ok", "250 ok"}, "554 5.6.0 bad content")), 1, false,
         E::DataRefused, 554, 0, 0, "the message was refused"},
        {"connection refused", {}, 1, false, E::Connect, 0, 0, 0, ": connection refused"},
        {"TLS to a plain server", [](ScriptedSmtpServer& srv) { srv.reply("220 plain").serveRest(); }, 1, false,
         E::Tls, 0, 0, 0, "TLS handshake with 127.0.0.1:", true},
    };
    for (const Case& c : cases) {
        ScriptedSmtpServer srv;
        ostmail::testsupport::ClosedPort closed;
        if (c.script) {
            c.script(srv);
            srv.start();
        }
        const int port = c.script ? srv.port() : closed.port();
        ostmail::SmtpSettings settings = localServer(port);
        settings.setReadTimeout(1);
        settings.setFinalReplyTimeout(c.status == 0 && c.script ? 1 : 30);
        if (c.error == E::Login) settings.setLogin("u", "p", "PLAIN");
        settings.setAllowPlaintextLogin(true);  // the scripted server speaks no TLS
        if (c.implicitTls) settings.setSecurity(ostmail::Security::ImplicitTls);
        ostmail::Session session(settings);
        ostmail::Message m = basicMessage();
        m.addCc("bad@y.test");
        if (c.accepted + c.refused == 3) m.addBcc("c@y.test");
        for (int i = 0; i < c.sends; ++i) {
            ostmail::SendResult r = session.send(m);
            const std::string at = std::string(c.name) + " #" + std::to_string(i) + ": " + r.reason();
            EXPECT_EQ(r.ok(), c.ok) << at << "\n" << srv.transcript();
            EXPECT_EQ(r.error(), c.error) << at;
            EXPECT_EQ(r.unconfirmed(), c.error == E::Unconfirmed) << at;
            EXPECT_EQ(r.smtpStatus(), c.status) << at;
            EXPECT_EQ(r.accepted().size(), static_cast<size_t>(c.accepted)) << at;
            EXPECT_EQ(r.refused().size(), static_cast<size_t>(c.refused)) << at;
            EXPECT_NE(r.reason().find(c.reasonPart), std::string::npos) << at;
            const bool namesServer = r.reason().find("127.0.0.1:" + std::to_string(port)) != std::string::npos;
            EXPECT_TRUE(c.ok || namesServer) << at;
            if (c.error == E::Unconfirmed) {
                EXPECT_EQ(r.smtpReply(), "") << at;
            }
            for (const ostmail::RecipientResult& rc : r.recipients()) {
                EXPECT_EQ(rc.accepted, rc.code == 250) << at << rc.address;
                if (rc.code == 550 && rc.address == "bad@y.test") {
                    EXPECT_TRUE(rc.permanent() && rc.enhancedStatus == "5.1.1" && rc.text == "no such user") << at;
                }
                if (rc.code == 452) {
                    EXPECT_TRUE(rc.transient() && !rc.permanent() && rc.text == "mailbox full") << at;
                }
            }
        }
        if (c.ok) {
            EXPECT_TRUE(session.close()) << c.name;
        }
        session.close();
        EXPECT_FALSE(session.close()) << c.name;
    }
}

// A callback that says stop is not asked again, and the aborted send in a
// session reports no reply of the send before it.
TEST(ApiSend, AbortedSendStopsAskingAndOwnsItsResult) {
    ScriptedSmtpServer srv;
    greeted(transaction({"250 ok"}, "250 queued as 1"))(srv);
    srv.start();
    ostmail::Session session(localServer(srv.port()));
    ASSERT_TRUE(session.send(basicMessage()).ok()) << srv.transcript();
    int calls = 0, callsAfterNo = 0;
    session.setProgress([&](int) {
        callsAfterNo += calls > 0;
        ++calls;
        return false;
    });
    ostmail::SendResult r = session.send(basicMessage());
    EXPECT_EQ(r.error(), ostmail::SendError::Aborted) << r.reason();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(callsAfterNo, 0);
    EXPECT_EQ(r.smtpReply().find("queued"), std::string::npos) << r.smtpReply();
    EXPECT_TRUE(r.accepted().empty());
    EXPECT_FALSE(ostmail::Session(localServer(srv.port())).close());
}

// Mailbox::parse takes what RFC 5322 calls a mailbox and nothing else,
// and a refusal names the text and what is wrong with it.
TEST(ApiMailbox, ParsesMailboxesAndNamesWhatIsWrong) {
    struct Case {
        const char* text;
        const char* address;  // null: refused
        const char* nameOrReason;
    };
    const Case cases[] = {
        {"boss@example.com", "boss@example.com", ""},
        {"  Boss <boss@example.com> ", "boss@example.com", "Boss"},
        {"\"Boss, The\" <boss@example.com>", "boss@example.com", "Boss, The"},
        {"\"say \\\"hi\\\"\" <a@b.c>", "a@b.c", "say \"hi\""},
        {"J. R. Bob <a.b+tag@sub.example.com>", "a.b+tag@sub.example.com", "J. R. Bob"},
        {"\"a b\"@example.com", "\"a b\"@example.com", ""},
        {"x@[192.0.2.1]", "x@[192.0.2.1]", ""},
        {"Jürgen <jürgen@bücher.de>", "jürgen@bücher.de", "Jürgen"},
        {"boss@x", "boss@x", ""},
        {"notanaddress", nullptr, "invalid address \"notanaddress\": no @ in it"},
        {"a@b@c.com", nullptr, "more than one @"},
        {"a@", nullptr, "nothing after the @"},
        {"@b.com", nullptr, "nothing before the @"},
        {"a@b..com", nullptr, "empty label in the domain"},
        {"a b@c.com", nullptr, "' ' is not allowed before the @"},
        {".a@c.com", nullptr, "misplaced dot before the @"},
        {"a@-c.com", nullptr, "bad domain label"},
        {"x@y.com, z@w.com", nullptr, "',' is not allowed"},
        {"Boss <boss@x", nullptr, "no closing >"},
        {"Boss <boss@x> extra", nullptr, "text after the >"},
        {"Bo@ss <boss@x>", nullptr, "'@' in the name needs quotes"},
        {"\"Boss <boss@x>", nullptr, "bad quoted part before the @"},
        {"a@b.c\r\nBcc: e@f.g", nullptr, "control character"},
        {"", nullptr, "empty address"},
        {"\xC3(@x.y", nullptr, "invalid UTF-8"},
    };
    for (const Case& c : cases) {
        ostmail::Mailbox m = ostmail::Mailbox::parse(c.text);
        EXPECT_EQ(m.ok(), c.address != nullptr) << c.text << ": " << m.reason();
        if (c.address) {
            EXPECT_EQ(m.address(), c.address) << c.text;
            EXPECT_EQ(m.name(), c.nameOrReason) << c.text;
        } else {
            EXPECT_NE(m.reason().find(c.nameOrReason), std::string::npos) << c.text << ": " << m.reason();
            EXPECT_TRUE(m.address().empty() && m.name().empty()) << c.text;
        }
    }
    std::vector<ostmail::Mailbox> list;
    std::string reason;
    ASSERT_TRUE(ostmail::Mailbox::parseList("x@y.com, \"W, Z\" <z@w.com>,Boss <boss@x>", list, reason)) << reason;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].name() + "|" + list[1].address() + "|" + list[2].address(), "W, Z|z@w.com|boss@x");
    EXPECT_FALSE(ostmail::Mailbox::parseList("x@y.com,,z@w.com", list, reason));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(reason, "invalid address \"\": empty address");
}
