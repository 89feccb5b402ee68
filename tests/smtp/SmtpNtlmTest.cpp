// AUTH NTLM through the SMTP session: the line flow against the scripted
// peer (the real servers: tests/integration).

#include "smtp/NtlmTestSupport.h"
#include "smtp/PackageExchange.h"
#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpTestSupport.h"
#include "smtp/VelmoraSSPI.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using namespace smtptest;

ntlmtest::Bytes bytes(const std::string& s) { return ntlmtest::Bytes(s.begin(), s.end()); }

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
    RecordingLog log;
    EXPECT_FALSE(chosen.authenticate(none, user, none, peer, log));
    EXPECT_FALSE(unchosen.authenticate(none, user, password, peer, log));
    EXPECT_EQ(peer.calls, 0);
    EXPECT_LOGGED(log, "E: No username and/or password for SSPI authenticate.",
                  "E: Failed to acquire credentials handle");
    EXPECT_TRUE(log.text().find("SEC_E_SECPKG_NOT_FOUND") != std::string::npos) << log.text();
}

// NTLM chosen from the EHLO list; the answer to a fixed challenge is the
// published NTLMv1 response, and no token goes into the transcript.
TEST(SmtpNtlm, ChosenFromEhloListAnswersTheChallenge) {
    ntlmtest::Bytes challenge = ntlmtest::type2(0x00008201, ntlmtest::unhex("0123456789abcdef"), {}, {});
    challenge.resize(48);
    ScriptedSmtpServer srv;
    greet(srv, "250-mail.test\r\n250 AUTH NTLM CRAM-MD5").expectReply("AUTH NTLM", "334 ")
        .expectReply("TlRMTVNTUAAB", "334 " + b64(std::string(challenge.begin(), challenge.end())))
        .expectReply("TlRMTVNTUAAD", "235 welcome").serveRest();
    {
        Client c;
        ASSERT_TRUE(c.open(srv, "User", "Password")) << c.log.text();
        EXPECT_LOGGED(c.log, "D: login_method=NTLM", "I: Using Microsoft SSPI NTLM.");
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAB")) << c.conn.transcript().getString();
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAD"));
    }
    ASSERT_TRUE(srv.waitDone());
    ASSERT_GE(srv.lines().size(), 4u);
    ntlmtest::Bytes type3 = bytes(unb64(srv.lines()[3]));
    EXPECT_EQ(ntlmtest::hex(ntlmtest::payload(type3, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(ntlmtest::payload(type3, 36), ntlmtest::utf16("User"));
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

// A refused AUTH NTLM, a refused first token, and second replies that are
// no usable challenge (not NTLM, not base64): the login ends there, and
// nothing more is sent.
TEST(SmtpNtlm, PackageFailuresEndTheLogin) {
    struct Case {
        const char* authReply;
        const char* challenge;  // nullptr: the exchange never starts
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"504 unrecognized", nullptr, {"E: Failed to send AUTH NTLM"}},
        {"334 ", "504 no",
         {"E: exchangePackage: failed to get success response", "E: VelmoraSSPI.authenticate: exchange failed"}},
        {"334 ", "334 aGVsbG8=",
         {"E: VelmoraSSPI.authenticate: failed to prepare next package", "E: Finished and NOT authenticated"}},
        {"334 ", "334 ***", {}},
        {"334 ", "334 !!!!", {}},
        {"334 ", "334 ", {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.challenge ? k.challenge : k.authReply);
        ScriptedSmtpServer srv;
        greet(srv, "250 AUTH NTLM").expectReply("AUTH NTLM", k.authReply);
        if (k.challenge) srv.expectReply("TlRMTVNTUAAB", k.challenge);
        srv.serveRest();
        Client c;
        EXPECT_FALSE(c.open(srv, "User", "Password"));
        EXPECT_EQ(c.log.missing(k.log), "");
        EXPECT_EQ(c.log.has("E: NTLM authentication failed"), k.challenge != nullptr);
        EXPECT_LOGGED(c.log, "I: Failed to login using NTLM method");
        c.conn.closeConnection(c.log, nullptr);
        ASSERT_TRUE(srv.waitDone());
        EXPECT_EQ(srv.lines().size(), k.challenge ? 3u : 2u) << srv.transcript();  // nothing after the failure
        EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
    }
}

}  // namespace ostmail
