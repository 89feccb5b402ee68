#include "ostmail/ostmail.h"
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
    srv.reply("220 hi").expectReply("EHLO", "250 ok").expectReply("MAIL FROM", "250 ok");
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
        {"in the proxy password", [](auto& s, auto&) { s.setHttpProxy("127.0.0.1", 1, "u", "\xC3"); },
         "invalid UTF-8 in HTTP proxy password"},
    };
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
    }
    // Without a port the send goes to 25; the refusing proxy keeps it from getting there.
    ostmail::SmtpSettings unset;
    unset.setHost("127.0.0.1");
    unset.setHttpProxy("127.0.0.1", 1);
    EXPECT_NE(ostmail::send(unset, basicMessage()).log().find("smtp_port: 25\r\n"), std::string::npos);
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
    ostmail::SendResult r = ostmail::send(s, m);
    ASSERT_TRUE(r.ok()) << r.reason() << "\n" << srv.transcript();
    ASSERT_TRUE(srv.waitDone());
    ASSERT_EQ(srv.dataBlocks().size(), 1u);
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
    // The socket error comes first, then how the send ended.
    const std::string ending = "; Send failed.";
    EXPECT_EQ(r.reason().rfind("SocketError: ", 0), 0u) << r.reason();
    EXPECT_EQ(r.reason().find(ending), r.reason().size() - ending.size()) << r.reason();
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
