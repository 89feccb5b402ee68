// The modern transport against the test Exim: IPv6 literals and names
// looked up through the system's resolver (dnsmasq), the connect race's
// fallback to IPv4, and bad server names; Exim's own log says where the
// message came from.
#include "integration/EximCheck.h"
#include "support/DelayRelay.h"
#include "support/MailCheck.h"
#include "support/TestSockets.h"

#include <chrono>

namespace ostmail::itest {
namespace {

using testsupport::sock::Listener6;

// Runs the rest with the test resolver in place of the system's, in a
// mount namespace of its own.
std::vector<std::string> withTestResolver(const TestEnv& env) {
    return {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
            env.get("OSTMAIL_RESOLV_CONF")};
}

// And with no host name at all, in a UTS namespace of its own.
std::vector<std::string> withoutHostName() {
    return {"unshare", "--uts", "python3", "-c",
            "import os, socket, sys; socket.sethostname(''); os.execv(sys.argv[1], sys.argv[1:])"};
}

// ostmail send to each spelling of ::1, to a name with only AAAA, to a
// name with both whose IPv6 address never answers (a listener with a full
// queue on the port Exim serves on 127.0.0.1 alone), and to ::1 through
// dante and tinyproxy. Exim's arrival line names the peer's address and
// what the client said in EHLO; the log names the family of the first hop.
TEST(TransportExim, CommandLineReachesIpv6AndFallsBackToIpv4) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    Listener6 stuck(static_cast<uint16_t>(env.port("OSTMAIL_SMTP_V4ONLY_PORT")), true);
    ASSERT_NE(stuck.port, 0);
    const struct {
        std::string host;
        const char* portKey;
        std::vector<std::string> prefix;
        std::string family, peer;
        std::vector<std::string> more = {};
    } cases[] = {
        {"::1", "OSTMAIL_SMTP_PORT", {}, "IPv6", "[::1] "},
        {"[::1]", "OSTMAIL_SMTP_PORT", {}, "IPv6", "[::1] "},
        // The bare address is the TLS name: no SNI with brackets for the server to refuse.
        {"[IPv6:::1]", "OSTMAIL_SMTPS_PORT", {}, "IPv6", "[::1] ", {"--ssl"}},
        {"[IPv6:::1]", "OSTMAIL_SMTP_PORT", withoutHostName(), "IPv6", "H=([IPv6:::1]) [::1] "},
        {"127.0.0.1", "OSTMAIL_SMTP_PORT", withoutHostName(), "IPv4", "H=([127.0.0.1]) [127.0.0.1] "},
        {env.get("OSTMAIL_DNS_V6ONLY_NAME"), "OSTMAIL_SMTP_PORT", withTestResolver(env), "IPv6", "[::1] "},
        {env.get("OSTMAIL_DNS_DUAL_NAME"), "OSTMAIL_SMTP_V4ONLY_PORT", withTestResolver(env), "IPv4", "[127.0.0.1] ",
         {"--connect-timeout", "20"}},
        // Through the proxies to an IPv6 target: SOCKS5 address type 4, CONNECT [::1]:port.
        {"::1", "OSTMAIL_SMTP_PORT", {}, "IPv4", "[::1] ", {"--socks5", localPort(env, "OSTMAIL_SOCKS_PORT")}},
        {"[::1]", "OSTMAIL_SMTP_PORT", {}, "IPv4", "[::1] ",
         {"--http-proxy", localPort(env, "OSTMAIL_HTTP_PROXY_PORT")}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.host + " " + k.portKey);
        std::string token = Maildir::uniqueToken("six");
        // The test certificate names 127.0.0.1 and localhost, not ::1.
        std::vector<std::string> more = k.more;
        more.push_back(has(k.portKey, "SMTPS") ? "--insecure" : "--no-tls");
        PythonResult r = cliSend(env, k.host, k.portKey, token, more, k.prefix);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "addressFamily: " + k.family)) << r.err;
        std::string line = arrival(env, token);
        EXPECT_TRUE(has(line, k.peer)) << line;
    }
}

// Bad server names are refused with a reason before anything is sent; the
// manager keeps IPv4 alone unless asked, so ::1 reaches Exim only then.
TEST(TransportExim, BadServerNamesAndTheManagerSwitch) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const struct {
        std::string host, reason;
    } bad[] = {
        {"[::1", "the address literal has no closing ']'"},
        {"[IPv6:zz]", "not a valid IPv6 address literal"},
        {"1.2.3.4.5", "not a valid IPv4 address"},
    };
    for (const auto& k : bad) {
        SCOPED_TRACE(k.host);
        std::string token = Maildir::uniqueToken("badname");
        PythonResult r = cliSend(env, k.host, "OSTMAIL_SMTP_PORT", token, {});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        expectLines(r.err, {"invalid server name", "reason: " + k.reason}, {"InitialResponse"});
        arrival(env, token, false);
    }
    std::string token = Maildir::uniqueToken("mansix");
    for (bool dual : {false, true}) {
        VmMailMan mm;
        aimManager(mm, env, "OSTMAIL_SMTP_PORT", Tls::None);
        mm.put_SmtpHost("::1");
        EXPECT_FALSE(mm.get_DualStack());
        mm.put_DualStack(dual);
        EXPECT_EQ(sendFromManager(mm, token), dual) << mm.lastErrorText();
    }
    EXPECT_TRUE(has(arrival(env, token), "[::1] "));
}

