// AUTH NTLM from the command line run as the service account SYSTEM, where
// the own NTLM messages are used, against Exim's spa authenticator and the
// Cyrus instance; the same commands as root go through the security package.
// Which authenticator took the login is read from Exim's arrival lines.
#include "support/Maildir.h"
#include "support/PythonRun.h"
#include "support/ScratchDir.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace ostmail {
namespace {

namespace fs = std::filesystem;
using testsupport::Maildir;
using testsupport::PythonResult;
using testsupport::runProgram;
using testsupport::ScratchDir;
using testsupport::TestEnv;

const char kOwn[] = "Using Velmora NTLM...";
const char kPackage[] = "Using Microsoft SSPI NTLM.";
const char kDenied[] = "Logon denied.  Check username, password, and domain";

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The "<=" line in eximLog of a delivered file, found through the queue id
// of its Received header.
std::string arrivalLine(const std::string& eximLog, const std::string& deliveredPath) {
    std::string mail = Maildir::readFile(deliveredPath);
    size_t at = mail.find("\tid ");
    if (at == std::string::npos) return "";
    at += 4;
    std::string queueId = mail.substr(at, mail.find_first_of("\r\n", at) - at);
    std::string log = Maildir::readFile(eximLog);
    size_t pos = log.find(queueId + " <= ");
    if (pos == std::string::npos) return "";
    return log.substr(pos, log.find('\n', pos) - pos);
}

// Its "A=authenticator:user" field; empty when there was no login.
std::string authField(const std::string& line) {
    size_t at = line.find(" A=");
    if (at == std::string::npos) return "";
    return line.substr(at + 1, line.find(' ', at + 1) - at - 1);
}

// The client copied where SYSTEM can run it (the build tree may sit in a
// folder only root can enter), and the setpriv prefix that switches to it.
// The program links no project library, so the one file is enough.
class SystemAccount {
   public:
    bool prepare(std::string& why) {
        PythonResult entry = runProgram({"/usr/bin/getent", "passwd", "SYSTEM"});
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t end; (end = entry.out.find(':', start)) != std::string::npos; start = end + 1)
            fields.push_back(entry.out.substr(start, end - start));
        if (entry.exitCode != 0 || fields.size() < 4) {
            why = "no account SYSTEM (scripts/servers.sh start creates it)";
            return false;
        }
        std::error_code ec;
        fs::permissions(dir_.path(),
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec,
                        ec);
        binary_ = dir_.path() + "/ostmail";
        if (!ec) fs::copy_file(std::string(OSTMAIL_BINARY_DIR) + "/ostmail", binary_, ec);
        if (ec) {
            why = "cannot copy the client to " + dir_.path() + ": " + ec.message();
            return false;
        }
        prefix_ = {"/usr/bin/setpriv", "--reuid=" + fields[2], "--regid=" + fields[3], "--clear-groups"};
        return true;
    }
    std::vector<std::string> command(bool asSystem) const {
        std::vector<std::string> argv = asSystem ? prefix_ : std::vector<std::string>{};
        argv.push_back(binary_);
        return argv;
    }

   private:
    ScratchDir dir_;
    std::string binary_;
    std::vector<std::string> prefix_;
};

// Skips unless root (only root can switch accounts); fails when the account
// or the copy is missing.
#define OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(var)                                             \
    if (::geteuid() != 0) GTEST_SKIP() << "switching to the account SYSTEM needs root"; \
    SystemAccount var;                                                                  \
    {                                                                                   \
        std::string why;                                                                \
        ASSERT_TRUE(var.prepare(why)) << why;                                           \
    }

struct Send {
    bool asSystem;
    std::string portKey;
    std::string user, password;
    std::vector<std::string> more;
};

PythonResult send(const SystemAccount& account, const TestEnv& env, const Send& s, const std::string& token) {
    std::vector<std::string> argv = account.command(s.asSystem);
    const std::vector<std::string> args = {
        "send", "--server", env.get("OSTMAIL_TLS_HOST"), "--port", std::to_string(env.port(s.portKey)),
        "--from", "service@example.test", "--to", "inbox@example.test", "--subject", token,
        "--body", "sent by a service", "--user", s.user, "--password", s.password,
        "--auth-method", "NTLM", "--verbose"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), s.more.begin(), s.more.end());
    return runProgram(argv);
}

