// The mail job and the command line against the real MTA: what arrives in
// the Maildir is read back with Python's email package.
#include "ostmail/CMailObj.h"
#include "support/MailCheck.h"
#include "support/Maildir.h"
#include "support/PythonRun.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace ostmail {
namespace {

using testsupport::MailCheck;
using testsupport::Maildir;
using testsupport::PythonResult;
using testsupport::runProgram;

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string writeFile(const std::string& name, const std::string& bytes) {
    std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Every byte value, then a run that base64 lines must break cleanly.
std::string binaryBytes() {
    std::string b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<char>(i));
    for (int i = 0; i < 5000; ++i) b.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    return b;
}

std::set<std::string> envelopeRecipients(const std::vector<std::string>& paths) {
    std::set<std::string> seen;
    for (const std::string& p : paths) {
        MailCheck m;
        if (m.loadFile(p)) seen.insert(m.get("header.envelope-to"));
    }
    return seen;
}

TEST(MailJobExim, DoMailDeliversToCcAndAttachmentsByteExact) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("domail");
    std::string bin = binaryBytes();
    std::string binPath = writeFile(token + "-data.bin", bin);
    // Text travels as lines, and the Maildir stores them with LF ends.
    const std::string notes = "first line\n.second line starts with a dot\n";
    std::string txtPath = writeFile(token + "-notes.txt", notes);

    CMailObj m;
    m.SetServer(wide(env.get("OSTMAIL_HOST")));
    m.SetPortNum(env.port("OSTMAIL_SMTP_PORT"));
    m.SetUserName(wide(env.get("OSTMAIL_SMTP_USER")));
    m.SetPasswd(wide(env.get("OSTMAIL_SMTP_PASSWORD")));
    m.SetSender(L"Report Job");
    m.SetSenderAddr(L"job@example.test");
    m.SetRecipAddr(L"one@example.test; two@example.test;");
    m.SetRecipCC(L"three@example.test");
    m.SetAttachment(wide(binPath) + L";" + wide(txtPath));
    m.SetSubject(wide(token));
    m.SetBody(L"Nightly report.\r\n.A line with a leading dot.\r\n");
    m.SetRetryVal(1);
    m.SetTimeoutInt(1);
    ASSERT_EQ(m.DoMail(), 0);

    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::vector<std::string> paths = maildir.waitForCount(token, 3);
    ASSERT_EQ(paths.size(), 3u) << "one delivered copy per recipient";
    EXPECT_EQ(envelopeRecipients(paths),
              (std::set<std::string>{"one@example.test", "two@example.test", "three@example.test"}));

    MailCheck mc;
    ASSERT_TRUE(mc.loadFile(paths[0])) << mc.error();
    EXPECT_EQ(mc.get("header.return-path"), "<job@example.test>") << mc.json();
    EXPECT_EQ(mc.get("subject"), token);
    EXPECT_EQ(mc.get("from.0.name"), "Report Job");
    EXPECT_EQ(mc.get("from.0.addr"), "job@example.test");
    ASSERT_EQ(mc.count("to"), 2) << mc.json();
    EXPECT_EQ(mc.get("to.0.addr"), "one@example.test");
    EXPECT_EQ(mc.get("to.1.addr"), "two@example.test");
    ASSERT_EQ(mc.count("cc"), 1) << mc.json();
    EXPECT_EQ(mc.get("cc.0.addr"), "three@example.test");
    EXPECT_EQ(mc.count("bcc"), 0);
    EXPECT_NE(mc.get("message_id"), "");
    EXPECT_NE(mc.get("date"), "");
    EXPECT_EQ(mc.get("defects"), "") << mc.json();
    EXPECT_NE(mc.get("body").find(".A line with a leading dot."), std::string::npos) << mc.json();
    ASSERT_EQ(mc.count("attachment"), 2) << mc.json();
    EXPECT_EQ(mc.get("attachment.0.filename"), token + "-data.bin");
    EXPECT_EQ(mc.attachmentBytes(0), bin);
    EXPECT_EQ(mc.get("attachment.1.filename"), token + "-notes.txt");
    EXPECT_EQ(mc.get("attachment.1.content_type"), "text/plain");
    EXPECT_EQ(mc.attachmentBytes(1), notes);
}

