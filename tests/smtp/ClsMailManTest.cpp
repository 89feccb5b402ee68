#include "email/ClsEmail.h"
#include "smtp/ClsMailMan.h"
#include "smtp/SmtpTestSupport.h"

namespace ostmail {
namespace {

using smtptest::lacks;
using smtptest::xs;
using testsupport::ScriptedSmtpServer;

std::string lastError(ClsMailMan& mm) {
    XString t;
    mm.LastErrorText(t);
    return t.getUtf8();
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A message from s@x.test to the given recipients.
void compose(ClsEmail& email, const std::vector<const char*>& to, const char* from = "s@x.test") {
    XString f = xs(from), subject = xs("hello"), body = xs("body text\r\n"), none;
    if (*from) email.put_FromAddress(f);
    email.put_Subject(subject);
    email.put_Body(body);
    for (const char* a : to) {
        XString addr = xs(a);
        ASSERT_TRUE(email.AddTo(none, addr));
    }
}

void pointAt(ClsMailMan& mm, const ScriptedSmtpServer& srv) {
    XString host = xs("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(srv.port());
    mm.put_ReadTimeout(5);
    mm.put_ConnectTimeout(5);
}

TEST(ClsMailMan, HostIsReducedToABareLowerCaseName) {
    ClsMailMan mm;
    EXPECT_EQ(mm.get_ConnectTimeout(), 30);  // the mail job sets none, so every send waits this long
    const char* cases[][2] = {{"HTTPS://Mail.Example.COM/", "mail.example.com"},
                              {"http://smtp.example.org/submit/", "smtp.example.orgsubmit"},
                              {"smtp.Example.org", "smtp.example.org"}, {"https://http://h/", "h"}};
    for (auto& c : cases) {
        XString in = xs(c[0]), out;
        mm.put_SmtpHost(in);
        mm.get_SmtpHost(out);
        EXPECT_STREQ(out.getUtf8(), c[1]) << c[0];
    }
}

// Both flags set: port 465 keeps implicit TLS, any other STARTTLS, and the
// choice is what the properties read afterwards. One flag: nothing to resolve.
TEST(ClsMailMan, BothTlsFlagsResolveByPortAndTheChoiceSticks) {
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
        compose(withReturnPath, {"a@y.test", "bad@y.test"});
        XString rp = xs("Return-Path"), rpValue = xs(" <bounce@x.test> "), none;
        XString bcc = xs("hidden@y.test"), internal = xs("VMX-Secret"), secret = xs("do not send");
        withReturnPath.AddHeaderField(rp, rpValue);
        withReturnPath.AddHeaderField(internal, secret);
        XString mid = xs("Message-ID"), sameId = xs("<same@x.test>");
        withReturnPath.AddHeaderField(mid, sameId);
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
        compose(plain, {"b@y.test"});
        plain.AddHeaderField(mid, sameId);
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
        EXPECT_FALSE(has(lastError(other), "Returning success status."));
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
        EXPECT_FALSE(has(blocks[0], msg)) << msg << " was sent:\n" << blocks[0];
    EXPECT_TRUE(has(blocks[0], "Subject: hello\r\n")) << blocks[0];
    auto messageId = [](const std::string& msg) {
        size_t p = msg.find("Message-ID: ");
        return p == std::string::npos ? "" : msg.substr(p, msg.find("\r\n", p) - p);
    };
    EXPECT_NE(messageId(blocks[0]), "");
    EXPECT_NE(messageId(blocks[0]), messageId(blocks[1]));
}

}  // namespace
}  // namespace ostmail