// Cyrus answers with a full challenge: the own messages (NTLMv1, the only
// version the session asks for) log in, in the clear and inside STARTTLS,
// with and without a domain; a wrong password gets the logon-denied lines.
TEST(NtlmSystemAccount, OwnMessagesLogInToCyrus) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(account);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const std::string port = "OSTMAIL_NTLM2_SMTP_PORT";
    struct Case {
        const char* name;
        Send send;
        bool tls;
    };
    for (const Case& k :
         {Case{"plain", {true, port, user, pass, {}}, false},
          Case{"STARTTLS with domain", {true, port, user, pass, {"--starttls", "--domain", "WORKGROUP"}}, true}}) {
        SCOPED_TRACE(k.name);
        std::string token = Maildir::uniqueToken("ntlmsys");
        PythonResult r = send(account, env, k.send, token);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "UserName: SYSTEM")) << r.err;
        EXPECT_TRUE(has(r.err, kOwn)) << r.err;
        EXPECT_FALSE(has(r.err, kPackage)) << r.err;
        EXPECT_TRUE(has(r.err, "NtlmVersion: 1")) << r.err;
        EXPECT_TRUE(has(r.err, "NTLM authentication succeeded.")) << r.err;
        std::string path = maildir.waitFor(token);
        ASSERT_NE(path, "");
        std::string line = arrivalLine(env.get("OSTMAIL_NTLM2_EXIM_LOG"), path);
        ASSERT_NE(line, "") << "no arrival line in the Cyrus instance's log";
        EXPECT_EQ(authField(line), "A=ntlm_cyrus:" + user) << line;
        EXPECT_EQ(has(line, " X=TLS"), k.tls) << line;
    }

    std::string token = Maildir::uniqueToken("ntlmsys-denied");
    PythonResult r = send(account, env, {true, port, user, "wrong-" + pass, {}}, token);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    for (const char* line : {kOwn, "response: 535 Incorrect authentication data", kDenied, "NTLM authentication failed",
                             "Failed to login using NTLM method"})
        EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
    EXPECT_FALSE(has(r.err, "NTLM authentication succeeded.")) << r.err;
    EXPECT_TRUE(maildir.find(token).empty());
}

// Exim's spa sends a 48-byte challenge without target information, which
// the own reader refuses before answering; root's security package reads
// it and logs in. A "default" login keeps SYSTEM on the package too.
TEST(NtlmSystemAccount, AccountAndLoginChooseTheImplementation) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(account);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");

    std::string token = Maildir::uniqueToken("ntlmsys-spa");
    PythonResult r = send(account, env, {true, "OSTMAIL_SMTP_PORT", user, pass, {}}, token);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    for (const char* line : {kOwn, "TYPE2 message is not long enough.", "Failed to decode TYPE2 input message.",
                             "NTLM authentication failed", "Failed to login using NTLM method"})
        EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
    EXPECT_FALSE(has(r.err, kDenied)) << "no Type 3 goes out\n" << r.err;
    EXPECT_TRUE(maildir.find(token).empty());

    struct Case {
        const char* name;
        Send send;
        const char* eximLog;
        std::string auth;
    };
    for (const Case& k :
         {Case{"root, spa", {false, "OSTMAIL_SMTP_PORT", user, pass, {}}, "OSTMAIL_EXIM_LOG", "A=ntlm_spa:" + user},
          Case{"root, Cyrus",
               {false, "OSTMAIL_NTLM2_SMTP_PORT", user, pass, {}},
               "OSTMAIL_NTLM2_EXIM_LOG",
               "A=ntlm_cyrus:" + user}}) {
        SCOPED_TRACE(k.name);
        token = Maildir::uniqueToken("ntlmsys-root");
        r = send(account, env, k.send, token);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.err, "UserName: root")) << r.err;
        EXPECT_TRUE(has(r.err, kPackage)) << r.err;
        EXPECT_FALSE(has(r.err, kOwn)) << r.err;
        std::string path = maildir.waitFor(token);
        ASSERT_NE(path, "");
        std::string line = arrivalLine(env.get(k.eximLog), path);
        ASSERT_NE(line, "") << "no arrival line in " << env.get(k.eximLog);
        EXPECT_EQ(authField(line), k.auth) << line;
    }

    // The package has no logged-on account behind "default" here.
    token = Maildir::uniqueToken("ntlmsys-default");
    r = send(account, env, {true, "OSTMAIL_NTLM2_SMTP_PORT", " Default ", "default", {}}, token);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(has(r.err, "UserName: SYSTEM")) << r.err;
    EXPECT_TRUE(has(r.err, kPackage)) << r.err;
    EXPECT_FALSE(has(r.err, kOwn)) << r.err;
    EXPECT_TRUE(has(r.err, "Using default NTLM credentials.")) << r.err;
    EXPECT_TRUE(maildir.find(token).empty());
}

}  // namespace
}  // namespace ostmail
