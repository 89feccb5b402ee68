// Connects through the real dante proxy to the real Exim and holds a short
// SMTP conversation through the tunnel. Logins at the proxy are covered by
// the command line's test, which delivers through it.
#include "integration/SocketSession.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using Tunnel = itest::SocketSession;

// Greeting, EHLO and QUIT pass the tunnel unchanged.
void talkSmtp(Tunnel& t) {
    EXPECT_EQ(t.reply().compare(0, 4, "220 "), 0) << t.logText();
    std::string ehlo = t.command("EHLO socks.test");
    EXPECT_EQ(ehlo.compare(0, 4, "250-"), 0) << ehlo << t.logText();
    EXPECT_NE(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
    EXPECT_EQ(t.code("QUIT"), "221");
}

TEST(SocksProxy, OpenProxyBothVersionsByAddressAndName) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    for (int version : {4, 5}) {
        for (const char* target : {"127.0.0.1", "localhost"}) {
            SCOPED_TRACE(std::to_string(version) + " " + target);
            ClsSocksClient proxy = itest::socksProxy(version, env.port("OSTMAIL_SOCKS_PORT"));
            Tunnel t;
            ASSERT_TRUE(t.connect(target, env.port("OSTMAIL_SMTP_PORT"), false, &proxy)) << t.logText();
            EXPECT_EQ(t.reason, 0u);
            talkSmtp(t);
        }
    }
}

// TLS over the tunnel checks the target's name, not the proxy's. A good
// handshake through a tunnel is tested with TlsExim.StartTlsOnThePlainPort.
TEST(SocksProxy, TlsOverTheTunnel) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    ClsSocksClient proxy4 = itest::socksProxy(4, env.port("OSTMAIL_SOCKS_PORT"));
    Tunnel wrongName;
    wrongName.trustTestCa(env);
    EXPECT_FALSE(wrongName.connect(env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_WRONGNAME_SMTPS_PORT"), true, &proxy4));
    EXPECT_TRUE(wrongName.logHas("CERT_E_CN_NO_MATCH")) << wrongName.logText();
    EXPECT_TRUE(wrongName.logHas("Failed to establish SSL/TLS channel after SOCKS4 connection.")) << wrongName.logText();
    EXPECT_TRUE(wrongName.logHas("Failed to verify server certificate")) << wrongName.logText();
    EXPECT_FALSE(wrongName.sock.IsConnected());
}

}  // namespace
}  // namespace ostmail