TEST(MailJobExim, CommandLineSendsAndReportsFailures) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    const std::string prog = std::string(OSTMAIL_BINARY_DIR) + "/ostmail";
    std::string token = Maildir::uniqueToken("cli");
    std::string bin = binaryBytes();
    std::string binPath = writeFile(token + ".bin", bin);
    std::string bodyPath = writeFile(token + "-body.txt", "Body from a file.\nSecond line.\n");
    std::string port = std::to_string(env.port("OSTMAIL_SMTP_PORT"));

    std::vector<std::string> base = {prog, "send", "--server", env.get("OSTMAIL_HOST"), "--port", port,
                                     "--from", "cli@example.test", "--from-name", "Command Line"};
    std::vector<std::string> args = base;
    for (const char* a : {"--to", "a@example.test", "--to", "b@example.test;c@example.test", "--cc",
                          "d@example.test", "--bcc", "hidden@example.test", "--attach"})
        args.push_back(a);
    args.push_back(binPath);
    for (const std::string& a : {std::string("--subject"), token, std::string("--body-file"), bodyPath,
                                 std::string("--user"), env.get("OSTMAIL_SMTP_USER"),
                                 std::string("--password"), env.get("OSTMAIL_SMTP_PASSWORD"),
                                 std::string("--auth-method"), std::string("CRAM-MD5"), std::string("--verbose")})
        args.push_back(a);
    PythonResult r = runProgram(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("CONNECTED to ESMTP server"), std::string::npos) << "--verbose shows the log:\n" << r.err;

    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::vector<std::string> paths = maildir.waitForCount(token, 5);
    ASSERT_EQ(paths.size(), 5u);
    EXPECT_EQ(envelopeRecipients(paths).count("hidden@example.test"), 1u);
    MailCheck mc;
    ASSERT_TRUE(mc.loadFile(paths[0])) << mc.error();
    EXPECT_EQ(mc.get("header.return-path"), "<cli@example.test>");
    EXPECT_EQ(mc.count("to"), 3) << mc.json();
    EXPECT_EQ(mc.count("bcc"), 0) << "Bcc never travels in the header";
    EXPECT_NE(mc.get("body").find("Second line."), std::string::npos) << mc.json();
    ASSERT_EQ(mc.count("attachment"), 1) << mc.json();
    EXPECT_EQ(mc.attachmentBytes(0), bin);

    // A wrong password: not sent, exit status 1, the reason on stderr.
    std::vector<std::string> bad = base;
    for (const std::string& a : {std::string("--to"), std::string("x@example.test"), std::string("--subject"),
                                 token + "-refused", std::string("--user"), env.get("OSTMAIL_SMTP_USER"),
                                 std::string("--password"), std::string("wrong")})
        bad.push_back(a);
    r = runProgram(bad);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("Failed to connect to SMTP server."), std::string::npos) << r.err;
    EXPECT_TRUE(maildir.find(token + "-refused").empty());

    // Usage errors never reach a server.
    r = runProgram({prog, "send", "--to", "a@example.test"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--server is required"), std::string::npos) << r.err;
    r = runProgram({prog, "send", "--server", "h", "--to", "a@example.test", "--port", "x25"});
    EXPECT_EQ(r.exitCode, 2);
}

// Trusts the test CA (through OpenSSL's default-path variable) while alive.
class TrustTestCa {
public:
    explicit TrustTestCa(const std::string& caFile) {
        const char* old = std::getenv("SSL_CERT_FILE");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("SSL_CERT_FILE", caFile.c_str(), 1);
    }
    ~TrustTestCa() {
        if (had_)
            setenv("SSL_CERT_FILE", old_.c_str(), 1);
        else
            unsetenv("SSL_CERT_FILE");
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(MailJobExim, ImplicitTlsAndStartTlsDeliver) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    TrustTestCa trust(env.get("OSTMAIL_CA_FILE"));
    std::string token = Maildir::uniqueToken("tls");
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));

    CMailObj m;
    m.SetServer(wide(env.get("OSTMAIL_TLS_HOST")));
    m.SetPortNum(env.port("OSTMAIL_SMTPS_PORT"));
    m.UseSSL(1);
    m.SetUserName(wide(env.get("OSTMAIL_SMTP_USER")));
    m.SetPasswd(wide(env.get("OSTMAIL_SMTP_PASSWORD")));
    m.SetSenderAddr(L"tls@example.test");
    m.SetRecipAddr(L"secure@example.test");
    m.SetSubject(wide(token + "-implicit"));
    m.SetBody(L"over TLS from the first byte\r\n");
    ASSERT_EQ(m.DoMail(), 0);
    std::string path = maildir.waitFor(token + "-implicit");
    ASSERT_NE(path, "");
    EXPECT_NE(Maildir::readFile(path).find("with esmtpsa"), std::string::npos) << "TLS and AUTH, says Exim";

    PythonResult r = runProgram({std::string(OSTMAIL_BINARY_DIR) + "/ostmail", "send", "--server",
                                 env.get("OSTMAIL_TLS_HOST"), "--port",
                                 std::to_string(env.port("OSTMAIL_SMTP_PORT")), "--starttls", "--user",
                                 env.get("OSTMAIL_SMTP_USER"), "--password", env.get("OSTMAIL_SMTP_PASSWORD"),
                                 "--from", "tls@example.test", "--to", "secure@example.test", "--subject",
                                 token + "-starttls", "--body", "upgraded"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    path = maildir.waitFor(token + "-starttls");
    ASSERT_NE(path, "");
    EXPECT_NE(Maildir::readFile(path).find("with esmtpsa"), std::string::npos);
}

TEST(MailJobExim, ExampleHostSendsThroughTheSharedLibrary) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("host");
    PythonResult r = runProgram({std::string(OSTMAIL_BINARY_DIR) + "/ostmail_host", env.get("OSTMAIL_HOST"),
                                 std::to_string(env.port("OSTMAIL_SMTP_PORT")), "host@example.test",
                                 "h1@example.test;h2@example.test", "", token});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("DoMail returned 0"), std::string::npos);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    EXPECT_EQ(maildir.waitForCount(token, 2).size(), 2u);

    // The library shows the host its one class and nothing else.
    r = runProgram({"nm", "-D", "--defined-only", "-C", std::string(OSTMAIL_BINARY_DIR) + "/libostmail.so"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("CMailObj::DoMail()"), std::string::npos) << r.out;
    size_t lines = 0;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
        EXPECT_NE(r.out.substr(at, end - at).find(" CMailObj::"), std::string::npos) << r.out.substr(at, end - at);
    EXPECT_GE(lines, 36u);
}

}  // namespace
}  // namespace ostmail
