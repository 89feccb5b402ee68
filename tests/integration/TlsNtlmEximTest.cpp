// The TLS channel against the real servers over SMTP lines written by hand
// through Socket2, so that only the channel under test is our own code.
// Then NTLM against Exim's spa authenticator (a 48-byte challenge without
// target information) and a Cyrus SASL instance (a full challenge): the
// command line run as the service account SYSTEM, which uses the own
// messages (NTLMv1, the only version a login uses; NTLMv2 is checked against
// the published examples by NtlmResponsesTest), and as root, which goes
// through the security package.
#include "integration/EximCheck.h"
#include "integration/SocketSession.h"
#include "support/ScratchDir.h"

#include <unistd.h>

#include <filesystem>

namespace ostmail::itest {
namespace {

// STARTTLS on the plain port inside a SOCKS4 tunnel (every STARTTLS send of
// the other tests converts a direct connection). Certificate problems are
// named by the channel's unit test, and by SocksProxy's test and the
// command line's refusals against Exim.
TEST(TlsExim, StartTlsOnThePlainPortInsideASocksTunnel) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    ClsSocksClient proxy = socksProxy(4, env.port("OSTMAIL_SOCKS_PORT"));
    SocketSession s;
    s.channel().setTrustFolder(env.get("OSTMAIL_CA_DIR").c_str());
    s.channel().setVerbose(true);
    ASSERT_TRUE(s.connect(env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, &proxy)) << s.logText();
    EXPECT_EQ(s.reply().substr(0, 4), "220 ");
    EXPECT_TRUE(has(s.command("EHLO client.test"), "STARTTLS"));
    EXPECT_EQ(s.command("STARTTLS").substr(0, 4), "220 ");
    ASSERT_TRUE(s.sock.ConvertToTls(0, 5000, s.log, nullptr)) << s.logText();
    EXPECT_TRUE(s.sock.isTls());
    EXPECT_FALSE(s.sock.plainSocket().isConnected());
    expectLines(s.logText(), {"SSL Server Certificate verified.", "Secure Channel Established.", "EstablishChannel2",
                              "clientHandshakeLoop returning true."});
    // Inside TLS the server no longer offers STARTTLS.
    std::string ehlo = s.command("EHLO client.test");
    EXPECT_TRUE(has(ehlo, "250 ")) << ehlo;
    EXPECT_FALSE(has(ehlo, "STARTTLS")) << ehlo;
    EXPECT_EQ(s.command("QUIT").substr(0, 4), "221 ");
}

const char kOwn[] = "Using Velmora NTLM...";
const char kPackage[] = "Using Microsoft SSPI NTLM.";
const char kDenied[] = "Logon denied.  Check username, password, and domain";

// As SYSTEM the own messages log in to Cyrus, in the clear and inside
// STARTTLS with a domain, and to spa; a wrong password gets the logon-denied
// lines. As root the security package reads Cyrus's challenge (spa's: the
// command line's logins in MailManEximTest). A "default" login keeps SYSTEM
// on the package.
TEST(NtlmSystemAccount, AccountAndLoginChooseTheImplementation) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    if (::geteuid() != 0) GTEST_SKIP() << "switching to the account SYSTEM needs root";
    ASSERT_EQ(testsupport::runProgram({"/usr/bin/id", "SYSTEM"}).exitCode, 0)
        << "no account SYSTEM (scripts/servers.sh start creates it)";
    // A copy of the client where SYSTEM can run it (the build tree may sit in
    // a folder only root can enter); it links no project library, so the one
    // file is enough.
    testsupport::ScratchDir dir;
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const std::string binary = dir.path() + "/ostmail";
    fs::copy_file(std::string(OSTMAIL_BINARY_DIR) + "/ostmail", binary);
    const std::vector<std::string> asSystem = {"/usr/bin/setpriv", "--reuid=SYSTEM", "--regid=SYSTEM",
                                               "--clear-groups"};
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
        // Cyrus looks its users up under an upper-case domain.
        {false, cyrus, user, pass, {"--domain", "WORKGROUP"}, {"UserName: root", kPackage}, {kOwn}, cyrusAuth},
        {false, cyrus, user, "wrong-" + pass, {},
         {kPackage, "response: 535 Incorrect authentication data", kDenied, "NTLM authentication failed"}, {ok}, ""},
        // No MSN package is installed here: LOGIN logs in instead.
        {false, spa, user, pass, {}, {"login_method: MSN", "alt_login_method: LOGIN"}, {}, "A=login:" + user, "MSN"},
        {false, spa, " Default ", "default", {},
         {"Using default NTLM credentials.", "Failed to acquire credentials handle",
          "status_code: SEC_E_NO_CREDENTIALS", "domain: NONE", "NTLM authentication failed"},
         {}, ""},
        // The package has no logged-on account behind "default" here.
        {true, cyrus, " Default ", "default", {}, {"UserName: SYSTEM", kPackage, "Using default NTLM credentials."},
         {kOwn}, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.asSystem ? "SYSTEM " : "root ") + k.port + " " + k.user + " " + k.password +
                     k.method + (k.more.empty() ? "" : " " + k.more.back()));
        std::string token = Maildir::uniqueToken("ntlmsys");
        std::vector<std::string> more = {"--user", k.user, "--password", k.password, "--auth-method", k.method};
        more.insert(more.end(), k.more.begin(), k.more.end());
        PythonResult r = cliSend(env, env.get("OSTMAIL_TLS_HOST"), k.port, token, more,
                                 k.asSystem ? asSystem : std::vector<std::string>{}, binary);
        EXPECT_EQ(r.exitCode, k.auth.empty() ? 1 : 0) << r.err;
        expectLines(r.err, k.present, k.absent);
        std::string line = arrival(env, token, !k.auth.empty(),
                                   k.port == cyrus ? "OSTMAIL_NTLM2_EXIM_LOG" : "OSTMAIL_EXIM_LOG");
        EXPECT_EQ(authField(line), k.auth) << line;
        EXPECT_EQ(has(line, " X=TLS"), !k.auth.empty()) << "STARTTLS, asked for or not\n" << line;
    }
}

}  // namespace
}  // namespace ostmail::itest
