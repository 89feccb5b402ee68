#include "smtp/SmtpConnImpl.h"

#include "email/ClsEmail.h"
#include "email/Email2.h"
#include "smtp/SmtpTestSupport.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using smtptest::Client;
using smtptest::xs;
using testsupport::ScriptedSmtpServer;

std::string headerValue(const std::string& msg, const std::string& name) {
    size_t p = msg.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "";
    p += name.size() + 4;
    return msg.substr(p, msg.find("\r\n", p) - p);
}

// The sending copy of a real e-mail object: every list becomes RCPT TO,
// internal fields stay home, and each send gets a fresh Message-ID.
TEST(SmtpEmailSend, RendersTheSendingCopy) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expectReply("EHLO", "250 ok").serveRest();
    srv.start();

    ClsEmail email;
    XString subject = xs("Quarterly report"), body = xs("Hello.\r\nBye.\r\n");
    XString from = xs("sender@example.test"), none = xs("");
    XString to = xs("to@example.test"), cc = xs("cc@example.test"), bcc = xs("hidden@example.test");
    email.put_Subject(subject);
    email.put_Body(body);
    email.put_FromAddress(from);
    ASSERT_TRUE(email.AddTo(none, to));
    ASSERT_TRUE(email.AddCC(none, cc));
    ASSERT_TRUE(email.AddBcc(none, bcc));
    XString internal = xs("VMX-Secret"), value = xs("do not send");
    email.AddHeaderField(internal, value);
    {
        Client c;
        ASSERT_TRUE(c.connect(srv.port()));
        for (int i = 0; i < 2; ++i) {
            LogNull quiet;
            std::unique_ptr<Email2> copy = email.cloneForSending(quiet);
            ASSERT_TRUE(copy);
            ASSERT_TRUE(c.conn.sendEmail(copy.get(), "sender@example.test", nullptr, nullptr, c.log, nullptr,
                                         c.result, c.bad, true, true))
                << c.log.text();
            EXPECT_EQ(c.result.accepted, 3);
            ASSERT_TRUE(c.connect(srv.port()));
        }
        EXPECT_TRUE(c.log.has("D: subject=Quarterly report"));
        Email2* null = nullptr;
        EXPECT_FALSE(c.conn.sendEmail(null, "", nullptr, nullptr, c.log, nullptr, c.result, c.bad, true, true));
        EXPECT_TRUE(c.log.has("E: email argument to SmtpConnImpl is NULL"));
        EXPECT_TRUE(c.result.protocolFailure);
    }
    ASSERT_TRUE(srv.waitDone());
    auto lines = srv.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "RCPT TO:<hidden@example.test>"), lines.end());
    auto blocks = srv.dataBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    for (const auto& msg : blocks) {
        EXPECT_EQ(msg.find("VMX-"), std::string::npos) << msg;
        EXPECT_EQ(msg.find("hidden@example.test"), std::string::npos) << msg;
        EXPECT_EQ(headerValue(msg, "Subject"), "Quarterly report");
        EXPECT_NE(msg.find("\r\n\r\nHello.\r\n"), std::string::npos) << msg;
    }
    std::string id0 = headerValue("\r\n" + blocks[0], "Message-ID");
    EXPECT_FALSE(id0.empty()) << blocks[0];
    EXPECT_NE(id0, headerValue("\r\n" + blocks[1], "Message-ID"));
}

}  // namespace
}  // namespace ostmail
