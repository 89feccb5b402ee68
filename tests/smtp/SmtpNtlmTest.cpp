// AUTH NTLM and AUTH MSN through the SMTP session: the line flow against
// the scripted peer (the real servers: tests/integration).

#include "core/ContentCoding.h"
#include "smtp/NtlmTestSupport.h"
#include "smtp/PackageExchange.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpTestSupport.h"
#include "smtp/VelmoraSSPI.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using smtptest::Client;
using smtptest::xs;
using testsupport::ScriptedSmtpServer;

ntlmtest::Bytes unbase64(const std::string& s) {
    DataBuffer d;
    ContentCoding::decodeBase64(s.data(), s.size(), d);
    return ntlmtest::Bytes(d.getData(), d.getData() + d.getSize());
}

std::string base64(const ntlmtest::Bytes& b) {
    StringBuffer sb;
    ContentCoding::encodeBase64Flat(b.data(), b.size(), sb);
    return sb.toStdString();
}

bool login(Client& c, int port, const std::string& user, const std::string& password, const std::string& domain,
           const std::string& method) {
    return c.conn.smtpConnect("127.0.0.1", port, xs(user), xs(password), xs(domain), xs(method), 5, 5000, nullptr,
                              c.log, nullptr, c.timedOut, c.aborted);
}

// Counts the tokens a handshake tries to send; never answers.
class CountingPeer : public PackageExchange {
public:
    bool exchangePackage(const DataBuffer&, DataBuffer&, LogBase&) override { return ++calls, false; }
    bool sendFinal(const DataBuffer&, LogBase&) override { return ++calls, false; }
    int calls = 0;
};

}  // namespace

// Failures before the first token leave the connection untouched. The one
// package is "NTLM", found whatever the case of its name.
TEST(VelmoraSspi, NothingIsSentWithoutCredentialsOrPackage) {
    EXPECT_EQ(VelmoraSSPI().packageIndex("nTlM"), 0);
    EXPECT_EQ(VelmoraSSPI().packageIndex("Negotiate"), -1);
    XString none, user = xs("User"), password = xs("Password");
    VelmoraSSPI chosen, unchosen;
    ASSERT_TRUE(chosen.choosePackage(0));
    CountingPeer peer;
    smtptest::RecordingLog log;
    EXPECT_FALSE(chosen.authenticate(none, user, none, peer, log));
    EXPECT_FALSE(unchosen.authenticate(none, user, password, peer, log));
    EXPECT_EQ(peer.calls, 0);
    EXPECT_EQ(log.missing({"E: No username and/or password for SSPI authenticate.",
                           "E: Failed to acquire credentials handle"}),
              "");
    EXPECT_TRUE(log.text().find("SEC_E_SECPKG_NOT_FOUND") != std::string::npos) << log.text();
}

// NTLM chosen from the EHLO list; the answer to a fixed challenge is checked
// against MS-NLMP 4.2.2, and no token goes into the transcript.
TEST(SmtpNtlm, ChosenFromEhloListAnswersTheChallenge) {
    ntlmtest::Bytes challenge = ntlmtest::type2(0x00008201, ntlmtest::unhex("0123456789abcdef"), {}, {});
    challenge.resize(48);
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expect("EHLO").send("250-mail.test\r\n250 AUTH NTLM CRAM-MD5\r\n")
        .expectReply("AUTH NTLM", "334 ").expectReply("TlRMTVNTUAAB", "334 " + base64(challenge))
        .expectReply("TlRMTVNTUAAD", "235 welcome").serveRest();
    srv.start();
    {
        Client c;
        ASSERT_TRUE(login(c, srv.port(), "User", "Password", "", "")) << c.log.text();
        EXPECT_EQ(c.log.missing({"D: login_method=NTLM", "I: Using Microsoft SSPI NTLM."}), "");
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAB")) << c.conn.transcript().getString();
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAD"));
    }
    ASSERT_TRUE(srv.waitDone());
    ASSERT_GE(srv.lines().size(), 4u);
    ntlmtest::Bytes type3 = unbase64(srv.lines()[3]);
    EXPECT_EQ(ntlmtest::hex(ntlmtest::payload(type3, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(ntlmtest::payload(type3, 36), ntlmtest::utf16("User"));
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

TEST(SmtpNtlm, PackageFailuresEndTheLogin) {
    {   // the server refuses the first token
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH NTLM\r\n")
            .expectReply("AUTH NTLM", "334 ").expectReply("TlRMTVNTUAAB", "504 no").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(login(c, srv.port(), "User", "Password", "", ""));
        EXPECT_EQ(c.log.missing({"E: exchangePackage: failed to get success response",
                                 "E: VelmoraSSPI.authenticate: exchange failed", "E: NTLM authentication failed",
                                 "I: Failed to login using NTLM method"}),
                  "");
    }
    {   // a challenge that is not NTLM: nothing more is sent
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH NTLM\r\n")
            .expectReply("AUTH NTLM", "334 ").expectReply("TlRMTVNTUAAB", "334 aGVsbG8=").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(login(c, srv.port(), "User", "Password", "", ""));
        EXPECT_EQ(c.log.missing({"E: VelmoraSSPI.authenticate: failed to prepare next package",
                                 "E: Finished and NOT authenticated"}),
                  "");
        c.conn.closeConnection(c.log, nullptr);
        ASSERT_TRUE(srv.waitDone());
        EXPECT_EQ(srv.lines().size(), 3u) << srv.transcript();
    }
    {   // the server refuses AUTH NTLM itself
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH NTLM\r\n")
            .expectReply("AUTH NTLM", "504 unrecognized").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(login(c, srv.port(), "User", "Password", "", ""));
        EXPECT_TRUE(c.log.has("E: Failed to send AUTH NTLM"));
        EXPECT_FALSE(c.log.has("E: NTLM authentication failed"));
    }
}

}  // namespace ostmail
