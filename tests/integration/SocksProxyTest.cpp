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

    bool open(ClsSocksClient& proxy, const std::string& target, int port) {
        return sock.Connect(target.c_str(), port, false, 0, 5000, &proxy, aborted, reason, log, nullptr);
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

// Greeting, EHLO and QUIT pass the tunnel unchanged.
void talkSmtp(Tunnel& t, bool offersStartTls = true) {
    std::string greeting = t.line();
    EXPECT_EQ(greeting.compare(0, 4, "220 "), 0) << greeting << logText(t.log);
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
    {
        ClsSocksClient proxy = proxyAt(5, env.port("OSTMAIL_SOCKS_PORT"));
        Tunnel t;
        t.sock.tlsChannel().impl()->setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        t.sock.tlsChannel().impl()->setRequireVerifiedCert(true);
        ASSERT_TRUE(t.sock.Connect(env.get("OSTMAIL_TLS_HOST").c_str(), env.port("OSTMAIL_SMTPS_PORT"), true, 0,
                                   5000, &proxy, t.aborted, t.reason, t.log, nullptr))
            << logText(t.log);
        EXPECT_TRUE(t.sock.isTls());
        EXPECT_NE(logText(t.log).find("SSL Server Certificate verified"), std::string::npos) << logText(t.log);
        talkSmtp(t, false);
    }
    {
        ClsSocksClient proxy = proxyAt(4, env.port("OSTMAIL_SOCKS_PORT"));
        Tunnel t;
        t.sock.tlsChannel().impl()->setTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
        t.sock.tlsChannel().impl()->setRequireVerifiedCert(true);
        EXPECT_FALSE(t.sock.Connect(env.get("OSTMAIL_TLS_HOST").c_str(), env.port("OSTMAIL_WRONGNAME_SMTPS_PORT"),
                                    true, 0, 5000, &proxy, t.aborted, t.reason, t.log, nullptr));
        std::string text = logText(t.log);
        EXPECT_NE(text.find("CERT_E_CN_NO_MATCH"), std::string::npos) << text;
        EXPECT_NE(text.find("Failed to establish SSL/TLS channel after SOCKS4 connection."), std::string::npos)
            << text;
        EXPECT_FALSE(t.sock.IsConnected());
    }
}

}  // namespace
}  // namespace ostmail