// Pipelined through the command line: a refused recipient among accepted
// ones is named and the others get the message; Exim sees no
// synchronisation fault.
TEST(TransportExim, PipelinedVerdictsAgainstExim) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string reject = env.get("OSTMAIL_SMTP_REJECT_PREFIX");
    std::string token = Maildir::uniqueToken("pipe");
    PythonResult r = cliSend(env, env.get("OSTMAIL_HOST"), "OSTMAIL_SMTP_PORT", token,
                             {"--to", reject + "-one@example.test", "--cc", "copy@example.test"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectLines(r.err, {"Failed when sending RCPT TO:<" + reject + "-one@example.test>", "cc: copy@example.test",
                        "Mail sent to 2 recipients"});
    EXPECT_TRUE(has(arrival(env, token), "for inbox@example.test copy@example.test")) << arrival(env, token);

    EXPECT_FALSE(has(Maildir::readFile(env.get("OSTMAIL_EXIM_LOG")), "synchronization error"));
}

// UTF-8 local parts and domains through the command line: to the Exim that
// offers SMTPUTF8 they arrive as they are (Python reads the To field and
// the envelope back); to the port without it the domain arrives in A-labels
// and a UTF-8 local part is refused with the reason, nothing sent.
TEST(TransportExim, InternationalAddressesWithAndWithoutSmtpUtf8) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const struct {
        const char* portKey;
        std::string to;
        int exitCode;
        std::string envelope, reason = "";
    } cases[] = {
        {"OSTMAIL_SMTP_PORT", "jörg@müller.de", 0, "jörg@müller.de"},
        {"OSTMAIL_SMTP_PORT", "用户@例子.广告", 0, "用户@例子.广告"},
        {"OSTMAIL_SMTP_NO_UTF8_PORT", "inbox@müller.de", 0, "inbox@xn--mller-kva.de"},
        {"OSTMAIL_SMTP_NO_UTF8_PORT", "jörg@müller.de", 1, "", "the server does not offer SMTPUTF8"},
        {"OSTMAIL_SMTP_NO_UTF8_PORT", "a@☃.de", 1, "", "not a valid international domain name"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.to + " " + k.portKey);
        std::string token = Maildir::uniqueToken("intl");
        PythonResult r = testsupport::runProgram(
            {std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "send", "--server", env.get("OSTMAIL_HOST"), "--port",
             portOf(env, k.portKey), "--from", "cli@example.test", "--to", k.to, "--subject", token, "--body", "x",
             "--verbose", "--no-tls"});
        EXPECT_EQ(r.exitCode, k.exitCode) << r.err;
        if (k.exitCode) {
            expectLines(r.err, {"Failed to send to <" + k.to + ">: " + k.reason}, {"Sent DATA terminator"});
            arrival(env, token, false);
            continue;
        }
        std::string path = Maildir(env.get("OSTMAIL_MAILDIR")).waitFor(token);
        testsupport::MailCheck m;
        ASSERT_TRUE(m.loadFile(path)) << m.error();
        EXPECT_EQ(m.get("header.envelope-to"), k.envelope) << m.dump();
        EXPECT_EQ(m.get("to.0.addr"), k.to) << m.dump();
    }
}

// Over a link with 25 ms each way, 20 recipients cost about what one does:
// their RCPTs share the one round trip of the envelope.
TEST(TransportExim, TwentyRecipientsCostAboutOneOverASlowLink) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::DelayRelay relay(static_cast<uint16_t>(env.port("OSTMAIL_SMTP_PORT")), 25);
    auto timeSend = [&](int recipients) {
        std::vector<std::string> args = {std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "send", "--server",
                                         "127.0.0.1", "--port", std::to_string(relay.port()), "--from",
                                         "cli@example.test", "--subject", Maildir::uniqueToken("rtt"), "--body", "x",
                                         "--no-tls"};
        for (int i = 0; i < recipients; ++i)
            args.insert(args.end(), {"--to", "r" + std::to_string(i) + "@example.test"});
        auto best = std::chrono::steady_clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            auto start = std::chrono::steady_clock::now();
            PythonResult r = testsupport::runProgram(args);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            best = std::min(best, std::chrono::steady_clock::now() - start);
        }
        return std::chrono::duration<double>(best).count();
    };
    double one = timeSend(1), twenty = timeSend(20);
    EXPECT_LE(twenty, 1.3 * one) << "1 recipient: " << one << " s, 20: " << twenty << " s";
    RecordProperty("ratio", std::to_string(twenty / one));
}

}  // namespace
}  // namespace ostmail::itest
