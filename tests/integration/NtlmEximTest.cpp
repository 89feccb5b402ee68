// NTLM against the real servers: Exim's spa authenticator (NTLMv1, a 48-byte
// challenge without target information) and a Cyrus SASL instance (NTLMv2,
// a full challenge). First ClsNtlm's own messages over SMTP lines written by
// hand, then the command line run as the service account SYSTEM, which uses
// the own messages, and as root, which goes through the security package.
#include "integration/EximCheck.h"
#include "integration/SocketSession.h"
#include "smtp/ClsNtlm.h"
#include "smtp/SmtpTestSupport.h"
#include "support/ScratchDir.h"

#include <unistd.h>

#include <filesystem>

namespace ostmail {
namespace {

using namespace itest;
using smtptest::xs;

const char kOwn[] = "Using Velmora NTLM...";
const char kPackage[] = "Using Microsoft SSPI NTLM.";
const char kDenied[] = "Logon denied.  Check username, password, and domain";

// The whole login with ClsNtlm after greeting, EHLO and AUTH NTLM, logged
// to the session's log; returns the server's final line.
std::string ntlmLogin(SocketSession& c, int port, ClsNtlm& ntlm) {
    if (!c.connect("127.0.0.1", port, false) || c.reply().compare(0, 3, "220") != 0 ||
        c.command("EHLO client.test").find("NTLM") == std::string::npos ||
        c.command("AUTH NTLM").compare(0, 4, "334 ") != 0)
        return "no AUTH NTLM prompt";
    XString type1, type3;
    ntlm.GenType1(type1, c.log);
    std::string challenge = c.command(type1.getUtf8());
    if (challenge.compare(0, 4, "334 ") != 0) return "no challenge: " + challenge;
    XString type2 = xs(challenge.substr(4, challenge.find_first_of("\r\n") - 4));
    if (!ntlm.GenType3(type2, type3, c.log)) return "bad challenge";
    std::string result = c.command(type3.getUtf8());
    c.command("QUIT");
    return result;
}

// spa's challenge is answered read strictly and leniently, and as spa knows
// no NTLMv2 only v1 gets in. Cyrus takes NTLMv2, with an empty and with an
// upper-case domain.
TEST(NtlmLoginTest, SpaTakesNtlmV1AndCyrusNtlmV2) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const char *spa = "OSTMAIL_SMTP_PORT", *cyrus = "OSTMAIL_NTLM2_SMTP_PORT";
    struct Case {
        const char* port;
        int version;
        bool lenient;
        std::string password, domain, result;
    };
    for (const Case& k : {Case{spa, 1, false, pass, "", "235 "}, Case{spa, 1, true, pass, "", "235 "},
                          Case{spa, 2, true, pass, "", "535 "}, Case{cyrus, 2, false, pass, "", "235 "},
                          Case{cyrus, 2, false, pass, "WORKGROUP", "235 "},
                          Case{cyrus, 2, false, "wrong", "", "535 "}}) {
        SCOPED_TRACE(std::string(k.port) + " v" + std::to_string(k.version) + (k.lenient ? " lenient " : " ") +
                     k.domain + " " + k.password);
        ClsNtlm ntlm;
        ntlm.put_LenientType2(k.lenient);
        XString user = xs(env.get("OSTMAIL_SMTP_USER")), password = xs(k.password), ws = xs("CLIENT");
        XString domain = xs(k.domain);
        ntlm.put_UserName(user);
        ntlm.put_Password(password);
        ntlm.put_Workstation(ws);
        ntlm.put_NtlmVersion(k.version);
        if (!k.domain.empty()) ntlm.put_Domain(domain);
        SocketSession session;
        EXPECT_EQ(ntlmLogin(session, env.port(k.port), ntlm).substr(0, k.result.size()), k.result);
        EXPECT_FALSE(session.logHas("TYPE2 message is not long enough.")) << session.logText();
    }
}

// The client copied where SYSTEM can run it (the build tree may sit in a
// folder only root can enter), and the setpriv prefix that switches to it.
// The program links no project library, so the one file is enough.
struct SystemAccount {
    testsupport::ScratchDir dir;
    std::string binary = dir.path() + "/ostmail";
    const std::vector<std::string> prefix = {"/usr/bin/setpriv", "--reuid=SYSTEM", "--regid=SYSTEM", "--clear-groups"};

    // Why the account cannot be used; "" when it can.
    std::string prepare() {
        namespace fs = std::filesystem;
        if (testsupport::runProgram({"/usr/bin/id", "SYSTEM"}).exitCode != 0)
            return "no account SYSTEM (scripts/servers.sh start creates it)";
        std::error_code ec;
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, ec);
        if (!ec) fs::copy_file(std::string(OSTMAIL_BINARY_DIR) + "/ostmail", binary, ec);
        if (ec) return "cannot copy the client to " + dir.path() + ": " + ec.message();
        return "";
    }
};

