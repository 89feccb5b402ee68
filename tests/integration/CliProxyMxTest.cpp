// The command line's proxy options and its mx command, against dante,
// Exim and dnsmasq.
#include "support/Maildir.h"
#include "support/PythonRun.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostmail {
namespace {

using testsupport::Maildir;
using testsupport::PythonResult;

const std::string kProg = std::string(OSTMAIL_BINARY_DIR) + "/ostmail";

PythonResult run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kProg};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProgram(argv, 70000);
}

TEST(CliProxyMx, MxCommandPrintsBestFirst) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string dns = "127.0.0.1:" + std::to_string(env.port("OSTMAIL_DNS_PORT"));
    PythonResult r = run({"mx", "example.test", "--all", "--dns-server", dns});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "mx2.example.test\nmx1.example.test\n");
    r = run({"mx", "Postmaster <postmaster@example.test>", "--dns-server", dns});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "mx2.example.test\n");

    r = run({"mx", env.get("OSTMAIL_DNS_MISSING_DOMAIN"), "--dns-server", dns});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("dnsQueryError: 9003"), std::string::npos) << r.err;
    r = run({"mx", env.get("OSTMAIL_DNS_CNAME_ONLY_NAME"), "--dns-server", dns});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("has no MX records"), std::string::npos) << r.err;

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"mx"}, {"mx", "example.test", "--dns-server", "dns.test:53"}, {"mx", "a.test", "b.test"}}) {
        r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.back() << "\n" << r.err;
    }
}

TEST(CliProxyMx, SendThroughSocksProxies) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("clisocks");
    std::vector<std::string> base = {"send", "--server", env.get("OSTMAIL_HOST"), "--port",
                                     std::to_string(env.port("OSTMAIL_SMTP_PORT")), "--from", "cli@example.test",
                                     "--to", "socks@example.test"};
    std::string open = "127.0.0.1:" + std::to_string(env.port("OSTMAIL_SOCKS_PORT"));
    std::string auth = "127.0.0.1:" + std::to_string(env.port("OSTMAIL_SOCKS_AUTH_PORT"));
    struct Case {
        std::vector<std::string> proxy;
        int exitCode;
        const char* logLine;
    } cases[] = {
        {{"--socks4", open}, 0, "SOCKS4"},
        {{"--socks5", auth, "--socks-user", env.get("OSTMAIL_SOCKS_USER"), "--socks-password",
          env.get("OSTMAIL_SOCKS_PASSWORD")},
         0, "SOCKS5"},
        {{"--socks5", auth, "--socks-user", env.get("OSTMAIL_SOCKS_USER"), "--socks-password", "wrong"}, 1,
         "SOCKS5 server rejected username/password"},
    };
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    int n = 0;
    for (const Case& c : cases) {
        std::string subject = token + "-" + std::to_string(n++);
        std::vector<std::string> args = base;
        args.insert(args.end(), c.proxy.begin(), c.proxy.end());
        args.insert(args.end(), {"--subject", subject, "--verbose"});
        PythonResult r = run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.logLine), std::string::npos) << r.err;
        if (c.exitCode == 0) EXPECT_FALSE(maildir.waitFor(subject).empty()) << subject;
        else EXPECT_TRUE(maildir.find(subject).empty());
    }
    PythonResult r = run({"send", "--server", "h", "--to", "a@example.test", "--socks5", "proxy:"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
}

}  // namespace
}  // namespace ostmail
