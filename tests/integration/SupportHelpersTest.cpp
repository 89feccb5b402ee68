#include "integration/RawClient.h"
#include "support/MailCheck.h"
#include "support/Maildir.h"
#include "support/PythonRun.h"
#include "support/TestEnv.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace ostmail::testsupport;

namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_) ::setenv(name_, old_.c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace

TEST(TestEnv, MissingFileFailsWithDirectionsAndValuesAreUnquoted) {
    {
        ScopedEnv unset("OSTMAIL_TEST_ENV", nullptr);
        TestEnv env;
        EXPECT_FALSE(env.ok());
        EXPECT_NE(env.error().find("OSTMAIL_TEST_ENV is not set"), std::string::npos) << env.error();
        EXPECT_NE(env.error().find("scripts/servers.sh"), std::string::npos) << env.error();
    }
    {
        ScopedEnv missing("OSTMAIL_TEST_ENV", "/nonexistent/env");
        TestEnv env;
        EXPECT_FALSE(env.ok());
        EXPECT_NE(env.error().find("/nonexistent/env"), std::string::npos) << env.error();
    }
    std::string path = ::testing::TempDir() + "/ostmail-testenv";
    std::ofstream(path) << "# comment\nA_PORT='2525'\nPASS='p@ss w:rd 2'\nPLAIN=x=y\nEMPTY=''\nBAD_PORT='70000'\n";
    TestEnv env(path);
    ASSERT_TRUE(env.ok()) << env.error();
    EXPECT_EQ(env.port("A_PORT"), 2525);
    EXPECT_EQ(env.get("PASS"), "p@ss w:rd 2");
    EXPECT_EQ(env.get("PLAIN"), "x=y");
    EXPECT_TRUE(env.has("EMPTY"));
    EXPECT_EQ(env.get("EMPTY"), "");
    EXPECT_FALSE(env.has("NOPE"));
    EXPECT_NONFATAL_FAILURE(env.get("NOPE"), "NOPE is missing");
    EXPECT_NONFATAL_FAILURE(env.port("BAD_PORT"), "not a port");
    std::remove(path.c_str());
}

TEST(PythonRun, PassesExactBytesBothWaysAndReportsFailures) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    PythonResult echo = runPython("import sys; d = sys.stdin.buffer.read(); sys.stdout.buffer.write(d[::-1])", all);
    ASSERT_EQ(echo.exitCode, 0) << echo.err;
    EXPECT_EQ(echo.out, std::string(all.rbegin(), all.rend()));

    // Larger than any pipe buffer in both directions at once.
    std::string big(3 << 20, 'x');
    PythonResult copy = runPython("import sys; sys.stdout.buffer.write(sys.stdin.buffer.read()); sys.stderr.write('e' * 200000)", big);
    ASSERT_EQ(copy.exitCode, 0) << copy.err.substr(0, 300);
    EXPECT_EQ(copy.out.size(), big.size());
    EXPECT_EQ(copy.err.size(), 200000u);

    PythonResult fail = runPython("import sys; print(sys.argv[1:]); sys.exit(3)", "", {"a b", "c"});
    EXPECT_EQ(fail.exitCode, 3);
    EXPECT_EQ(fail.out, "['a b', 'c']\n");

    // A script that ignores its input must not take the test down with SIGPIPE.
    PythonResult early = runPython("pass", std::string(1 << 20, 'y'));
    EXPECT_EQ(early.exitCode, 0);

    PythonResult slow = runPython("import time; time.sleep(30)", "", {}, 300);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.exitCode, 128 + 9);
}

