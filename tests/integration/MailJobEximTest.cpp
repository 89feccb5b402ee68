// The public APIs (the mail job and the Linux-native one) and the command
// line against the real MTA: what arrives in the Maildir is read back with
// Python's email package. Each login mechanism, and wrong passwords, are
// checked in MailManEximTest. Then many mail jobs at
// once, each on its own thread with its own CMailObj: every message must
// arrive whole, and no Message-ID or boundary may repeat across threads
// (built into the ThreadSanitizer tree as well, where a data race fails the run).
#include "integration/EximCheck.h"
#include "ostmail/ostmail.h"
#include "smtp/SmtpSecurity.h"
#include "smtp/SmtpTestSupport.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

#include <cstdlib>
#include <set>
#include <thread>

namespace ostmail::itest {
namespace {

using smtptest::xs;
using testsupport::MailCheck;

// Waits for one copy per recipient; the envelope recipients they were
// delivered to, and the first copy as Python reads it.
std::set<std::string> deliveries(const TestEnv& env, const std::string& token, size_t count, MailCheck& first) {
    std::set<std::string> seen;
    std::vector<std::string> paths = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, count);
    for (const std::string& p : paths) {
        MailCheck m;
        if (m.loadFile(p)) seen.insert(m.get("header.envelope-to"));
    }
    EXPECT_EQ(paths.size(), count) << "one delivered copy per recipient";
    EXPECT_TRUE(!paths.empty() && first.loadFile(paths[0])) << first.error();
    return seen;
}

// The mail job over implicit TLS with a login (the certificate is not
// checked: the job has no trust setting), to a list and a Cc, with two
// attachments. Text in two scripts, punctuation, the euro sign and an emoji
// is handed over in the locale's charset and arrives whole.
TEST(MailJobExim, DoMailOverTlsDeliversEveryCharacterToCcAndAttachmentsByteExact) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    setenv("LC_ALL", "C.UTF-8", 1);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("domail");
    std::string user = env.get("OSTMAIL_SMTP_USER");
    // Every byte value, then a run that base64 lines must break cleanly.
    std::string bin;
    for (int i = 0; i < 256; ++i) bin.push_back(static_cast<char>(i));
    for (int i = 0; i < 5000; ++i) bin.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    // Text travels as lines, and the Maildir stores them with LF ends.
    const std::string notes = "first line\n.second line starts with a dot\n";
    const std::string text = "Привет, мир こんにちは \xE2\x80\x94 \xE2\x80\x9C\xE2\x80\x9D \xE2\x80\x98\xE2\x80\x99"
                             "\xE2\x80\xA6 \xE2\x82\xAC" "5 \xF0\x9F\x98\x80";  // — “” ‘’… €5 😀

    CMailObj m;
    aimJob(m, env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_SMTPS_PORT"), true, user, env.get("OSTMAIL_SMTP_PASSWORD"),
           token);
    m.SetSender(L"Report Job");
    m.SetRecipAddr(L"one@example.test; two@example.test;");
    m.SetRecipCC(L"three@example.test");
    m.SetAttachment(wide(dir.write(token + "-data.bin", bin)) + L";" + wide(dir.write(token + "-notes.txt", notes)));
    m.SetSubject(xs(text).getWide());
    m.SetBody(xs(token + "\r\n." + text).getWide());
    ASSERT_EQ(m.DoMail(), 0);

