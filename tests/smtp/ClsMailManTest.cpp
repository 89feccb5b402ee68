#include "email/ClsEmail.h"
#include "smtp/ClsMailMan.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ostmail {
namespace {

using testsupport::ScriptedSmtpServer;

XString x(const char* utf8) {
    XString s;
    s.setFromUtf8(utf8);
    return s;
}

std::string lastError(ClsMailMan& mm) {
    XString t;
    mm.LastErrorText(t);
    return t.getUtf8();
}

void addTo(ClsEmail& email, const char* address) {
    XString name = x(""), addr = x(address);
    ASSERT_TRUE(email.AddTo(name, addr));
}

// A message from s@x.test to the given recipients.
void compose(ClsEmail& email, const std::vector<const char*>& to) {
    XString from = x("s@x.test"), subject = x("hello"), body = x("body text\r\n");
    email.put_FromAddress(from);
    email.put_Subject(subject);
    email.put_Body(body);
    for (const char* a : to) addTo(email, a);
}

void pointAt(ClsMailMan& mm, const ScriptedSmtpServer& srv) {
    XString host = x("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(srv.port());
    mm.put_ReadTimeout(5);
    mm.put_ConnectTimeout(5);
}

ScriptedSmtpServer& greetAndHello(ScriptedSmtpServer& srv) {
    return srv.reply("220 scripted ready").expectReply("EHLO", "250-scripted\r\n250 HELP");
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(ClsMailMan, HostIsReducedToABareLowerCaseName) {
    ClsMailMan mm;
    XString out;
    mm.get_SmtpHost(out);
    EXPECT_STREQ(out.getUtf8(), "localhost");
    EXPECT_EQ(mm.get_SmtpPort(), 25);
    EXPECT_EQ(mm.get_ReadTimeout(), 30);
    EXPECT_EQ(mm.get_ConnectTimeout(), 30);
    EXPECT_TRUE(mm.get_AutoGenMessageId());

    const char* cases[][2] = {
        {"HTTPS://Mail.Example.COM/", "mail.example.com"},
        {"http://smtp.example.org/submit/", "smtp.example.orgsubmit"},
        {"smtp.Example.org", "smtp.example.org"},
        {"https://http://h/", "h"},
    };
    for (auto& c : cases) {
        XString in = x(c[0]);
        mm.put_SmtpHost(in);
        mm.get_SmtpHost(out);
        EXPECT_STREQ(out.getUtf8(), c[1]) << c[0];
    }
}

TEST(ClsMailMan, BothTlsFlagsResolveByPortAndTheChoiceSticks) {
    ClsMailMan mm;
    mm.put_SmtpSsl(true);
    mm.put_StartTLS(true);
    mm.put_SmtpPort(465);
    EXPECT_FALSE(mm.SendEmail(nullptr, nullptr));
    EXPECT_TRUE(mm.get_SmtpSsl());
    EXPECT_FALSE(mm.get_StartTLS());

    mm.put_StartTLS(true);
    mm.put_SmtpPort(587);
    EXPECT_FALSE(mm.SendEmail(nullptr, nullptr));
    EXPECT_FALSE(mm.get_SmtpSsl());
    EXPECT_TRUE(mm.get_StartTLS());
    std::string log = lastError(mm);
    EXPECT_NE(log.find("Email parameter is NULL in SendEmail"), std::string::npos) << log;
    EXPECT_NE(log.find("DllDate: Mar  4 2009"), std::string::npos) << log;

    // Only one flag set: nothing to resolve.
    mm.put_SmtpSsl(true);
    mm.put_StartTLS(false);
    EXPECT_FALSE(mm.SendEmail(nullptr, nullptr));
    EXPECT_TRUE(mm.get_SmtpSsl());
}

TEST(ClsMailMan, PartlyRefusedRecipientsStillSendAndAreCounted) {
    ScriptedSmtpServer srv;
    greetAndHello(srv)
        .expectReply("MAIL FROM:", "250 sender ok")
        .expectReply("RCPT TO:", "250 ok")
        .expectReply("RCPT TO:", "550 no such user")
        .expectReply("RCPT TO:", "250 ok")
        .expectReply("DATA", "354 go ahead")
        .readData()
        .reply("250 queued")
        .expectReply("QUIT", "221 bye");
    srv.start();
    {
        ClsMailMan mm;
        pointAt(mm, srv);
        ClsEmail email;
        compose(email, {"a@y.test", "bad@y.test", "c@y.test"});
        ASSERT_TRUE(mm.SendEmail(&email, nullptr)) << lastError(mm) << srv.transcript();
        std::string log = lastError(mm);
        EXPECT_NE(log.find("NumAccepted: 2"), std::string::npos) << log;
        EXPECT_NE(log.find("NumRejected: 1"), std::string::npos) << log;
        EXPECT_NE(log.find("Returning success status."), std::string::npos) << log;
        EXPECT_EQ(mm.get_LastSmtpStatus(), 250);
        ASSERT_EQ(mm.get_NumBadAddresses(), 1);
        XString bad;
        ASSERT_TRUE(mm.getBadAddress(0, bad));
        EXPECT_STREQ(bad.getUtf8(), "bad@y.test");
    }
    ASSERT_TRUE(srv.waitDone()) << srv.transcript();
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    std::vector<std::string> lines = srv.lines();
    EXPECT_EQ(lines[1], "MAIL FROM:<s@x.test>");
    EXPECT_EQ(lines[2], "RCPT TO:<a@y.test>");
    EXPECT_EQ(lines.back(), "QUIT") << "the manager's end says goodbye";
    ASSERT_EQ(srv.dataBlocks().size(), 1u);
    EXPECT_NE(srv.dataBlocks()[0].find("Subject: hello\r\n"), std::string::npos);
}

TEST(ClsMailMan, FailedSendsReportTheirCountsAndStatus) {
    // Every recipient refused: nothing accepted.
    ScriptedSmtpServer refused;
    greetAndHello(refused)
        .expectReply("MAIL FROM:", "250 ok")
        .expectReply("RCPT TO:", "550 no")
        .expectReply("RCPT TO:", "550 no")
        .serveRest();
    refused.start();
    {
        ClsMailMan mm;
        pointAt(mm, refused);
        ClsEmail email;
        compose(email, {"a@y.test", "b@y.test"});
        EXPECT_FALSE(mm.SendEmail(&email, nullptr));
        std::string log = lastError(mm);
        EXPECT_NE(log.find("NumSuccess: 0"), std::string::npos) << log;
        EXPECT_NE(log.find("NumTotal: 2"), std::string::npos) << log;
        EXPECT_NE(log.find("Send failed."), std::string::npos) << log;
    }
    ASSERT_TRUE(refused.waitDone());
    EXPECT_FALSE(contains(refused.lines(), "DATA")) << refused.transcript();

    // Every recipient accepted, then the message itself refused: the
    // session counts nothing as delivered, and the server's code is kept.
    ScriptedSmtpServer dataRefused;
    greetAndHello(dataRefused)
        .expectReply("MAIL FROM:", "250 ok")
        .expectReply("RCPT TO:", "250 ok")
        .expectReply("DATA", "354 go")
        .readData()
        .reply("554 content rejected")
        .serveRest();
    dataRefused.start();
    {
        ClsMailMan mm;
        pointAt(mm, dataRefused);
        ClsEmail email;
        compose(email, {"a@y.test"});
        EXPECT_FALSE(mm.SendEmail(&email, nullptr));
        std::string log = lastError(mm);
        EXPECT_NE(log.find("NumSuccess: 0"), std::string::npos) << log;
        EXPECT_NE(log.find("NumTotal: 1"), std::string::npos) << log;
        EXPECT_NE(log.find("Send failed."), std::string::npos) << log;
        EXPECT_EQ(log.find("Returning success status."), std::string::npos) << log;
        EXPECT_EQ(mm.get_LastSmtpStatus(), 554);
    }
    ASSERT_TRUE(dataRefused.waitDone());
}

TEST(ClsMailMan, EnvelopeSenderAndSecondSendReuseTheConnection) {
    ScriptedSmtpServer srv;
    greetAndHello(srv).serveRest();
    srv.start();
    {
        ClsMailMan mm;
        pointAt(mm, srv);

        ClsEmail withReturnPath;
        compose(withReturnPath, {"a@y.test"});
        XString rp = x("Return-Path"), rpValue = x(" <bounce@x.test> ");
        withReturnPath.AddHeaderField(rp, rpValue);
        ASSERT_TRUE(mm.SendEmail(&withReturnPath, nullptr)) << lastError(mm);

        ClsEmail plain;
        compose(plain, {"b@y.test"});
        ASSERT_TRUE(mm.SendEmail(&plain, nullptr)) << lastError(mm);
        std::string log = lastError(mm);
        EXPECT_NE(log.find("Using existing/open SMTP connection to send email."), std::string::npos) << log;

        ClsEmail anonymous;
        XString body = x("no sender");
        anonymous.put_Body(body);
        addTo(anonymous, "c@y.test");
        ASSERT_TRUE(mm.SendEmail(&anonymous, nullptr)) << lastError(mm);

        EXPECT_TRUE(mm.isSmtpConnected());
        EXPECT_TRUE(mm.CloseSmtpConnection());
        EXPECT_FALSE(mm.isSmtpConnected());
    }
    ASSERT_TRUE(srv.waitDone()) << srv.transcript();
    EXPECT_EQ(srv.connections(), 1);
    std::vector<std::string> lines = srv.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("EHLO", 0) == 0; }),
              1)
        << srv.transcript();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RSET"), 2) << srv.transcript();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QUIT"), 1) << "closed once, not again at the end";
    EXPECT_TRUE(contains(lines, "MAIL FROM:<bounce@x.test>")) << srv.transcript();
    EXPECT_TRUE(contains(lines, "MAIL FROM:<s@x.test>")) << srv.transcript();
    EXPECT_TRUE(contains(lines, "MAIL FROM:<>")) << srv.transcript();
    ASSERT_EQ(srv.dataBlocks().size(), 3u);
    EXPECT_EQ(srv.dataBlocks()[0].find("Return-Path"), std::string::npos) << "never transmitted";
}

}  // namespace
}  // namespace ostmail
