// Sends through the real proxies (dante; tinyproxy: one open, one that
// wants a Basic login) to the real Exim, from the manager and the command
// line, and the command line's mx command against dnsmasq. HTTP proxies that
// refuse, babble, hang up or say nothing fail the send with a reason, within
// the time-outs.
#include "integration/EximCheck.h"
#include "smtp/ClsMailMan.h"
#include "support/ScratchDir.h"
#include "support/ScriptedSmtpServer.h"

#include <chrono>
#include <functional>

namespace ostmail::itest {
namespace {

using testsupport::ScriptedSmtpServer;

// The tunnels a proxy has opened so far, from its own log.
size_t tunnelsOpened(const TestEnv& env, const std::string& name) {
    std::string log = Maildir::readFile(env.get("OSTMAIL_SERVERS_DIR") + "/httpproxy/" + name + ".log");
    size_t n = 0;
    for (size_t at = log.find("): CONNECT "); at != std::string::npos; at = log.find("): CONNECT ", at + 1)) ++n;
    return n;
}

// Plain sends through the proxy that wants a login: the API's and the
// command line's tests.
TEST(HttpProxy, SendsThroughTheRealProxyOrFailsWithItsRefusal) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string user = env.get("OSTMAIL_HTTP_PROXY_USER"), pass = env.get("OSTMAIL_HTTP_PROXY_PASSWORD");
    const char *smtp = "OSTMAIL_SMTP_PORT", *smtps = "OSTMAIL_SMTPS_PORT";
    struct Case {
        const char* smtpPort;
        Tls tls;
        bool login;  // the proxy that wants one
        std::string user, password;
        std::vector<std::string> log;  // empty: delivered
    };
    const Case cases[] = {
        {smtp, Tls::StartTls, false, "", "", {}},
        {smtps, Tls::Implicit, false, "", "", {}},
        {smtps, Tls::Implicit, true, user, pass, {}},
        {smtp, Tls::None, true, user, "wrong",
         {"HTTP proxy login failed: HTTP/1.0 401 Unauthorized", "HTTP proxy CONNECT failed."}},
        {smtps, Tls::Implicit, true, "", "",
         {"HTTP proxy CONNECT failed, it needs a login: HTTP/1.0 407 Proxy Authentication Required"}},
        {"OSTMAIL_HTTP_PROXY_REFUSED_PORT", Tls::None, false, "", "",
         {"HTTP proxy CONNECT failed: HTTP/1.0 403 Access violation"}},
    };
    for (const Case& k : cases) {
        const std::string proxy = k.login ? "auth" : "open";
        SCOPED_TRACE(std::string(k.smtpPort) + " TLS " + std::to_string(int(k.tls)) + " " + proxy + " " + k.password);
        VmMailMan mm;
        aimManager(mm, env, k.smtpPort, k.tls);
        mm.put_HttpProxyHostname("127.0.0.1");
        mm.put_HttpProxyPort(env.port(k.login ? "OSTMAIL_HTTP_PROXY_AUTH_PORT" : "OSTMAIL_HTTP_PROXY_PORT"));
        mm.put_HttpProxyUsername(k.user.c_str());
        mm.put_HttpProxyPassword(k.password.c_str());
        size_t before = tunnelsOpened(env, proxy);
        std::string token = Maildir::uniqueToken("httpproxy");
        EXPECT_EQ(sendFromManager(mm, token), k.log.empty()) << mm.lastErrorText();
        std::string log = mm.lastErrorText();
        EXPECT_GT(tunnelsOpened(env, proxy), before) << "the proxy saw no CONNECT";
        expectLines(log, k.log);
        if (!k.password.empty()) expectNoSecret(log, k.user, k.password);
        EXPECT_EQ(has(log, "Failed to connect to SMTP server."), !k.log.empty()) << log;
        bool tls = k.tls != Tls::None && k.log.empty();
        std::string line = arrival(env, token, k.log.empty());
        EXPECT_EQ(has(line, " X=TLS"), tls) << line;
        EXPECT_TRUE(has(log, "SSL Server Certificate verified") || !tls) << log;
    }
}

// The whole request, so that closing never resets unread bytes.
ScriptedSmtpServer& readRequest(ScriptedSmtpServer& s) { return s.expect("CONNECT ").expect("User-Agent").expect(); }

// Peers that are no HTTP proxy at all, or hang up, on the plain and the
// implicit TLS path.
TEST(HttpProxy, BrokenProxyFailsWithinTheTimeOut) {
    using Script = std::function<void(ScriptedSmtpServer&)>;
    const Script silent = [](auto& s) { readRequest(s).silence(8000); };
    const std::string noReply = "Error receiving message from proxy server";
    const struct { Tls tls; Script script; std::string logLine; } cases[] = {
        {Tls::None, [](auto& s) { readRequest(s).send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); },
         "proxyReply: SSH-2.0-OpenSSH_9.2"},
        {Tls::Implicit, [](auto& s) { readRequest(s).send("HTTP/1.1 2OO OK\r\n\r\n220 hi\r\n"); },
         "HTTP proxy CONNECT failed: the reply is not HTTP"},
        {Tls::None, [](auto& s) { readRequest(s).closeNow(); }, noReply},
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
        mm.put_ReadTimeout(2);
        mm.put_HttpProxyHostname("127.0.0.1");
        mm.put_HttpProxyPort(proxy.port());
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(sendFromManager(mm, "never sent"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        expectLines(mm.lastErrorText(), {k.logLine, "HTTP proxy CONNECT failed."});
        ASSERT_FALSE(proxy.lines().empty());
        EXPECT_EQ(proxy.lines()[0], "CONNECT localhost:25 HTTP/1.0");
        EXPECT_FALSE(mm.impl()->isSmtpConnected());
    }
}

// The mx command prints the best exchanger first, then the proxy options.
TEST(CliProxyMx, MxCommandPrintsBestFirstAndSendsGoThroughTheProxies) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    struct Case {
        std::string target, option;
        int exitCode;
        std::string out, err;
    };
    for (const Case& k : {Case{"example.test", "--all", 0, "mx2.example.test\nmx1.example.test\n", ""},
                          Case{"Postmaster <postmaster@example.test>", "", 0, "mx2.example.test\n", ""},
                          Case{env.get("OSTMAIL_DNS_MISSING_DOMAIN"), "", 1, "", "dnsQueryError: 9003"},
                          Case{env.get("OSTMAIL_DNS_CNAME_ONLY_NAME"), "", 1, "", "has no MX records"}}) {
        SCOPED_TRACE(k.target);
        std::vector<std::string> args = {"mx", k.target, "--dns-server", localPort(env, "OSTMAIL_DNS_PORT")};
        if (!k.option.empty()) args.push_back(k.option);
        PythonResult r = cli(args);
        EXPECT_EQ(r.exitCode, k.exitCode) << r.err;
        EXPECT_EQ(r.out, k.out);
        EXPECT_TRUE(has(r.err, k.err)) << r.err;
    }
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"mx"}, {"mx", "example.test", "--dns-server", "dns.test:53"}, {"mx", "a.test", "b.test"}})
        EXPECT_EQ(cli(bad).exitCode, 2) << bad.back();

    // Sends through each proxy; the HTTP proxy and its login from an
    // account file.
    std::string auth = localPort(env, "OSTMAIL_SOCKS_AUTH_PORT"), user = env.get("OSTMAIL_SOCKS_USER");
    testsupport::ScratchDir dir;
    std::string config = dir.write("config", "[default]\nhttp-proxy = " +
                                                 localPort(env, "OSTMAIL_HTTP_PROXY_AUTH_PORT") +
                                                 "\nproxy-user = " + env.get("OSTMAIL_HTTP_PROXY_USER") +
                                                 "\nproxy-password-command = echo '" +
                                                 env.get("OSTMAIL_HTTP_PROXY_PASSWORD") + "'\n");
    struct Send {
        std::vector<std::string> proxy;
        int exitCode;
        const char* logLine;
        std::string user = "", secret = "";  // never in the log
    } sends[] = {
        {{"--socks4", localPort(env, "OSTMAIL_SOCKS_PORT")}, 0, "SOCKS4"},
        {{"--socks5", auth, "--socks-user", user, "--socks-password", env.get("OSTMAIL_SOCKS_PASSWORD")}, 0, "SOCKS5",
         user, env.get("OSTMAIL_SOCKS_PASSWORD")},
        {{"--socks5", auth, "--socks-user", user, "--socks-password", "wrong"}, 1,
         "SOCKS5 server rejected username/password", user, "wrong"},
        {{"--config", config}, 0, "httpProxyPort", env.get("OSTMAIL_HTTP_PROXY_USER"),
         env.get("OSTMAIL_HTTP_PROXY_PASSWORD")},
    };
    for (const Send& c : sends) {
        std::string subject = Maildir::uniqueToken("clisocks");
        PythonResult r = cliSend(env, env.get("OSTMAIL_HOST"), "OSTMAIL_SMTP_PORT", subject, c.proxy);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(has(r.err, c.logLine)) << r.err;
        if (!c.secret.empty()) expectNoSecret(r.err, c.user, c.secret);
        arrival(env, subject, c.exitCode == 0);
    }
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--socks5", "proxy:"}).exitCode, 2);
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--http-proxy", "proxy:0"}).exitCode, 2);
}

}  // namespace
}  // namespace ostmail::itest
