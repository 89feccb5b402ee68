#include "smtp/SmtpProtocol.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

StringBuffer sb(const std::string& s) { return StringBuffer(s.data(), s.size()); }

TEST(SmtpProtocol, ReplyCodesAndLineKinds) {
    for (auto c : {std::make_pair("250 ok\r\n", 250), std::make_pair("354\r\n", 354), std::make_pair("25\r\n", -2),
                   std::make_pair("2x0 no\r\n", -2), std::make_pair("", -2)})
        EXPECT_EQ(SmtpProtocol::replyCode(sb(c.first)), c.second) << c.first;
    // A bare code is a final line for command replies but never ends EHLO.
    EXPECT_FALSE(SmtpProtocol::isContinuation(sb("250\r\n")));
    EXPECT_TRUE(SmtpProtocol::isContinuation(sb("250-SIZE\r\n")));
    EXPECT_FALSE(SmtpProtocol::isLastEhloLine(sb("250\r\n")));
    EXPECT_TRUE(SmtpProtocol::isLastEhloLine(sb("250 HELP\r\n")));
}

TEST(SmtpProtocol, CapabilitiesFromEhloText) {
    // The first mechanism of an AUTH= line is only seen for LOGIN.
    SmtpCapabilities eq;
    eq.applyEhloText("AUTH=LOGIN PLAIN");
    EXPECT_TRUE(eq.login && eq.plain && !eq.cramMd5);
    eq = SmtpCapabilities();
    eq.applyEhloText("AUTH=PLAIN");
    EXPECT_FALSE(eq.anyAuth());

    SmtpCapabilities all;
    all.applyEhloText("auth LOGIN NTLM PLAIN cram-md5 DIGEST-MD5 KERBEROS_V4");
    EXPECT_TRUE(all.login && all.ntlm && all.plain && all.cramMd5 && all.digestMd5 && all.kerberosV4);
    all.applyEhloText("DSN");

    // Forcing keeps one mechanism (or none) and leaves DSN alone; an
    // unknown name changes nothing.
    SmtpCapabilities forced = all;
    forced.force(StringBuffer("PLAIN"));
    EXPECT_TRUE(forced.plain && forced.dsn);
    EXPECT_FALSE(forced.login || forced.cramMd5 || forced.ntlm || forced.digestMd5);
    forced = all;
    forced.force(StringBuffer("NONE"));
    EXPECT_FALSE(forced.anyAuth());
    EXPECT_TRUE(forced.dsn);
    forced = all;
    forced.force(StringBuffer("XOAUTH2"));
    EXPECT_TRUE(forced.login && forced.kerberosV4);
}

TEST(SmtpProtocol, CommandLimitDotStuffingAndTranscript) {
    StringBuffer longCmd;
    longCmd.appendCharN('A', 2500);
    SmtpProtocol::limitCommand(longCmd);
    EXPECT_EQ(longCmd.getSize(), SmtpProtocol::kMaxCommand);

    // Bytes after a NUL are stuffed too; bare LF counts as a line break.
    StringBuffer nul(sb(std::string("a\0b\n.c\n.", 8)));
    SmtpProtocol::dotStuff(nul);
    EXPECT_EQ(nul.toStdString(), std::string("a\0b\n..c\n..", 10));

    StringBuffer t;
    SmtpProtocol::recordWrite(t, "MAIL FROM:<a@b>\r\n", 17);
    std::string big(3000, 'x');
    SmtpProtocol::recordWrite(t, big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(t.toStdString(), "MAIL FROM:<a@b>\r\n" + std::string(2500, 'x') + "\n...\n");
}

}  // namespace
}  // namespace ostmail
