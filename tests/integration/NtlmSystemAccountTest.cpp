// AUTH NTLM from the command line run as the service account SYSTEM, where
// the own NTLM messages are used, against Exim's spa authenticator and the
// Cyrus instance; the same commands as root go through the security package.
// Which authenticator took the login is read from Exim's arrival lines.
#include "integration/EximCheck.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace ostmail {
namespace {

namespace fs = std::filesystem;
using namespace itest;
using testsupport::Maildir;
using testsupport::PythonResult;
using testsupport::runProgram;
using testsupport::ScratchDir;
using testsupport::TestEnv;

const char kOwn[] = "Using Velmora NTLM...";
const char kPackage[] = "Using Microsoft SSPI NTLM.";
const char kDenied[] = "Logon denied.  Check username, password, and domain";

// The client copied where SYSTEM can run it (the build tree may sit in a
// folder only root can enter), and the setpriv prefix that switches to it.
// The program links no project library, so the one file is enough.
struct SystemAccount {
    ScratchDir dir;
    std::string binary = dir.path() + "/ostmail";
    std::vector<std::string> prefix;

    // Why the account cannot be used; "" when it can.
    std::string prepare() {
        PythonResult uid = runProgram({"/usr/bin/id", "-u", "SYSTEM"}), gid = runProgram({"/usr/bin/id", "-g", "SYSTEM"});
        if (uid.exitCode != 0 || gid.exitCode != 0) return "no account SYSTEM (scripts/servers.sh start creates it)";
        std::error_code ec;
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, ec);
        if (!ec) fs::copy_file(std::string(OSTMAIL_BINARY_DIR) + "/ostmail", binary, ec);
        if (ec) return "cannot copy the client to " + dir.path() + ": " + ec.message();
        prefix = {"/usr/bin/setpriv", "--reuid=" + uid.out.substr(0, uid.out.find('\n')),
                  "--regid=" + gid.out.substr(0, gid.out.find('\n')), "--clear-groups"};
        return "";
    }
};

// Skips unless root (only root can switch accounts); fails when the account
// or the copy is missing.
#define OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(var)                                             \
    if (::geteuid() != 0) GTEST_SKIP() << "switching to the account SYSTEM needs root"; \
    SystemAccount var;                                                                  \
    ASSERT_EQ(var.prepare(), "")

struct Send {
    bool asSystem;
    std::string portKey;
    std::string user, password;
    std::vector<std::string> more;
};

PythonResult send(const SystemAccount& account, const TestEnv& env, const Send& s, const std::string& token) {
    std::vector<std::string> argv = s.asSystem ? account.prefix : std::vector<std::string>{};
    argv.push_back(account.binary);
    const std::vector<std::string> args = {
        "send", "--server", env.get("OSTMAIL_TLS_HOST"), "--port", std::to_string(env.port(s.portKey)),
        "--from", "service@example.test", "--to", "inbox@example.test", "--subject", token,
        "--body", "sent by a service", "--user", s.user, "--password", s.password,
        "--auth-method", "NTLM", "--verbose"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), s.more.begin(), s.more.end());
    return runProgram(argv);
}

// The log lines of one run, those expected and those that must be missing.
void expectLines(const PythonResult& r, int exitCode, std::initializer_list<const char*> present,
                 std::initializer_list<const char*> absent) {
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    for (const char* line : present) EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
    for (const char* line : absent) EXPECT_FALSE(has(r.err, line)) << line << "\n" << r.err;
}

// Cyrus answers with a full challenge: the own messages (NTLMv1, the only
// version the session asks for) log in, in the clear and inside STARTTLS,
// with and without a domain; a wrong password gets the logon-denied lines.
TEST(NtlmSystemAccount, OwnMessagesLogInToCyrus) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(account);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const std::string port = "OSTMAIL_NTLM2_SMTP_PORT";
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "STARTTLS with domain" : "plain");
        std::string token = Maildir::uniqueToken("ntlmsys");
        std::vector<std::string> more;
        if (tls) more = {"--starttls", "--domain", "WORKGROUP"};
        expectLines(send(account, env, {true, port, user, pass, more}, token), 0,
                    {"UserName: SYSTEM", kOwn, "NtlmVersion: 1", "NTLM authentication succeeded."}, {kPackage});
        std::string line = arrival(env, token, "OSTMAIL_NTLM2_EXIM_LOG");
        EXPECT_EQ(authField(line), "A=ntlm_cyrus:" + user) << line;
        EXPECT_EQ(has(line, " X=TLS"), tls) << line;
    }

    std::string token = Maildir::uniqueToken("ntlmsys-denied");
    expectLines(send(account, env, {true, port, user, "wrong-" + pass, {}}, token), 1,
                {kOwn, "response: 535 Incorrect authentication data", kDenied, "NTLM authentication failed",
                 "Failed to login using NTLM method"},
                {"NTLM authentication succeeded."});
    EXPECT_TRUE(Maildir(env.get("OSTMAIL_MAILDIR")).find(token).empty());
}

// Exim's spa sends a 48-byte challenge without target information: the own
// messages and root's security package both read it and log in. A "default"
// login keeps SYSTEM on the package.
TEST(NtlmSystemAccount, AccountAndLoginChooseTheImplementation) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    OSTMAIL_REQUIRE_SYSTEM_ACCOUNT(account);
    Maildir maildir(env.get("OSTMAIL_MAILDIR"));
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");

    std::string token = Maildir::uniqueToken("ntlmsys-spa");
    expectLines(send(account, env, {true, "OSTMAIL_SMTP_PORT", user, pass, {}}, token), 0,
                {kOwn, "NTLM authentication succeeded."}, {kPackage, "TYPE2 message is not long enough."});
    EXPECT_EQ(authField(arrival(env, token)), "A=ntlm_spa:" + user);

    for (bool cyrus : {false, true}) {
        SCOPED_TRACE(cyrus ? "root, Cyrus" : "root, spa");
        token = Maildir::uniqueToken("ntlmsys-root");
        expectLines(send(account, env, {false, cyrus ? "OSTMAIL_NTLM2_SMTP_PORT" : "OSTMAIL_SMTP_PORT", user, pass, {}},
                         token),
                    0, {"UserName: root", kPackage}, {kOwn});
        std::string line = arrival(env, token, cyrus ? "OSTMAIL_NTLM2_EXIM_LOG" : "OSTMAIL_EXIM_LOG");
        EXPECT_EQ(authField(line), (cyrus ? "A=ntlm_cyrus:" : "A=ntlm_spa:") + user) << line;
    }

    // The package has no logged-on account behind "default" here.
    token = Maildir::uniqueToken("ntlmsys-default");
    expectLines(send(account, env, {true, "OSTMAIL_NTLM2_SMTP_PORT", " Default ", "default", {}}, token), 1,
                {"UserName: SYSTEM", kPackage, "Using default NTLM credentials."}, {kOwn});
    EXPECT_TRUE(maildir.find(token).empty());
}

}  // namespace
}  // namespace ostmail
