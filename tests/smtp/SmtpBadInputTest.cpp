// Servers that answer with what a client cannot use: the connect fails with
// its own lines, soon, and nothing is left half-done.
#include "smtp/SmtpConnImpl.h"

#include "core/ContentCoding.h"
#include "support/ScriptedSmtpServer.h"
#include "smtp/SmtpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace ostmail {
namespace {

using smtptest::Client;
using testsupport::ScriptedSmtpServer;

TEST(SmtpBadInput, PlainTextAfterStartTlsAcceptedFailsTheHandshakeAtOnce) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi")
        .expect("STARTTLS")
        .send("220 go ahead\r\n")
        .silence(200)  // later, so the handshake reads it rather than the reply reader
        .send("this is not a TLS record at all, just text\r\n")
        .silence(3000);
    srv.start();
    Client c;
    c.conn.setStartTls(true);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.connect(srv.port(), "", "", "", 10000));
    // The garbage ends it, not the 10 s read time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(c.log.has("E: Failed to establish TLS connection.")) << c.log.text();
    EXPECT_TRUE(c.log.has("E: Aborting SSL client handshake because of fatal error"));
    EXPECT_FALSE(c.log.hasPrefix("I: CONNECTED"));
}

TEST(SmtpBadInput, ChallengesThatAreNotBase64) {
    {
        // CRAM-MD5 digests whatever the decoder makes of it; the server then refuses.
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH CRAM-MD5\r\n")
            .expectReply("AUTH CRAM-MD5", "334 %%% not base64 ***")
            .expectReply("", "535 Incorrect authentication data").serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port(), "bob", "pw"));
        EXPECT_TRUE(c.log.has("E: Failed to get successful CRAM-MD5 response")) << c.log.text();
        EXPECT_TRUE(c.log.has("I: Failed to login using CRAM-MD5 method"));
        ASSERT_GE(srv.lines().size(), 3u);
        DataBuffer decoded;
        ContentCoding::decodeBase64(srv.lines()[2].data(), srv.lines()[2].size(), decoded);
        std::string response(reinterpret_cast<const char*>(decoded.getData()), decoded.getSize());
        EXPECT_EQ(response.substr(0, 4), "bob ");
        EXPECT_EQ(response.size(), 4u + 32u);
    }
    for (const char* challenge : {"334 ***", "334 !!!!", "334 "}) {
        // NTLM: no usable Type 2, so no Type 3 goes out.
        SCOPED_TRACE(challenge);
        ScriptedSmtpServer srv;
        srv.reply("220 hi").expect("EHLO").send("250 AUTH NTLM\r\n")
            .expectReply("AUTH NTLM", "334 ").expectReply("TlRMTVNTUAAB", challenge).serveRest();
        srv.start();
        Client c;
        EXPECT_FALSE(c.connect(srv.port(), "bob", "pw"));
        EXPECT_TRUE(c.log.has("E: NTLM authentication failed")) << c.log.text();
        EXPECT_TRUE(c.log.has("I: Failed to login using NTLM method"));
        for (size_t i = 3; i < srv.lines().size(); ++i) EXPECT_NE(srv.lines()[i].substr(0, 12), "TlRMTVNTUAAD");
    }
}

}  // namespace
}  // namespace ostmail
