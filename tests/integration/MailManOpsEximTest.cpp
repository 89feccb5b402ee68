// The manager's operations beside SendEmail against Exim: pre-rendered
// sends to envelope lists, rendering without sending, and the connection
// and login checks over each transport, from the manager and the command line.
#include "integration/EximCheck.h"

namespace ostmail {
namespace {

using namespace itest;

// The rendered text goes out byte for byte: what arrives for each envelope
// recipient (never named in the header) holds the same header and body.
TEST(MailManOpsExim, RenderedTextGoesUnchangedToEveryEnvelopeRecipient) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    VmMailMan mm;
    aimManager(mm, env, "OSTMAIL_SMTP_PORT", Tls::None);
    for (bool asList : {false, true}) {
        SCOPED_TRACE(asList ? "SendMimeToList" : "SendMime");
        std::string token = Maildir::uniqueToken("sendmime");
        VmEmail email;
        email.put_FromAddress("mime@example.test");
        email.AddTo("", "header-only@example.test");
        email.put_Subject(token.c_str());
        email.put_Body("pre-rendered body line");
        const char* rendered = mm.renderToMime(email);
        ASSERT_NE(rendered, nullptr) << mm.lastErrorText();
        std::string mime = std::string(rendered) + "\r\n.leading dot\r\n";  // unstuffed again by the server
        ASSERT_TRUE(has(mime, "Subject: " + token)) << mime;
        const char* from = "env@example.test";
        bool ok = asList ? mm.SendMimeToList(from, {"list1@example.test", "list2@example.test"}, mime.c_str())
                         : mm.SendMime(from, " list1@example.test ,list2@example.test,", mime.c_str());
        ASSERT_TRUE(ok) << mm.lastErrorText();
        EXPECT_TRUE(has(mm.lastSmtpReply(), "250")) << mm.lastSmtpReply();
        std::vector<std::string> got = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2);
        ASSERT_EQ(got.size(), 2u);
        for (const std::string& path : got)
            expectLines(Maildir::readFile(path),
                        {"Return-path: <env@example.test>", "Envelope-to: list", "pre-rendered body line", "\n.leading dot\n"});
    }
    // Every recipient refused: false, and the refusal is the last reply.
    EXPECT_FALSE(mm.SendMime("env@example.test", "reject-me@example.test", "Subject: x\r\n\r\nx\r\n"));
    EXPECT_TRUE(has(mm.lastErrorText(), "SendMime"));
}

// The manager's connection and login checks over each transport, through
// ostmail check, which also prints what the server offers.
TEST(MailManOpsExim, VerifyAndCheckConnectAndLogInOverEachTransport) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const char *smtp = "OSTMAIL_SMTP_PORT", *smtps = "OSTMAIL_SMTPS_PORT", *closed = "OSTMAIL_CLOSED_PORT";
    struct Case {
        const char* port;
        Tls tls;
        std::string user, password;
        bool connects, logsIn;
        std::string tlsLine, lastLine;  // of ostmail check
    };
    for (const Case& k :
         {Case{smtp, Tls::None, "", "", true, false, "TLS: STARTTLS offered", "connection: ok (login not checked)"},
          Case{smtp, Tls::None, user, pass, true, true, "TLS: STARTTLS offered", "login: ok"},
          Case{smtp, Tls::StartTls, user, pass, true, true, "TLS: STARTTLS (in use)", "login: ok"},
          Case{smtp, Tls::StartTls, "", "", true, false, "TLS: STARTTLS (in use)", "connection: ok"},
          Case{smtps, Tls::Implicit, "", "", true, false, "TLS: implicit TLS", "connection: ok"},
          Case{smtps, Tls::Implicit, user, pass, true, true, "TLS: implicit TLS", "login: ok"},
          Case{smtps, Tls::Implicit, user, "wrong", true, false, "TLS: implicit TLS", ""},
          Case{closed, Tls::None, user, pass, false, false, "", ""},
          Case{closed, Tls::None, "", "", false, false, "", ""}}) {
        SCOPED_TRACE(std::string(k.port) + ", TLS mode " + std::to_string(int(k.tls)) + ", user '" + k.user +
                     "', password '" + k.password + "'");
        std::vector<std::string> args = {"check", "--server", env.get("OSTMAIL_TLS_HOST"), "--ca-file",
                                         env.get("OSTMAIL_CA_FILE"), "--port", portOf(env, k.port), "--verbose"};
        if (k.tls != Tls::None) args.push_back(k.tls == Tls::Implicit ? "--ssl" : "--starttls");
        if (!k.user.empty()) args.insert(args.end(), {"--user", k.user, "--password", k.password});
        PythonResult r = cli(args, 30000);
        bool ok = k.user.empty() ? k.connects : k.logsIn;
        EXPECT_EQ(r.exitCode, ok ? 0 : 1) << r.out << r.err;
        EXPECT_EQ(has(r.out, "AUTH: PLAIN LOGIN CRAM-MD5 NTLM\nDSN: yes\nSIZE: "), k.connects) << r.out;
        EXPECT_EQ(has(r.out, "ok"), ok) << r.out;
        expectLines(r.out, {k.tlsLine, k.lastLine});
        // The manager's log, with what each check leaves out.
        expectLines(r.err, k.user.empty() ? std::vector<std::string>{"This does not check the login/password.",
                                                                      "Skipping SMTP authentication"}
                                          : std::vector<std::string>{"VerifySmtpLogin"});
    }
    VmMailMan mm;
    aimManager(mm, env, smtp, Tls::None);
    for (auto [u, p, why] : {std::tuple<const char*, const char*, const char*>{"", "x", "SMTP username is empty."},
                             {"u", "", "SMTP password is empty."}}) {
        mm.put_SmtpUsername(u);
        mm.put_SmtpPassword(p);
        EXPECT_FALSE(mm.VerifySmtpLogin());
        EXPECT_TRUE(has(mm.lastErrorText(), why)) << mm.lastErrorText();
    }
}

}  // namespace
}  // namespace ostmail
