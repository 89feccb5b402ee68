#include "smtp/CramMD5.h"
#include "smtp/SmtpProtocol.h"

#include "core/ContentCoding.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

StringBuffer sb(const std::string& s) { return StringBuffer(s.data(), s.size()); }

TEST(SmtpProtocol, ReplyCodesAndLineKinds) {
    EXPECT_EQ(SmtpProtocol::replyCode(sb("250 ok\r\n")), 250);
    EXPECT_EQ(SmtpProtocol::replyCode(sb("354\r\n")), 354);
    EXPECT_EQ(SmtpProtocol::replyCode(sb("25\r\n")), -2);
    EXPECT_EQ(SmtpProtocol::replyCode(sb("2x0 no\r\n")), -2);
    EXPECT_EQ(SmtpProtocol::replyCode(sb("")), -2);

    EXPECT_EQ(SmtpProtocol::contentLength(sb("25\r\n")), 2u);
    EXPECT_EQ(SmtpProtocol::contentLength(sb("250 ok\r\n")), 6u);

    EXPECT_TRUE(SmtpProtocol::isContinuation(sb("250-SIZE\r\n")));
    EXPECT_FALSE(SmtpProtocol::isContinuation(sb("250 SIZE\r\n")));
    // A bare code is a final line for command replies but never ends EHLO.
    EXPECT_FALSE(SmtpProtocol::isContinuation(sb("250\r\n")));
    EXPECT_FALSE(SmtpProtocol::isLastEhloLine(sb("250\r\n")));
    EXPECT_TRUE(SmtpProtocol::isLastEhloLine(sb("250 HELP\r\n")));

    EXPECT_TRUE(SmtpProtocol::announcesDsn(sb("250-dsn\r\n")));
    EXPECT_FALSE(SmtpProtocol::announcesDsn(sb("250-8BITMIME\r\n")));
}

TEST(SmtpProtocol, CapabilitiesFromEhloText) {
    SmtpCapabilities caps;
    caps.applyEhloText("AUTH=LOGIN PLAIN");
    EXPECT_TRUE(caps.login);
    EXPECT_TRUE(caps.plain);
    EXPECT_FALSE(caps.cramMd5);

    SmtpCapabilities cram;
    cram.applyEhloText("auth cram-md5");
    EXPECT_TRUE(cram.cramMd5);
    EXPECT_FALSE(cram.login);

    // The first mechanism of an AUTH= line is only seen for LOGIN.
    SmtpCapabilities eq;
    eq.applyEhloText("AUTH=PLAIN");
    EXPECT_FALSE(eq.anyAuth());

    SmtpCapabilities all;
    all.applyEhloText("AUTH LOGIN NTLM MSN GSSAPI ANONYMOUS PLAIN CRAM-MD5 DIGEST-MD5 KERBEROS_V4");
    EXPECT_TRUE(all.login && all.ntlm && all.msn && all.gssapi && all.anonymous && all.plain && all.cramMd5 &&
                all.digestMd5 && all.kerberosV4);
    EXPECT_FALSE(all.dsn);
    all.applyEhloText("DSN");
    all.applyEhloText("SIZE 52428800");
    EXPECT_TRUE(all.dsn);

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

TEST(SmtpProtocol, ArgumentsCannotCarryLineBreaks) {
    StringBuffer cmd("RCPT TO:<");
    SmtpProtocol::appendArg(cmd, "a@b.test>\r\nRSET\r\nMAIL FROM:<x@y");
    cmd.append(">\r\n");
    EXPECT_STREQ(cmd.getString(), "RCPT TO:<a@b.test>RSETMAIL FROM:<x@y>\r\n");
    StringBuffer lone("X ");
    SmtpProtocol::appendArg(lone, "\n\r\n");
    EXPECT_STREQ(lone.getString(), "X ");

    StringBuffer longCmd;
    longCmd.appendCharN('A', 2500);
    SmtpProtocol::limitCommand(longCmd);
    EXPECT_EQ(longCmd.getSize(), SmtpProtocol::kMaxCommand);
}

TEST(SmtpProtocol, DotStuffing) {
    StringBuffer body(sb("Subject: x\r\n\r\n.\r\n..two\r\nmid.dot\r\n.end"));
    SmtpProtocol::dotStuff(body);
    EXPECT_EQ(body.toStdString(), "Subject: x\r\n\r\n..\r\n...two\r\nmid.dot\r\n..end");

    // Bytes after a NUL are stuffed too; bare LF counts as a line break.
    std::string withNul("a\0b\n.c\n.", 8);
    StringBuffer nul(sb(withNul));
    SmtpProtocol::dotStuff(nul);
    EXPECT_EQ(nul.toStdString(), std::string("a\0b\n..c\n..", 10));

    StringBuffer plain("no dots at line starts\r\n");
    SmtpProtocol::dotStuff(plain);
    EXPECT_STREQ(plain.getString(), "no dots at line starts\r\n");
}

TEST(SmtpProtocol, TranscriptKeepsTheStartOfLongWrites) {
    StringBuffer t;
    SmtpProtocol::recordWrite(t, "MAIL FROM:<a@b>\r\n", 17);
    std::string big(3000, 'x');
    SmtpProtocol::recordWrite(t, big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(t.toStdString(), "MAIL FROM:<a@b>\r\n" + std::string(2500, 'x') + "\n...\n");
}

TEST(CramMD5, Rfc2195ExampleAndLongKey) {
    const char challenge[] = "<1896.697170952@postoffice.reston.mci.net>";
    StringBuffer out;
    CramMD5::response("tim", "tanstaaftanstaaf", 16, challenge, sizeof challenge - 1, out);
    EXPECT_STREQ(out.getString(), "tim b913a602c7eda7a495b4e6e7334d3890");
    StringBuffer b64;
    ContentCoding::encodeBase64Flat(out.getString(), out.getSize(), b64);
    EXPECT_STREQ(b64.getString(), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");

    // A key over 64 bytes is hashed first (RFC 2104); value from Python's hmac.
    std::string pw(70, 'p');
    pw += '!';
    const char ch2[] = "<12345.678@example.test>";
    StringBuffer longKey;
    CramMD5::response("u", pw.data(), pw.size(), ch2, sizeof ch2 - 1, longKey);
    EXPECT_STREQ(longKey.getString(), "u 1d880dc04d461e1cf791dd289435b1d1");
}

}  // namespace
}  // namespace ostmail
