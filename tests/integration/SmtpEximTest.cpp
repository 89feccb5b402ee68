// The Linux-native API against the real Exim: each of its settings reaches
// the session. Each login mechanism, and wrong passwords, are checked through
// the command line (MailManTlsEximTest).
#include "integration/EximCheck.h"
#include "ostmail/ostmail.h"

namespace ostmail {
namespace {

using namespace itest;

TEST(SmtpExim, ApiSendsOverStartTlsWithLoginAndReusesTheSession) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    SmtpSettings s;
    s.setHost(env.get("OSTMAIL_TLS_HOST"));
    s.setPort(env.port("OSTMAIL_SMTP_PORT"));
    s.setSecurity(Security::StartTls);
    s.setTrustFile(env.get("OSTMAIL_CA_FILE"));
    s.setRequireValidCertificate(true);
    s.setLogin(env.get("OSTMAIL_SMTP_USER"), env.get("OSTMAIL_SMTP_PASSWORD"), "LOGIN");
    std::string token = Maildir::uniqueToken("api"), token2 = Maildir::uniqueToken("api2");
    std::string bad = env.get("OSTMAIL_SMTP_REJECT_PREFIX") + "-me@example.test";
    Message m;
    m.setFrom("api@example.test", "Api");
    m.addTo("one@example.test");
    m.addBcc("hidden@example.test");
    m.addCc(bad);
    m.setSubject(token);
    // Several TLS records.
    std::string text;
    for (int i = 0; text.size() < 50000; ++i) text += "line " + std::to_string(i) + " of the body\n";
    m.setText(text);
    m.setHtml("<p>hello</p>\n");
    m.attachData("report.csv", "a,b\n1,2\n", "text/comma-separated-values");  // not the name's type
    Session session(s);
    SendResult r = session.send(m);
    ASSERT_TRUE(r.ok()) << r.reason() << "\n" << r.log();
    EXPECT_EQ(r.refused(), std::vector<std::string>{bad});
    EXPECT_EQ(r.accepted(), (std::vector<std::string>{"one@example.test", "hidden@example.test"}));
    EXPECT_EQ(r.smtpStatus(), 250);
    m.setSubject(token2);
    m.setText("");  // HTML alone
    SendResult r2 = session.send(m);
    EXPECT_TRUE(r2.ok()) << r2.reason();
    EXPECT_TRUE(has(r2.log(), "Using existing/open SMTP connection")) << r2.log();
    EXPECT_TRUE(session.close());

    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::vector<std::string> got = maildir.waitForCount(token, 2);
    ASSERT_EQ(got.size(), 2u);
    expectLines(Maildir::readFile(got[0]), {"line 2000 of the body", "text/html"});
    std::string line = arrival(env, token);
    EXPECT_TRUE(has(line, " X=TLS")) << line;
    EXPECT_EQ(authField(line), "A=login:" + env.get("OSTMAIL_SMTP_USER")) << line;
    got = maildir.waitForCount(token2, 2);
    ASSERT_FALSE(got.empty());
    expectLines(Maildir::readFile(got[0]), {"<p>hello</p>", "report.csv", "text/comma-separated-values", "text/html"});

    // Required verification fails against a certificate for another name.
    s.setSecurity(Security::ImplicitTls);
    s.setPort(env.port("OSTMAIL_WRONGNAME_SMTPS_PORT"));
    EXPECT_FALSE(send(s, m).ok());
    // Through the proxies that want a login; then a send the progress callback stops.
    SmtpSettings plain;
    plain.setHost(env.get("OSTMAIL_HOST"));
    plain.setPort(env.port("OSTMAIL_SMTP_PORT"));
    plain.setHttpProxy("127.0.0.1", env.port("OSTMAIL_HTTP_PROXY_AUTH_PORT"), env.get("OSTMAIL_HTTP_PROXY_USER"),
                       env.get("OSTMAIL_HTTP_PROXY_PASSWORD"));
    m.setSubject(token = Maildir::uniqueToken("apiproxy"));
    r = send(plain, m);
    EXPECT_TRUE(r.ok() && has(r.log(), "httpProxyPort")) << r.reason() << "\n" << r.log();
    EXPECT_EQ(maildir.waitForCount(token, 2).size(), 2u);
    SmtpSettings socks = plain;
    socks.setHttpProxy("", 0);
    socks.setSocksProxy("127.0.0.1", env.port("OSTMAIL_SOCKS_AUTH_PORT"), env.get("OSTMAIL_SOCKS_USER"),
                        env.get("OSTMAIL_SOCKS_PASSWORD"));
    r = send(socks, m);
    EXPECT_TRUE(r.ok() && has(r.log(), "socksPort")) << r.reason() << "\n" << r.log();
    int calls = 0;
    r = send(plain, m, [&](int) { return ++calls < 2; });
    EXPECT_EQ(r.reason(), "aborted");
    // Exim honours NOTIFY and ENVID: its success report to the sender quotes
    // the envelope id. (Success reports carry the headers whatever RET says.)
    std::string envid = Maildir::uniqueToken("envid");
    plain.setDsn("SUCCESS", "HDRS", envid);
    m.setSubject(token = Maildir::uniqueToken("apidsn"));
    EXPECT_TRUE(send(plain, m).ok());
    expectLines(Maildir::readFile(maildir.waitFor(envid)),
                {"Original-Envelope-ID: " + envid, "Action: delivered", "Subject: " + token});
}

}  // namespace
}  // namespace ostmail
