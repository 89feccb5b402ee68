// The mail job and the command line against the real MTA: what arrives in
// the Maildir is read back with Python's email package. Logins inside TLS
// are checked in MailManTlsEximTest.
#include "integration/EximCheck.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <set>

namespace ostmail {
namespace {

using namespace itest;
using testsupport::MailCheck;
using testsupport::Maildir;
using testsupport::PythonResult;

// Every byte value, then a run that base64 lines must break cleanly.
std::string binaryBytes() {
    std::string b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<char>(i));
    for (int i = 0; i < 5000; ++i) b.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    return b;
}

// Waits for one copy per recipient; the envelope recipients they were
// delivered to, and the first copy as Python reads it.
std::set<std::string> deliveries(const std::string& maildir, const std::string& token, size_t count, MailCheck& first) {
    std::set<std::string> seen;
    std::vector<std::string> paths = Maildir(maildir).waitForCount(token, count);
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
    EXPECT_EQ(deliveries(env.get("OSTMAIL_MAILDIR"), token, 3, mc),
              (std::set<std::string>{"one@example.test", "two@example.test", "three@example.test"}));
    const std::pair<const char*, std::string> fields[] = {
        {"header.return-path", "<job@example.test>"}, {"subject", token}, {"from.0.name", "Report Job"},
        {"from.0.addr", "job@example.test"}, {"to.0.addr", "one@example.test"}, {"to.1.addr", "two@example.test"},
        {"cc.0.addr", "three@example.test"}, {"defects", ""}, {"attachment.0.filename", token + "-data.bin"},
        {"attachment.1.filename", token + "-notes.txt"}, {"attachment.1.content_type", "text/plain"}};
    for (const auto& f : fields) EXPECT_EQ(mc.get(f.first), f.second) << f.first << "\n" << mc.dump();
    EXPECT_EQ(std::vector<int>({mc.count("to"), mc.count("cc"), mc.count("bcc")}), std::vector<int>({2, 1, 0}));
    EXPECT_NE(mc.get("message_id"), "");
    EXPECT_NE(mc.get("date"), "");
    EXPECT_TRUE(has(mc.get("body"), ".A line with a leading dot.")) << mc.dump();
    ASSERT_EQ(mc.count("attachment"), 2) << mc.dump();
    EXPECT_EQ(mc.attachmentBytes(0), bin);
    EXPECT_EQ(mc.attachmentBytes(1), notes);
}

TEST(MailJobExim, CommandLineSendsAndRefusesBadUsage) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    testsupport::ScratchDir dir;
    std::string token = Maildir::uniqueToken("cli");
    std::string bin = binaryBytes();
    PythonResult r = cli({"send", "--server", env.get("OSTMAIL_HOST"), "--port",
                          std::to_string(env.port("OSTMAIL_SMTP_PORT")), "--from", "cli@example.test", "--from-name",
                          "Command Line", "--user", env.get("OSTMAIL_SMTP_USER"), "--password",
                          env.get("OSTMAIL_SMTP_PASSWORD"), "--auth-method", "CRAM-MD5", "--to", "a@example.test",
                          "--to", "b@example.test;c@example.test", "--cc", "d@example.test", "--bcc",
                          "hidden@example.test", "--attach", dir.write(token + ".bin", bin), "--subject", token,
                          "--body-file", dir.write(token + "-body.txt", "Body from a file.\nSecond line.\n"),
                          "--verbose"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.err, "CONNECTED to ESMTP server")) << "--verbose shows the log:\n" << r.err;

    MailCheck mc;
    EXPECT_EQ(deliveries(env.get("OSTMAIL_MAILDIR"), token, 5, mc).count("hidden@example.test"), 1u);
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
}

TEST(MailJobExim, ExampleHostSendsThroughTheSharedLibrary) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("host");
    PythonResult r = testsupport::runProgram({std::string(OSTMAIL_BINARY_DIR) + "/ostmail_host",
                                              env.get("OSTMAIL_HOST"), std::to_string(env.port("OSTMAIL_SMTP_PORT")),
                                              "host@example.test", "h1@example.test;h2@example.test", "", token});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "DoMail returned 0"));
    EXPECT_EQ(Maildir(env.get("OSTMAIL_MAILDIR")).waitForCount(token, 2).size(), 2u);
}

}  // namespace
}  // namespace ostmail
