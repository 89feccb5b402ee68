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

// The first mechanism of an AUTH= line is only seen for LOGIN. Forcing
// keeps one mechanism (or none) and leaves DSN alone; an unknown name
// changes nothing.
TEST(SmtpProtocol, CapabilitiesFromEhloText) {
    EXPECT_EQ(names(fromEhlo({"AUTH=LOGIN PLAIN"})), "PLAIN LOGIN");
    EXPECT_EQ(names(fromEhlo({"AUTH=PLAIN"})), "");
    const auto all = {"auth LOGIN NTLM PLAIN cram-md5 DIGEST-MD5 KERBEROS_V4", "DSN"};
    EXPECT_EQ(names(fromEhlo(all)), "CRAM-MD5 PLAIN LOGIN DIGEST-MD5 KERBEROS_V4 NTLM DSN");
    EXPECT_EQ(names(fromEhlo(all, "PLAIN")), "PLAIN DSN");
    EXPECT_EQ(names(fromEhlo(all, "NONE")), "DSN");
    EXPECT_FALSE(fromEhlo(all, "NONE").anyAuth());
    EXPECT_EQ(names(fromEhlo(all, "XOAUTH2")), names(fromEhlo(all)));
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

}  // namespace
}  // namespace ostmail