// As SYSTEM the own messages (NTLMv1, the only version the session asks for)
// log in to Cyrus, in the clear and inside STARTTLS with a domain, and to
// spa; a wrong password gets the logon-denied lines. As root the security
// package reads both challenges. A "default" login keeps SYSTEM on the package.
TEST(NtlmSystemAccount, AccountAndLoginChooseTheImplementation) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    if (::geteuid() != 0) GTEST_SKIP() << "switching to the account SYSTEM needs root";
    SystemAccount account;
    ASSERT_EQ(account.prepare(), "");
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    const char *spa = "OSTMAIL_SMTP_PORT", *cyrus = "OSTMAIL_NTLM2_SMTP_PORT";
    const std::string spaAuth = "A=ntlm_spa:" + user, cyrusAuth = "A=ntlm_cyrus:" + user;
    const std::string ok = "NTLM authentication succeeded.";
    struct Case {
        bool asSystem;
        const char* port;
        std::string user, password;
        std::vector<std::string> more, present, absent;
        std::string auth;  // empty: refused
        std::string method = "NTLM";
    };
    const Case cases[] = {
        {true, cyrus, user, pass, {}, {"UserName: SYSTEM", kOwn, "NtlmVersion: 1", ok}, {kPackage}, cyrusAuth},
        {true, cyrus, user, pass, {"--starttls", "--domain", "WORKGROUP"},
         {"UserName: SYSTEM", kOwn, "NtlmVersion: 1", ok}, {kPackage}, cyrusAuth},
        {true, cyrus, user, "wrong-" + pass, {},
         {kOwn, "response: 535 Incorrect authentication data", kDenied, "NTLM authentication failed",
          "Failed to login using NTLM method"},
         {ok}, ""},
        {true, spa, user, pass, {}, {kOwn, ok}, {kPackage, "TYPE2 message is not long enough."}, spaAuth},
        {false, spa, user, pass, {}, {"UserName: root", kPackage}, {kOwn}, spaAuth},
        {false, cyrus, user, pass, {}, {"UserName: root", kPackage}, {kOwn}, cyrusAuth},
        // Cyrus looks its users up under an upper-case domain.
        {false, cyrus, user, pass, {"--domain", "WORKGROUP"}, {kPackage}, {kOwn}, cyrusAuth},
        {false, cyrus, user, "wrong-" + pass, {},
         {kPackage, "response: 535 Incorrect authentication data", kDenied, "NTLM authentication failed"}, {ok}, ""},
        // No MSN package is installed here: LOGIN logs in instead.
        {false, spa, user, pass, {}, {"login_method: MSN", "alt_login_method: LOGIN"}, {}, "A=login:" + user, "MSN"},
        {false, spa, " Default ", "default", {},
         {"Using default NTLM credentials.", "Failed to acquire credentials handle", "status_code: SEC_E_NO_CREDENTIALS",
          "domain: NONE", "NTLM authentication failed"}, {}, ""},
        // The package has no logged-on account behind "default" here.
        {true, cyrus, " Default ", "default", {}, {"UserName: SYSTEM", kPackage, "Using default NTLM credentials."},
         {kOwn}, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.asSystem ? "SYSTEM " : "root ") + k.port + " " + k.user + " " + k.password +
                     k.method + (k.more.empty() ? "" : " " + k.more.back()));
        std::string token = Maildir::uniqueToken("ntlmsys");
        std::vector<std::string> argv = k.asSystem ? account.prefix : std::vector<std::string>{};
        argv.push_back(account.binary);
        for (std::vector<std::string> part : {sendArgs(env.get("OSTMAIL_TLS_HOST"), portOf(env, k.port), token),
                                              {"--user", k.user, "--password", k.password, "--auth-method", k.method},
                                              k.more})
            argv.insert(argv.end(), part.begin(), part.end());
        PythonResult r = testsupport::runProgram(argv);
        EXPECT_EQ(r.exitCode, k.auth.empty() ? 1 : 0) << r.err;
        expectLines(r.err, k.present, k.absent);
        std::string line = expectArrival(env, token, !k.auth.empty(),
                                         k.port == cyrus ? "OSTMAIL_NTLM2_EXIM_LOG" : "OSTMAIL_EXIM_LOG");
        EXPECT_EQ(authField(line), k.auth) << line;
        EXPECT_EQ(has(line, " X=TLS"), !k.more.empty() && k.more[0] == "--starttls") << line;
    }
}

}  // namespace
}  // namespace ostmail