TEST(MailCheck, ParsesStructureAddressesAndAttachmentBytes) {
    std::string bin("\x00\x01\x02\xff\r\n", 6);
    std::string msg =
        "From: \"Joe Q. Public\" <joe@example.test>\r\n"
        "To: a@b.test, =?utf-8?B?w6lsw6g=?= <c@d.test>\r\n"
        "Subject: =?utf-8?Q?caf=C3=A9?= time\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"BB\"\r\n\r\n"
        "--BB\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "line one=0D=0Acaf=C3=A9\r\n"
        "--BB\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
        "Content-Disposition: attachment; filename=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "AAEC/w0K\r\n--BB--\r\n";
    MailCheck m;
    ASSERT_TRUE(m.loadText(msg)) << m.error();
    EXPECT_EQ(m.get("subject"), "caf\xc3\xa9 time");
    EXPECT_EQ(m.get("header.2.raw"), "=?utf-8?Q?caf=C3=A9?= time");
    EXPECT_EQ(m.get("from.0.name"), "Joe Q. Public");
    EXPECT_EQ(m.get("from.0.addr"), "joe@example.test");
    ASSERT_EQ(m.count("to"), 2);
    EXPECT_EQ(m.get("to.1.name"), "\xc3\xa9l\xc3\xa8");
    EXPECT_EQ(m.get("to.1.addr"), "c@d.test");
    EXPECT_EQ(m.get("body"), "line one\r\ncaf\xc3\xa9");
    EXPECT_EQ(m.get("body.cte"), "quoted-printable");
    ASSERT_EQ(m.count("attachment"), 1);
    EXPECT_EQ(m.get("attachment.0.filename"), "a.bin");
    EXPECT_EQ(m.attachmentBytes(0), bin);
    EXPECT_EQ(m.get("defects"), "");
    EXPECT_NE(m.json().find("\"attachments\""), std::string::npos);

    MailCheck broken;
    ASSERT_TRUE(broken.loadText("Content-Type: multipart/mixed; boundary=\"X\"\r\n\r\nno parts\r\n")) << broken.error();
    EXPECT_NE(broken.get("defects"), "") << "a multipart without its boundary is a defect";
}

// The whole chain the client tests rely on: a message sent to the real MTA
// arrives once per recipient in the Maildir and reads back intact.
TEST(RealServers, MessageSentToEximArrivesInTheMaildirIntact) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string token = Maildir::uniqueToken("fixture");
    RawClient c;
    ASSERT_TRUE(c.connect(env.port("OSTMAIL_SMTP_PORT")));
    EXPECT_EQ(c.readReply().substr(0, 4), "220 ");
    std::string ehlo = c.command("EHLO fixture.test");
    EXPECT_NE(ehlo.find("DSN"), std::string::npos) << ehlo;
    EXPECT_NE(ehlo.find("AUTH"), std::string::npos) << ehlo;
    EXPECT_EQ(c.command("MAIL FROM:<sender@example.test>").substr(0, 3), "250");
    EXPECT_EQ(c.command("RCPT TO:<one@example.test>").substr(0, 3), "250");
    EXPECT_EQ(c.command("RCPT TO:<" + env.get("OSTMAIL_SMTP_REJECT_PREFIX") + "-x@example.test>").substr(0, 3), "550");
    EXPECT_EQ(c.command("RCPT TO:<two@example.test>").substr(0, 3), "250");
    EXPECT_EQ(c.command("DATA").substr(0, 3), "354");
    std::string reply = c.command(
        "From: Sender <sender@example.test>\r\nTo: one@example.test\r\nSubject: " + token +
        "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n..leading dot\r\n"
        "--b1\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"d.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n3q2+7w==\r\n--b1--\r\n.");
    EXPECT_EQ(reply.substr(0, 3), "250") << reply;
    c.command("QUIT");

    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::vector<std::string> paths = maildir.waitForCount(token, 2);
    ASSERT_EQ(paths.size(), 2u) << "delivered copies of " << token;
    std::string envelopeTo;
    for (const std::string& path : paths) {
        MailCheck m;
        ASSERT_TRUE(m.loadFile(path)) << m.error();
        EXPECT_EQ(m.get("subject"), token);
        EXPECT_EQ(m.get("from.0.name"), "Sender");
        EXPECT_EQ(m.get("header.return-path"), "<sender@example.test>");
        EXPECT_EQ(m.get("body"), ".leading dot") << "the MTA removed the stuffed dot";
        EXPECT_EQ(m.attachmentBytes(0), std::string("\xde\xad\xbe\xef"));
        envelopeTo += m.get("header.envelope-to") + ";";
    }
    EXPECT_NE(envelopeTo.find("one@example.test"), std::string::npos) << envelopeTo;
    EXPECT_NE(envelopeTo.find("two@example.test"), std::string::npos) << envelopeTo;
    EXPECT_TRUE(maildir.find(token + "-not-sent").empty());
}
