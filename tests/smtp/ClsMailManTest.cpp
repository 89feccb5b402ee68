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

// Partly refused and all refused: the counts, the verdict and the server's
// last code as the manager reports them.
TEST(ClsMailMan, SendsReportTheirCountsAndStatus) {
    struct Case {
        const char* name;
        std::vector<const char*> to;
        std::vector<std::string> rcptReplies;
        const char* dataReply;  // nullptr: no DATA
        bool ok;
        int status;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"partly refused", {"a@y.test", "bad@y.test", "c@y.test"}, {"250 ok", "550 no such user", "250 ok"},
         "250 queued", true, 250,
         {"Failed when sending RCPT TO:<bad@y.test>",
          "Warning: failed to send to 1 recipient(s), continuing to send to 2 recipient(s)", "Sent DATA terminator",
          "Mail sent to 2 recipients", "NumAccepted: 2", "NumRejected: 1", "Returning success status."}},
        {"all refused", {"a@y.test", "b@y.test"}, {"550 no", "550 no"}, nullptr, false, 550,
         {"NumSuccess: 0", "NumTotal: 2", "Send failed."}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedSmtpServer srv;
        srv.reply("220 ready").expectReply("EHLO", "250-scripted\r\n250 HELP").expectReply("MAIL FROM:", "250 ok");
        for (const std::string& r : k.rcptReplies) srv.expectReply("RCPT TO:", r);
        if (k.dataReply) srv.expectReply("DATA", "354 go ahead").readData().reply(k.dataReply);
        srv.serveRest();
        srv.start();
        {
            ClsMailMan mm;
            pointAt(mm, srv);
            ClsEmail email;
            compose(email, k.to);
            EXPECT_EQ(mm.SendEmail(&email, nullptr), k.ok);
            EXPECT_EQ(lacks(lastError(mm), k.log), "");
            EXPECT_EQ(has(lastError(mm), "Returning success status."), k.ok);
            EXPECT_EQ(mm.get_LastSmtpStatus(), k.status);
            if (k.ok) {
                XString bad;
                ASSERT_EQ(mm.get_NumBadAddresses(), 1);
                ASSERT_TRUE(mm.getBadAddress(0, bad));
                EXPECT_STREQ(bad.getUtf8(), "bad@y.test");
                EXPECT_FALSE(mm.getBadAddress(1, bad));
            }
        }
        ASSERT_TRUE(srv.waitDone()) << srv.transcript();
        EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
        EXPECT_EQ(srv.lines().back(), "QUIT") << "the manager's end says goodbye";
    }
}

// The sending copy: Bcc gets RCPT TO but no header, internal fields and
// Return-Path stay home, which gives the envelope sender, and each send
// has its own Message-ID. Later sends reuse the connection after RSET.
TEST(ClsMailMan, SendingCopyEnvelopeSenderAndConnectionReuse) {
    ScriptedSmtpServer srv;
    srv.reply("220 ready").expectReply("EHLO", "250-scripted\r\n250 HELP").serveRest();
    srv.start();
    {
        ClsMailMan mm;
        pointAt(mm, srv);

        ClsEmail withReturnPath;
        compose(withReturnPath, {"a@y.test"});
        XString rp = xs("Return-Path"), rpValue = xs(" <bounce@x.test> "), none;
        XString bcc = xs("hidden@y.test"), internal = xs("VMX-Secret"), secret = xs("do not send");
        withReturnPath.AddHeaderField(rp, rpValue);
        withReturnPath.AddHeaderField(internal, secret);
        ASSERT_TRUE(withReturnPath.AddBcc(none, bcc));
        ASSERT_TRUE(mm.SendEmail(&withReturnPath, nullptr)) << lastError(mm);

        ClsEmail plain;
        compose(plain, {"b@y.test"});
        ASSERT_TRUE(mm.SendEmail(&plain, nullptr)) << lastError(mm);

        ClsEmail anonymous;
        compose(anonymous, {"c@y.test"}, "");
        ASSERT_TRUE(mm.SendEmail(&anonymous, nullptr)) << lastError(mm);

        EXPECT_TRUE(mm.isSmtpConnected());
        EXPECT_TRUE(mm.CloseSmtpConnection());
        EXPECT_FALSE(mm.isSmtpConnected());
    }
    ASSERT_TRUE(srv.waitDone()) << srv.transcript();
    EXPECT_EQ(srv.connections(), 1);
    // Closed once, not again at the end.
    std::vector<std::string> lines = srv.lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), (std::vector<std::string>{
                               "MAIL FROM:<bounce@x.test>", "RCPT TO:<a@y.test>",
                               "RCPT TO:<hidden@y.test>", "DATA", "RSET", "MAIL FROM:<s@x.test>", "RCPT TO:<b@y.test>",
                               "DATA", "RSET", "MAIL FROM:<>", "RCPT TO:<c@y.test>", "DATA", "QUIT"}));
    std::vector<std::string> blocks = srv.dataBlocks();
    ASSERT_EQ(blocks.size(), 3u);
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
