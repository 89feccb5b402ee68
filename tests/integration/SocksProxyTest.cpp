// Connects through the real dante proxy to the real Exim and holds a short
// SMTP conversation through the tunnel. Logins at the proxy are covered by
// the command line's test, which delivers through it.
#include "core/Logger.h"
#include "net/ClsSocksClient.h"
#include "net/Socket2.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

std::string logText(Logger& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

struct Tunnel {
    Socket2 sock;
    Logger log;
    bool aborted = false;
    uint32_t reason = 99;

    bool open(ClsSocksClient& proxy, const std::string& target, int port, bool tls = false) {
        return sock.Connect(target.c_str(), port, tls, 0, 5000, &proxy, aborted, reason, log, nullptr);
    }
    // TLS to the target requires its certificate to verify against the test CA.
    void trust(const testsupport::TestEnv& env) {
        sock.tlsChannel().impl()->setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        sock.tlsChannel().impl()->setRequireVerifiedCert(true);
    }
    bool openTls(ClsSocksClient& proxy, const testsupport::TestEnv& env, const char* portKey) {
        trust(env);
        return open(proxy, env.get("OSTMAIL_TLS_HOST"), env.port(portKey), true);
    }
    std::string line() {
        StringBuffer sb;
        SocketFlags flags;
        sock.ReceiveUntilMatch("\r\n", sb, 0, 5000, flags, log, nullptr);
        return sb.toStdString();
    }
    // The reply's lines up to and including the last ("250 ...").
    std::string reply() {
        std::string all, l;
        do {
            l = line();
            all += l;
        } while (l.size() > 4 && l[3] == '-');
        return all;
    }
    bool say(const std::string& cmd) {
        StringBuffer sb(cmd.c_str());
        return sock.SendString(sb, 2048, 0, 5000, log, nullptr);
    }
};

ClsSocksClient proxyAt(int version, int port) {
    ClsSocksClient p;
    p.setSocksVersion(version);
    p.setPort(port);
    p.hostname().setFromUtf8("127.0.0.1");
    return p;
}

// Greeting (unless already read), EHLO and QUIT pass the tunnel unchanged.
void talkSmtp(Tunnel& t, bool offersStartTls = true, bool greeting = true) {
    EXPECT_TRUE(!greeting || t.line().compare(0, 4, "220 ") == 0) << logText(t.log);
    ASSERT_TRUE(t.say("EHLO socks.test\r\n")) << logText(t.log);
    std::string ehlo = t.reply();
    EXPECT_EQ(ehlo.compare(0, 4, "250-"), 0) << ehlo;
    EXPECT_EQ(ehlo.find("STARTTLS") != std::string::npos, offersStartTls) << ehlo;
    ASSERT_TRUE(t.say("QUIT\r\n"));
    EXPECT_EQ(t.line().compare(0, 4, "221 "), 0);
}

TEST(SocksProxy, OpenProxyBothVersionsByAddressAndName) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int smtp = env.port("OSTMAIL_SMTP_PORT");
    for (int version : {4, 5}) {
        for (const char* target : {"127.0.0.1", "localhost"}) {
            SCOPED_TRACE(std::to_string(version) + " " + target);
            ClsSocksClient proxy = proxyAt(version, env.port("OSTMAIL_SOCKS_PORT"));
            Tunnel t;
            ASSERT_TRUE(t.open(proxy, target, smtp)) << logText(t.log);
            EXPECT_EQ(t.reason, 0u);
            talkSmtp(t);
        }
    }
}

// TLS runs over the tunnel and checks the target's name, not the proxy's.
TEST(SocksProxy, TlsOverTheTunnel) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    ClsSocksClient proxy5 = proxyAt(5, env.port("OSTMAIL_SOCKS_PORT"));
    Tunnel good;
    ASSERT_TRUE(good.openTls(proxy5, env, "OSTMAIL_SMTPS_PORT")) << logText(good.log);
    EXPECT_TRUE(good.sock.isTls());
    EXPECT_NE(logText(good.log).find("SSL Server Certificate verified"), std::string::npos) << logText(good.log);
    talkSmtp(good, false);

    ClsSocksClient proxy4 = proxyAt(4, env.port("OSTMAIL_SOCKS_PORT"));
    Tunnel wrongName;
    EXPECT_FALSE(wrongName.openTls(proxy4, env, "OSTMAIL_WRONGNAME_SMTPS_PORT"));
    std::string text = logText(wrongName.log);
    EXPECT_NE(text.find("CERT_E_CN_NO_MATCH"), std::string::npos) << text;
    EXPECT_NE(text.find("Failed to establish SSL/TLS channel after SOCKS4 connection."), std::string::npos) << text;
    EXPECT_FALSE(wrongName.sock.IsConnected());

    // STARTTLS on the plain port, inside a SOCKS4 tunnel.
    Tunnel upgraded;
    upgraded.trust(env);
    ASSERT_TRUE(upgraded.open(proxy4, env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_SMTP_PORT")));
    EXPECT_EQ(upgraded.line().compare(0, 4, "220 "), 0);
    ASSERT_TRUE(upgraded.say("EHLO socks.test\r\n"));
    EXPECT_NE(upgraded.reply().find("STARTTLS"), std::string::npos);
    ASSERT_TRUE(upgraded.say("STARTTLS\r\n"));
    EXPECT_EQ(upgraded.line().compare(0, 4, "220 "), 0);
    ASSERT_TRUE(upgraded.sock.ConvertToTls(0, 5000, upgraded.log, nullptr)) << logText(upgraded.log);
    EXPECT_NE(logText(upgraded.log).find("SSL Server Certificate verified"), std::string::npos);
    talkSmtp(upgraded, false, false);
}

}  // namespace
}  // namespace ostmail
