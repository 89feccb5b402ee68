// The mail job, the example host and the command line against the real MTA:
// what arrives in the Maildir is read back with Python's email package.
// Logins inside TLS are checked in MailManTlsEximTest.
#include "core/XString.h"
#include "integration/EximCheck.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

#include <cstdlib>
#include <set>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::MailCheck;

// Every byte value, then a run that base64 lines must break cleanly.
std::string binaryBytes() {
    std::string b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<char>(i));
    for (int i = 0; i < 5000; ++i) b.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    return b;
}

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

TEST(MailJobExim, DoMailDeliversToCcAndAttachmentsByteExact) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("domail");
    std::string bin = binaryBytes();
    // Text travels as lines, and the Maildir stores them with LF ends.
    const std::string notes = "first line\n.second line starts with a dot\n";

    CMailObj m;
    aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, env.get("OSTMAIL_SMTP_USER"),
           env.get("OSTMAIL_SMTP_PASSWORD"), token);
    m.SetSender(L"Report Job");
    m.SetRecipAddr(L"one@example.test; two@example.test;");
    m.SetRecipCC(L"three@example.test");
    m.SetAttachment(wide(dir.write(token + "-data.bin", bin)) + L";" + wide(dir.write(token + "-notes.txt", notes)));
    m.SetBody(L"Nightly report.\r\n.A line with a leading dot.\r\n");
    ASSERT_EQ(m.DoMail(), 0);

    MailCheck mc;
    EXPECT_EQ(deliveries(env, token, 3, mc),
              (std::set<std::string>{"one@example.test", "two@example.test", "three@example.test"}));
    const std::pair<const char*, std::string> fields[] = {
        {"header.return-path", "<job@example.test>"}, {"subject", token}, {"from.0.name", "Report Job"},
        {"from.0.addr", "job@example.test"}, {"to.0.addr", "one@example.test"}, {"to.1.addr", "two@example.test"},
        {"cc.0.addr", "three@example.test"}, {"defects", ""}, {"attachment.0.filename", token + "-data.bin"},
        {"attachment.1.filename", token + "-notes.txt"}, {"attachment.1.content_type", "text/plain"}};
    for (const auto& f : fields) EXPECT_EQ(mc.get(f.first), f.second) << f.first << "\n" << mc.dump();
    EXPECT_EQ(std::vector<int>({mc.count("to"), mc.count("cc"), mc.count("bcc")}), std::vector<int>({2, 1, 0}));
    EXPECT_TRUE(has(mc.get("body"), ".A line with a leading dot.")) << mc.dump();
    ASSERT_EQ(mc.count("attachment"), 2) << mc.dump();
    EXPECT_EQ(mc.attachmentBytes(0), bin);
    EXPECT_EQ(mc.attachmentBytes(1), notes);
}

// Text in many scripts, mixed with punctuation, the euro sign and an emoji:
// nothing may be lost on the way, and text that fits a one-byte charset keeps it.
TEST(MailJobExim, EveryCharacterArrivesAndFittingTextKeepsItsCharset) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    setenv("LC_ALL", "C.UTF-8", 1);  // the mail job hands text over in the locale's charset
    const std::string extras = " \xE2\x80\x94 \xE2\x80\x9C\xE2\x80\x9D \xE2\x80\x98\xE2\x80\x99\xE2\x80\xA6 "
                               "\xE2\x82\xAC" "5 \xF0\x9F\x98\x80";  // — “” ‘’… €5 😀
    const struct { const char* text; std::string charset; } rows[] = {
        {"Привет, мир", "utf-8"}, {"こんにちは世界", "utf-8"}, {"مرحبا بالعالم", "utf-8"},
        {"Привет, мир", "iso-8859-5"}, {"Γειά σου κόσμε", "iso-8859-7"},
    };
    for (const auto& row : rows) {
        std::string token = Maildir::uniqueToken("text");
        std::string text = std::string(row.text) + (row.charset == "utf-8" ? extras : "");
        auto fromUtf8 = [](const std::string& s) {
            XString x;
            x.setFromUtf8(s.data(), s.size());
            return x.getWide();
        };
        CMailObj m;
        aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, "", "", token);
        m.SetSubject(fromUtf8(text));
        m.SetBody(fromUtf8(token + "\r\n" + text));
        ASSERT_EQ(m.DoMail(), 0) << text;

        MailCheck mc;
        std::string path = Maildir(env.get("OSTMAIL_MAILDIR")).waitFor(token);
        ASSERT_TRUE(!path.empty() && mc.loadFile(path)) << text << ": " << mc.error();
        EXPECT_EQ(mc.get("subject"), text);
        EXPECT_EQ(mc.get("body"), token + "\n" + text + "\n");  // the message's own line end
        EXPECT_EQ(mc.get("body.charset"), row.charset) << text;
        EXPECT_EQ(mc.get("defects"), "") << mc.dump();
    }
}

TEST(MailJobExim, CommandLineAndExampleHostSend) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("cli");
    std::string bin = binaryBytes();
    PythonResult r = cli({"send", "--server", env.get("OSTMAIL_HOST"), "--port", portOf(env, "OSTMAIL_SMTP_PORT"),
                          "--from", "cli@example.test", "--from-name", "Command Line", "--user",
                          env.get("OSTMAIL_SMTP_USER"), "--password", env.get("OSTMAIL_SMTP_PASSWORD"),
                          "--auth-method", "CRAM-MD5", "--to", "a@example.test", "--to",
                          "b@example.test;c@example.test", "--cc", "d@example.test", "--bcc", "hidden@example.test", "--attach",
                          dir.write(token + ".bin", bin), "--subject", token, "--body-file",
                          dir.write(token + "-body.txt", "Body from a file.\nSecond line.\n"), "--verbose"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "CONNECTED to ESMTP server")) << "--verbose shows the log:\n" << r.err;

    MailCheck mc;
    EXPECT_EQ(deliveries(env, token, 5, mc).count("hidden@example.test"), 1u);
    EXPECT_EQ(mc.get("header.return-path"), "<cli@example.test>");
    EXPECT_EQ(mc.count("to"), 3) << mc.dump();
    EXPECT_EQ(mc.count("bcc"), 0) << "Bcc never travels in the header";
    EXPECT_TRUE(has(mc.get("body"), "Second line.")) << mc.dump();
    ASSERT_EQ(mc.count("attachment"), 1) << mc.dump();
    EXPECT_EQ(mc.attachmentBytes(0), bin);

    // Usage errors never reach a server. Refused logins are checked in
    // MailManTlsEximTest.
    r = cli({"send", "--to", "a@example.test"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(has(r.err, "--server is required")) << r.err;
    EXPECT_EQ(cli({"send", "--server", "h", "--to", "a@example.test", "--port", "x25"}).exitCode, 2);

    // The example host sends through the shared library.
    token = Maildir::uniqueToken("host");
    r = testsupport::runProgram({std::string(OSTMAIL_BINARY_DIR) + "/ostmail_host", env.get("OSTMAIL_HOST"),
                                 portOf(env, "OSTMAIL_SMTP_PORT"), "host@example.test",
                                 "h1@example.test;h2@example.test", "", token});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "DoMail returned 0"));
    EXPECT_EQ(Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2).size(), 2u);
}

}  // namespace
}  // namespace ostmail