    std::string line = arrival(env, token);
    EXPECT_TRUE(has(line, " X=TLS")) << line;
    EXPECT_EQ(authField(line), "A=login:" + user) << line;
    MailCheck mc;
    EXPECT_EQ(deliveries(env, token, 3, mc),
              (std::set<std::string>{"one@example.test", "two@example.test", "three@example.test"}));
    const std::pair<const char*, std::string> fields[] = {
        {"header.return-path", "<job@example.test>"}, {"subject", text}, {"body", token + "\n." + text},
        {"body.charset", "utf-8"}, {"from.0.name", "Report Job"}, {"from.0.addr", "job@example.test"},
        {"to.0.addr", "one@example.test"}, {"to.1.addr", "two@example.test"}, {"cc.0.addr", "three@example.test"},
        {"defects", ""}, {"attachment.0.filename", token + "-data.bin"},
        {"attachment.1.filename", token + "-notes.txt"}, {"attachment.1.content_type", "text/plain"}};
    for (const auto& f : fields) EXPECT_EQ(mc.get(f.first), f.second) << f.first << "\n" << mc.dump();
    EXPECT_EQ(std::vector<int>({mc.count("to"), mc.count("cc"), mc.count("bcc")}), std::vector<int>({2, 1, 0}));
    ASSERT_EQ(mc.count("attachment"), 2) << mc.dump();
    EXPECT_EQ(mc.attachmentBytes(0), bin);
    EXPECT_EQ(mc.attachmentBytes(1), notes);
}

