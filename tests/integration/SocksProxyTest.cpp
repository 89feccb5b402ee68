// Connects through the real dante proxy to the real Exim and holds a short
// SMTP conversation through the tunnel. Logins at the proxy are covered by
// the command line's test, which delivers through it.
#include "integration/SocketSession.h"

namespace ostmail::itest {
namespace {

// Greeting, EHLO and QUIT pass the open proxy's tunnel unchanged, both
// versions, to an address and to a name.
TEST(SocksProxy, OpenProxyTunnelsSmtpAndTlsChecksTheTargetsName) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    for (int version : {4, 5}) {
        for (const char* target : {"127.0.0.1", "localhost"}) {
            SCOPED_TRACE(std::to_string(version) + " " + target);
            ClsSocksClient proxy = socksProxy(version, env.port("OSTMAIL_SOCKS_PORT"));
            SocketSession t;
            ASSERT_TRUE(t.connect(target, env.port("OSTMAIL_SMTP_PORT"), false, &proxy)) << t.logText();
            EXPECT_EQ(t.reason, 0u);
            EXPECT_EQ(t.reply().compare(0, 4, "220 "), 0) << t.logText();
            std::string ehlo = t.command("EHLO socks.test");
            EXPECT_EQ(ehlo.compare(0, 4, "250-"), 0) << ehlo << t.logText();
            EXPECT_NE(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
            EXPECT_EQ(t.command("QUIT").substr(0, 4), "221 ");
        }
    }
    // TLS over the tunnel checks the target's name, not the proxy's. A good
    // handshake through a tunnel is tested with TlsExim's STARTTLS test.
    ClsSocksClient proxy4 = socksProxy(4, env.port("OSTMAIL_SOCKS_PORT"));
    SocketSession wrongName;
    wrongName.channel().setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
    wrongName.channel().setRequireVerifiedCert(true);
    EXPECT_FALSE(
        wrongName.connect(env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_WRONGNAME_SMTPS_PORT"), true, &proxy4));
    for (const char* line : {"CERT_E_CN_NO_MATCH", "Status = 0x800b010f",
                             "Failed to establish SSL/TLS channel after SOCKS4 connection.",
                             "Failed to verify server certificate"})
        EXPECT_TRUE(wrongName.logHas(line)) << line << "\n" << wrongName.logText();
    EXPECT_FALSE(wrongName.sock.IsConnected());
}

}  // namespace
}  // namespace ostmail::itest
