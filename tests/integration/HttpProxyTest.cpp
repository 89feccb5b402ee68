// The manager sends through the real HTTP proxies (tinyproxy: one open, one
// that wants a Basic login) to the real Exim; proxies that refuse, babble,
// hang up or say nothing fail the send with a reason, within the time-outs.
#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "integration/EximCheck.h"
#include "smtp/ClsMailMan.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::Maildir;
using testsupport::ScriptedSmtpServer;
using testsupport::TestEnv;

enum class Tls { None, StartTls, Implicit };

void aim(VmMailMan& mm, const TestEnv& env, const char* portKey, Tls tls) {
    mm.put_SmtpHost(env.get(tls == Tls::None ? "OSTMAIL_HOST" : "OSTMAIL_TLS_HOST").c_str());
    mm.put_SmtpPort(env.port(portKey));
    mm.put_SmtpSsl(tls == Tls::Implicit);
    mm.put_StartTLS(tls == Tls::StartTls);
    mm.put_RequireSslCertVerify(tls != Tls::None);
    mm.put_SslTrustFile(env.get("OSTMAIL_CA_FILE").c_str());
    mm.put_ConnectTimeout(5);
    mm.put_ReadTimeout(5);
}

bool send(VmMailMan& mm, const std::string& token) {
    VmEmail email;
    email.put_FromAddress("proxy@example.test");
    EXPECT_TRUE(email.AddTo("", "inbox@example.test"));
    email.put_Subject(token.c_str());
    email.put_Body("through the HTTP proxy\r\n");
    return mm.SendEmail(email);
}

// The tunnels a proxy has opened so far, from its own log.
size_t tunnelsOpened(const TestEnv& env, const char* name) {
    std::string log = Maildir::readFile(env.get("OSTMAIL_SERVERS_DIR") + "/httpproxy/" + name + ".log");
    size_t n = 0;
    for (size_t at = log.find("): CONNECT "); at != std::string::npos; at = log.find("): CONNECT ", at + 1)) ++n;
    return n;
}

TEST(HttpProxy, SendsThroughTheRealProxyOrFailsWithItsRefusal) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    const std::string user = env.get("OSTMAIL_HTTP_PROXY_USER"), pass = env.get("OSTMAIL_HTTP_PROXY_PASSWORD");
    struct Case {
        const char* name;
        const char* smtpPort;
        Tls tls;
        const char* proxy;  // "open" or "auth"
        std::string user, password;
        std::vector<std::string> log;  // empty: delivered
    };
    const Case cases[] = {
        {"plain, open", "OSTMAIL_SMTP_PORT", Tls::None, "open", "", "", {}},
        {"STARTTLS, open", "OSTMAIL_SMTP_PORT", Tls::StartTls, "open", "", "", {}},
        {"implicit TLS, open", "OSTMAIL_SMTPS_PORT", Tls::Implicit, "open", "", "", {}},
        {"plain, login", "OSTMAIL_SMTP_PORT", Tls::None, "auth", user, pass, {}},
        {"STARTTLS, login", "OSTMAIL_SMTP_PORT", Tls::StartTls, "auth", user, pass, {}},
        {"implicit TLS, login", "OSTMAIL_SMTPS_PORT", Tls::Implicit, "auth", user, pass, {}},
        {"wrong password", "OSTMAIL_SMTP_PORT", Tls::None, "auth", user, "wrong",
         {"HTTP proxy login failed: HTTP/1.0 401 Unauthorized", "HTTP proxy CONNECT failed."}},
        {"no login, implicit TLS", "OSTMAIL_SMTPS_PORT", Tls::Implicit, "auth", "", "",
         {"HTTP proxy CONNECT failed, it needs a login: HTTP/1.0 407 Proxy Authentication Required"}},
        {"port not allowed", "OSTMAIL_HTTP_PROXY_REFUSED_PORT", Tls::None, "open", "", "",
         {"HTTP proxy CONNECT failed: HTTP/1.0 403 Access violation"}},
        {"port not allowed, STARTTLS", "OSTMAIL_HTTP_PROXY_REFUSED_PORT", Tls::StartTls, "open", "", "",
         {"HTTP proxy CONNECT failed: HTTP/1.0 403 Access violation"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        bool open = std::string(k.proxy) == "open";
        VmMailMan mm;
        aim(mm, env, k.smtpPort, k.tls);
        mm.put_HttpProxyHostname("127.0.0.1");
        mm.put_HttpProxyPort(env.port(open ? "OSTMAIL_HTTP_PROXY_PORT" : "OSTMAIL_HTTP_PROXY_AUTH_PORT"));
        mm.put_HttpProxyUsername(k.user.c_str());
        mm.put_HttpProxyPassword(k.password.c_str());
        size_t before = tunnelsOpened(env, k.proxy);
        std::string token = Maildir::uniqueToken("httpproxy");
        bool sent = send(mm, token);
        std::string log = mm.lastErrorText();
        EXPECT_EQ(sent, k.log.empty()) << log;
        EXPECT_GT(tunnelsOpened(env, k.proxy), before) << "the proxy saw no CONNECT";
        for (const std::string& line : k.log) EXPECT_TRUE(has(log, line)) << line << "\n" << log;
        if (!k.log.empty()) {
            EXPECT_TRUE(maildir.find(token).empty());
            EXPECT_TRUE(has(log, "Failed to connect to SMTP server.")) << log;
            continue;
        }
        std::string line = arrival(env, token);
        EXPECT_EQ(has(line, " X=TLS"), k.tls != Tls::None) << line;
        EXPECT_TRUE(has(log, "SSL Server Certificate verified") || k.tls == Tls::None) << log;
    }
}

// The whole request, so that closing never resets unread bytes.
ScriptedSmtpServer& readRequest(ScriptedSmtpServer& s) { return s.expect("CONNECT ").expect("User-Agent").expect(); }

// Peers that are no HTTP proxy at all, on the plain and on both TLS paths.
TEST(HttpProxy, BrokenProxyFailsWithinTheTimeOut) {
    struct Case {
        const char* name;
        Tls tls;
        std::function<void(ScriptedSmtpServer&)> script;
        const char* logLine;
    };
    const Case cases[] = {
        {"babbles", Tls::None, [](auto& s) { readRequest(s).send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); },
         "proxyReply: SSH-2.0-OpenSSH_9.2"},
        {"babbles, implicit TLS", Tls::Implicit,
         [](auto& s) { readRequest(s).send("HTTP/1.1 2OO OK\r\n\r\n220 hi\r\n"); },
         "HTTP proxy CONNECT failed: the reply is not HTTP"},
        {"hangs up", Tls::StartTls, [](auto& s) { readRequest(s).closeNow(); },
         "Error receiving message from proxy server"},
        {"never answers", Tls::None, [](auto& s) { readRequest(s).silence(8000); },
         "Error receiving message from proxy server"},
        {"never answers, implicit TLS", Tls::Implicit, [](auto& s) { readRequest(s).silence(8000); },
         "Error receiving message from proxy server"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
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
        EXPECT_FALSE(send(mm, "never sent"));
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(secs.count(), 5);
        std::string log = mm.lastErrorText();
        EXPECT_TRUE(has(log, k.logLine)) << log;
        EXPECT_TRUE(has(log, "HTTP proxy CONNECT failed.")) << log;
        ASSERT_FALSE(proxy.lines().empty());
        EXPECT_EQ(proxy.lines()[0], "CONNECT localhost:25 HTTP/1.0");
        EXPECT_FALSE(mm.impl()->isSmtpConnected());
    }
}

}  // namespace
}  // namespace ostmail
