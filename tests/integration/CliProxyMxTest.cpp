// The command line's proxy options and its mx command, against dante,
// tinyproxy, Exim and dnsmasq.
#include "integration/EximCheck.h"
#include "support/ScratchDir.h"

namespace ostmail {
namespace {

using namespace itest;

TEST(CliProxyMx, MxCommandPrintsBestFirst) {
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
        PythonResult r = cli(args, 70000);
        EXPECT_EQ(r.exitCode, k.exitCode) << r.err;
        EXPECT_EQ(r.out, k.out);
        EXPECT_TRUE(has(r.err, k.err)) << r.err;
    }
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"mx"}, {"mx", "example.test", "--dns-server", "dns.test:53"}, {"mx", "a.test", "b.test"}})
        EXPECT_EQ(cli(bad).exitCode, 2) << bad.back();
}

TEST(CliProxyMx, SendThroughSocksProxies) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string auth = localPort(env, "OSTMAIL_SOCKS_AUTH_PORT"), user = env.get("OSTMAIL_SOCKS_USER");
    std::string httpAuth = localPort(env, "OSTMAIL_HTTP_PROXY_AUTH_PORT");
    std::string httpUser = env.get("OSTMAIL_HTTP_PROXY_USER");
    std::string echoPassword = "echo '" + env.get("OSTMAIL_HTTP_PROXY_PASSWORD") + "'";
    struct Case {
        std::vector<std::string> proxy;
        int exitCode;
        const char* logLine;
    } cases[] = {
        {{"--socks4", localPort(env, "OSTMAIL_SOCKS_PORT")}, 0, "SOCKS4"},
        {{"--socks5", auth, "--socks-user", user, "--socks-password", env.get("OSTMAIL_SOCKS_PASSWORD")}, 0, "SOCKS5"},
        {{"--socks5", auth, "--socks-user", user, "--socks-password", "wrong"}, 1,
         "SOCKS5 server rejected username/password"},
        {{"--http-proxy", httpAuth, "--proxy-user", httpUser, "--proxy-password-command", echoPassword}, 0,
         "httpProxyPort"},
    };
    for (const Case& c : cases) {
        std::string subject = Maildir::uniqueToken("clisocks");
        std::vector<std::string> args = sendArgs(env.get("OSTMAIL_HOST"), portOf(env, "OSTMAIL_SMTP_PORT"), subject);
        args.insert(args.end(), c.proxy.begin(), c.proxy.end());
        PythonResult r = cli(args, 70000);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(has(r.err, c.logLine)) << r.err;
        expectArrival(env, subject, c.exitCode == 0);
    }
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--socks5", "proxy:"}).exitCode, 2);
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--http-proxy", "proxy:0"}).exitCode, 2);
    // check takes the same route, here with the proxy and its login from an
    // accounts file.
    testsupport::ScratchDir dir;
    std::string config = dir.write("config", "[default]\nhttp-proxy = " + httpAuth + "\nproxy-user = " + httpUser +
                                                 "\nproxy-password-command = " + echoPassword + "\n");
    PythonResult r = cli({"check", "--config", config, "--server", env.get("OSTMAIL_HOST"), "--port",
                          portOf(env, "OSTMAIL_SMTP_PORT"), "--verbose"},
                         70000);
    EXPECT_TRUE(has(r.err, "httpProxyPort")) << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "connection: ok")) << r.out;
}

}  // namespace
}  // namespace ostmail