// The command line's own recipient and body options; its attachments,
// logins and account files go through the mail programs' lane
// (scripts/lane_clients.sh) and MailManEximTest, the example host through
// the Windows lane.
TEST(MailJobExim, CommandLineSendsToEveryRecipientKind) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("cli");
    PythonResult r = cli({"send", "--server", env.get("OSTMAIL_HOST"), "--port", portOf(env, "OSTMAIL_SMTP_PORT"),
                          "--from", "cli@example.test", "--from-name", "Command Line", "--to", "a@example.test", "--to",
                          "b@example.test;c@example.test", "--cc", "d@example.test", "--bcc", "hidden@example.test",
                          "--subject", token, "--ca-file", env.get("OSTMAIL_CA_FILE"), "--body-file",
                          dir.write(token + "-body.txt", "Body from a file.\nSecond line.\n")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The plain port offers STARTTLS, which is taken unasked.
    std::string line = arrival(env, token);
    EXPECT_TRUE(has(line, " X=TLS1.3:")) << line;

    MailCheck mc;
    EXPECT_EQ(deliveries(env, token, 5, mc).count("hidden@example.test"), 1u);
    EXPECT_EQ(mc.get("from.0.name"), "Command Line");
    EXPECT_EQ(mc.count("to"), 3) << mc.dump();
    EXPECT_EQ(mc.count("bcc"), 0) << "Bcc never travels in the header";
    EXPECT_TRUE(has(mc.get("body"), "Second line.")) << mc.dump();

    // Usage errors never reach a server.
    r = cli({"send", "--to", "a@example.test"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(has(r.err, "--server is required")) << r.err;
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--port", "x25"}).exitCode, 2);
}

// The Linux-native API over STARTTLS with a login: each of its settings
// reaches the session.
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

    // Verification is the default: a certificate for another name fails,
    // unless the check is turned off, which the log says. A password never
    // goes out in clear unless allowed; the CA trusted, STARTTLS comes unasked.
    s.setSecurity(Security::ImplicitTls);
    s.setPort(env.port("OSTMAIL_WRONGNAME_SMTPS_PORT"));
    SendResult wrong = send(s, m);
    EXPECT_TRUE(!wrong.ok() && has(wrong.reason(), "certificate for wrong-name.invalid, not localhost"))
        << wrong.reason();
    EXPECT_EQ(wrong.error(), SendError::Tls) << wrong.reason();
    s.setRequireValidCertificate(false);
    s.setLogin("", "");
    m.setSubject(token = Maildir::uniqueToken("apiinsecure"));
    wrong = send(s, m);
    EXPECT_TRUE(wrong.ok() && has(wrong.log(), "warning: the server's certificate was not required")) << wrong.log();
    SmtpSettings clear;
    clear.setHost(env.get("OSTMAIL_HOST"));
    clear.setPort(env.port("OSTMAIL_SMTP_PORT"));
    clear.setSecurity(Security::None);
    clear.setLogin(env.get("OSTMAIL_SMTP_USER"), env.get("OSTMAIL_SMTP_PASSWORD"), "PLAIN");
    EXPECT_TRUE(has(send(clear, m).reason(), SmtpSecurity::kClearTextRefusal));
    clear.setAllowPlaintextLogin(true);
    m.setSubject(token = Maildir::uniqueToken("apiclear"));
    EXPECT_TRUE(send(clear, m).ok());
    std::string clearLine = arrival(env, token);
    EXPECT_TRUE(authField(clearLine) == "A=plain:" + env.get("OSTMAIL_SMTP_USER") && !has(clearLine, " X="))
        << clearLine;
    // Through the proxies that want a login; then a send the progress callback stops.
    SmtpSettings plain;
    plain.setHost(env.get("OSTMAIL_HOST"));
    plain.setPort(env.port("OSTMAIL_SMTP_PORT"));
    plain.setTrustFile(env.get("OSTMAIL_CA_FILE"));
    plain.setHttpProxy("127.0.0.1", env.port("OSTMAIL_HTTP_PROXY_AUTH_PORT"), env.get("OSTMAIL_HTTP_PROXY_USER"),
                       env.get("OSTMAIL_HTTP_PROXY_PASSWORD"));
    m.setSubject(token = Maildir::uniqueToken("apiproxy"));
    r = send(plain, m);
    EXPECT_TRUE(r.ok() && has(r.log(), "httpProxyPort")) << r.reason() << "\n" << r.log();
    EXPECT_EQ(maildir.waitForCount(token, 2).size(), 2u);
    EXPECT_TRUE(has(arrival(env, token), " X=TLS1.3:")) << "STARTTLS taken when offered";
    SmtpSettings socks = plain;
    socks.setHttpProxy("", 0);
    socks.setSocksProxy("127.0.0.1", env.port("OSTMAIL_SOCKS_AUTH_PORT"), env.get("OSTMAIL_SOCKS_USER"),
                        env.get("OSTMAIL_SOCKS_PASSWORD"));
    r = send(socks, m);
    EXPECT_TRUE(r.ok() && has(r.log(), "socksPort")) << r.reason() << "\n" << r.log();
    int calls = 0;
    r = send(plain, m, [&](int) { return ++calls < 2; });
    EXPECT_EQ(r.error(), SendError::Aborted) << r.reason();
    // Exim honours NOTIFY and ENVID: its success report to the sender quotes
    // the envelope id. (Success reports carry the headers whatever RET says.)
    std::string envid = Maildir::uniqueToken("envid");
    plain.setDsn("SUCCESS", "HDRS", envid);
    m.setSubject(token = Maildir::uniqueToken("apidsn"));
    EXPECT_TRUE(send(plain, m).ok());
    expectLines(Maildir::readFile(maildir.waitFor(envid)),
                {"Original-Envelope-ID: " + envid, "Action: delivered", "Subject: " + token});
}

// OAuth 2.0 tokens checked by Dovecot's oauth2 passdb behind Exim, through
// the command line (its token command), the API (its provider) and the mail
// job (the password as token), with both mechanisms over both TLS modes
// (the mail job has implicit TLS only). A refused token is tried once more
// with a fresh one when the face has a source for it; the refusal's JSON is
// in the log and no form of any token is. Exim names the authenticator that
// took the login on the arrival line.
TEST(SmtpExim, OAuthTokensLogInThroughEachFace) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string user = env.get("OSTMAIL_SMTP_USER"), good = env.get("OSTMAIL_OAUTH_TOKEN"),
                      expired = env.get("OSTMAIL_OAUTH_EXPIRED_TOKEN");
    struct Case {
        std::string name, first, fresh;  // fresh: what a second read of the source gives
        bool sent;
    };
    const Case cases[] = {{"valid", good, good, true},
                          {"expired", expired, expired, false},
                          {"expired, then fresh", expired, good, true},
                          {"wrong user", env.get("OSTMAIL_OAUTH_OTHER_USER_TOKEN"),
                           env.get("OSTMAIL_OAUTH_OTHER_USER_TOKEN"), false}};
    testsupport::ScratchDir dir;
    for (const std::string mech : {"XOAUTH2", "OAUTHBEARER"})
        for (bool implicitTls : {false, true})
            for (const Case& k : cases)
                for (const char* face : {"cli", "api", "job"}) {
                    if (std::string(face) == "job" && (!implicitTls || k.first != k.fresh)) continue;
                    SCOPED_TRACE(mech + (implicitTls ? " implicit TLS " : " STARTTLS ") + k.name + " " + face);
                    const std::string token = Maildir::uniqueToken("oauth");
                    const char* portKey = implicitTls ? "OSTMAIL_OAUTH_SMTPS_PORT" : "OSTMAIL_OAUTH_SMTP_PORT";
                    std::string log;
                    if (std::string(face) == "cli") {
                        // The command gives the first token, then the fresh one.
                        const std::string cmd = "cat " + dir.write("first", k.first) + " && cp " +
                                                dir.write("fresh", k.fresh) + " " + dir.path() + "/first";
                        PythonResult r = cliSend(env, env.get("OSTMAIL_TLS_HOST"), portKey, token,
                                                 {implicitTls ? "--ssl" : "--starttls", "--require-cert", "--ca-file",
                                                  env.get("OSTMAIL_CA_FILE"), "--user", user, "--auth-method", mech,
                                                  "--password-command", cmd});
                        EXPECT_EQ(r.exitCode, k.sent ? 0 : 1) << r.err;
                        log = r.err + r.out;
                    } else if (std::string(face) == "api") {
                        SmtpSettings s;
                        s.setHost(env.get("OSTMAIL_TLS_HOST"));
                        s.setPort(env.port(portKey));
                        s.setSecurity(implicitTls ? Security::ImplicitTls : Security::StartTls);
                        s.setTrustFile(env.get("OSTMAIL_CA_FILE"));
                        s.setRequireValidCertificate(true);
                        s.setOAuth2(user, "", mech);
                        std::vector<bool> asked;
                        s.setOAuth2TokenProvider(
                            [&](bool refresh) { return asked.push_back(refresh), refresh ? k.fresh : k.first; });
                        Message m;
                        m.setFrom("api@example.test");
                        m.addTo("inbox@example.test");
                        m.setSubject(token);
                        SendResult r = send(s, m);
                        EXPECT_EQ(r.ok(), k.sent) << r.reason() << "\n" << r.log();
                        // The refresh comes once, after a refusal only.
                        EXPECT_EQ(asked.size(), k.first == good ? 1u : 2u);
                        EXPECT_TRUE(!asked[0] && (asked.size() < 2 || asked[1]));
                        log = r.reason() + "\n" + r.log();
                    } else {
                        CMailObj job;
                        aimJob(job, env.get("OSTMAIL_TLS_HOST"), env.port(portKey), true, user, k.first, token);
                        job.SetAuthState(mech == "XOAUTH2" ? CMailObj::kAuthXOAuth2 : CMailObj::kAuthOAuthBearer);
                        job.SetRetryVal(0);
                        EXPECT_EQ(job.DoMail(), k.sent ? 0 : -1);
                        std::wstring w = CMailObj::LastLog();
                        log = std::string(w.begin(), w.end());
                    }
                    std::string line = arrival(env, token, k.sent);
                    const std::string authenticator = mech == "XOAUTH2" ? "A=xoauth2:" : "A=oauthbearer:";
                    EXPECT_EQ(authField(line), k.sent ? authenticator + user : "") << line;
                    if (!k.sent || k.first != good)
                        expectLines(log, {"The server refused the access token",
                                          mech == "XOAUTH2" ? "status: 401" : "status: invalid_token"});
                    for (const std::string& secret : {k.first, k.fresh}) expectNoSecret(log, user, secret);
                }
    // A server that does not offer the mechanism gets no token, and no password mechanism runs instead.
    PythonResult r = cliSend(env, env.get("OSTMAIL_TLS_HOST"), "OSTMAIL_SMTP_PORT", "none",
                             {"--starttls", "--ca-file", env.get("OSTMAIL_CA_FILE"), "--user", user, "--auth-method",
                              "XOAUTH2"},
                             {"/usr/bin/env", "OSTMAIL_PASSWORD=" + good});
    EXPECT_EQ(r.exitCode, 1);
    expectLines(r.err, {"The SMTP server does not offer XOAUTH2"}, {"login_method"});
    // A token command that fails, prints nothing or hangs: nothing is sent.
    for (auto [cmd, why] : {std::pair<const char*, const char*>{"false", "exited with status 1"},
                            {"true", "printed nothing"}, {"sleep 60", "timed out after 1 s"}}) {
        r = cliSend(env, env.get("OSTMAIL_TLS_HOST"), "OSTMAIL_OAUTH_SMTP_PORT", "badcmd",
                    {"--user", user, "--auth-method", "XOAUTH2", "--read-timeout", "1", "--password-command", cmd});
        EXPECT_EQ(r.exitCode, 78) << r.err;
        EXPECT_TRUE(has(r.err, std::string("password-command '") + cmd + "' " + why)) << r.err;
    }
}

// Plain ASCII lines under 76 characters: quoted-printable leaves them as they
// are, so the attachment can be found verbatim in what arrived.
std::string attachmentText(const std::string& token, const char* lineEnd) {
    std::string s;
    for (int i = 0; i < 40; ++i) s += "line " + std::to_string(i) + " of " + token + lineEnd;
    return s;
}

// The value after "name" up to the first of the stop characters.
std::string valueAfter(const std::string& text, const std::string& name, const char* stop) {
    size_t at = text.find(name);
    if (at == std::string::npos) return "";
    at += name.size();
    return text.substr(at, text.find_first_of(stop, at) - at);
}

TEST(ThreadedSend, ManyThreadsToExim) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const int threads = 16, perThread = 25, total = threads * perThread;
    testsupport::ScratchDir dir;
    const std::string prefix = Maildir::uniqueToken("thx");
    std::vector<std::string> tokens(total);
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string token = prefix + "-" + std::to_string(t) + "-" + std::to_string(i);
                tokens[t * perThread + i] = token;
                CMailObj m;
                aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, "", "", token);
                m.SetAttachment(wide(dir.write(token + ".txt", attachmentText(token, "\r\n"))));
                if (m.DoMail() != 0) ++failures[t];
            }
        });
    for (auto& th : pool) th.join();
    EXPECT_EQ(failures, std::vector<int>(threads, 0)) << "failed sends per thread";

    std::vector<std::string> paths = Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(prefix + "-", total, 60000);
    ASSERT_EQ(paths.size(), tokens.size());
    std::set<std::string> arrived, ids, boundaries;
    for (const std::string& p : paths) {
        const std::string m = Maildir::readFile(p);  // LF line ends
        const std::string token = valueAfter(m, "\nSubject: ", "\n");
        const std::string id = valueAfter(m, "\nMessage-ID: ", "\n");
        const std::string boundary = valueAfter(m, "boundary=\"", "\"");
        arrived.insert(token);
        ids.insert(id);
        boundaries.insert(boundary);
        // Whole: its own attachment, and the closing boundary.
        ASSERT_TRUE(!id.empty() && boundary.compare(0, 14, "-----_velmora_") == 0 &&
                    has(m, attachmentText(token, "\n")) && has(m, "\n--" + boundary + "--"))
            << token << ":\n" << m.substr(0, 2000);
    }
    EXPECT_EQ(arrived, std::set<std::string>(tokens.begin(), tokens.end()));
    EXPECT_EQ(ids.size(), static_cast<size_t>(total)) << "a Message-ID repeated";
    EXPECT_EQ(boundaries.size(), static_cast<size_t>(total)) << "a boundary repeated";
}

}  // namespace
}  // namespace ostmail::itest
