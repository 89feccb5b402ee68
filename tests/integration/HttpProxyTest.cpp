// The manager sends through the real HTTP proxies (tinyproxy: one open, one
// that wants a Basic login) to the real Exim; proxies that refuse, babble,
// hang up or say nothing fail the send with a reason, within the time-outs.
#include "integration/EximCheck.h"
#include "smtp/ClsMailMan.h"
#include "support/ScriptedSmtpServer.h"

#include <chrono>
#include <functional>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::ScriptedSmtpServer;

// The tunnels a proxy has opened so far, from its own log.
size_t tunnelsOpened(const TestEnv& env, const std::string& name) {
    std::string log = Maildir::readFile(env.get("OSTMAIL_SERVERS_DIR") + "/httpproxy/" + name + ".log");
    size_t n = 0;
    for (size_t at = log.find("): CONNECT "); at != std::string::npos; at = log.find("): CONNECT ", at + 1)) ++n;
    return n;
}

TEST(HttpProxy, SendsThroughTheRealProxyOrFailsWithItsRefusal) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string user = env.get("OSTMAIL_HTTP_PROXY_USER"), pass = env.get("OSTMAIL_HTTP_PROXY_PASSWORD");
    const std::string forbidden = "HTTP proxy CONNECT failed: HTTP/1.0 403 Access violation";
    const char *smtp = "OSTMAIL_SMTP_PORT", *smtps = "OSTMAIL_SMTPS_PORT";
    const char* refused = "OSTMAIL_HTTP_PROXY_REFUSED_PORT";
    struct Case {
        const char* smtpPort;
        Tls tls;
        bool login;  // the proxy that wants one
        std::string user, password;
        std::vector<std::string> log;  // empty: delivered
    };
    const Case cases[] = {
        {smtp, Tls::None, false, "", "", {}},
        {smtp, Tls::StartTls, false, "", "", {}},
        {smtps, Tls::Implicit, false, "", "", {}},
        {smtp, Tls::None, true, user, pass, {}},
        {smtps, Tls::Implicit, true, user, pass, {}},
        {smtp, Tls::None, true, user, "wrong",
         {"HTTP proxy login failed: HTTP/1.0 401 Unauthorized", "HTTP proxy CONNECT failed."}},
        {smtps, Tls::Implicit, true, "", "",
         {"HTTP proxy CONNECT failed, it needs a login: HTTP/1.0 407 Proxy Authentication Required"}},
        {refused, Tls::None, false, "", "", {forbidden}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.smtpPort) + ", TLS mode " + std::to_string(int(k.tls)) +
                     (k.login ? ", login " : ", open ") + k.password);
        const std::string proxy = k.login ? "auth" : "open";
        VmMailMan mm;
        aimManager(mm, env, k.smtpPort, k.tls);
        mm.put_HttpProxyHostname("127.0.0.1");
        mm.put_HttpProxyPort(env.port(k.login ? "OSTMAIL_HTTP_PROXY_AUTH_PORT" : "OSTMAIL_HTTP_PROXY_PORT"));
        mm.put_HttpProxyUsername(k.user.c_str());
        mm.put_HttpProxyPassword(k.password.c_str());
        size_t before = tunnelsOpened(env, proxy);
        std::string token = Maildir::uniqueToken("httpproxy");
        VmEmail email;
        fillEmail(email, "proxy@example.test", token);
        EXPECT_EQ(mm.SendEmail(email), k.log.empty()) << mm.lastErrorText();
        std::string log = mm.lastErrorText();
        EXPECT_GT(tunnelsOpened(env, proxy), before) << "the proxy saw no CONNECT";
        expectLines(log, k.log);
        EXPECT_EQ(has(log, "Failed to connect to SMTP server."), !k.log.empty()) << log;
        bool tls = k.tls != Tls::None && k.log.empty();
        std::string line = expectArrival(env, token, k.log.empty());
        EXPECT_EQ(has(line, " X=TLS"), tls) << line;
        EXPECT_TRUE(has(log, "SSL Server Certificate verified") || !tls) << log;
    }
}

// The whole request, so that closing never resets unread bytes.
ScriptedSmtpServer& readRequest(ScriptedSmtpServer& s) { return s.expect("CONNECT ").expect("User-Agent").expect(); }

// Peers that are no HTTP proxy at all, on the plain and on both TLS paths.
TEST(HttpProxy, BrokenProxyFailsWithinTheTimeOut) {
    using Script = std::function<void(ScriptedSmtpServer&)>;
    const Script silent = [](auto& s) { readRequest(s).silence(8000); };
    const std::string noReply = "Error receiving message from proxy server";
    const struct { Tls tls; Script script; std::string logLine; } cases[] = {
        {Tls::None, [](auto& s) { readRequest(s).send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); },
         "proxyReply: SSH-2.0-OpenSSH_9.2"},
        {Tls::Implicit, [](auto& s) { readRequest(s).send("HTTP/1.1 2OO OK\r\n\r\n220 hi\r\n"); },
         "HTTP proxy CONNECT failed: the reply is not HTTP"},
        {Tls::StartTls, [](auto& s) { readRequest(s).closeNow(); }, noReply},
        {Tls::None, silent, noReply},
        {Tls::Implicit, silent, noReply},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE("tls " + std::to_string(int(k.tls)) + ", " + k.logLine);
        ScriptedSmtpServer proxy;
        k.script(proxy);
        proxy.start();
        VmMailMan mm;
        mm.put_SmtpHost("localhost");
        mm.put_SmtpPort(25);
        mm.put_SmtpSsl(k.tls == Tls::Implicit);
        mm.put_StartTLS(k.tls == Tls::StartTls);
        mm.put_ReadTimeout(2);
        mm.put_HttpProxyHostname("127.0.0.1");
        mm.put_HttpProxyPort(proxy.port());
        auto start = std::chrono::steady_clock::now();
        VmEmail email;
        fillEmail(email, "proxy@example.test", "never sent");
        EXPECT_FALSE(mm.SendEmail(email));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        expectLines(mm.lastErrorText(), {k.logLine, "HTTP proxy CONNECT failed."});
        ASSERT_FALSE(proxy.lines().empty());
        EXPECT_EQ(proxy.lines()[0], "CONNECT localhost:25 HTTP/1.0");
        EXPECT_FALSE(mm.impl()->isSmtpConnected());
    }
}

}  // namespace
}  // namespace ostmail
