// The TLS channel and NTLM against the real servers, first over SMTP lines
// written by hand through Socket2, so that only the channel under test is
// our own code. NTLM meets Exim's spa authenticator (NTLMv1, a 48-byte
// challenge without target information) and a Cyrus SASL instance (NTLMv2,
// a full challenge): ClsNtlm's own messages, then the command line run as the
// service account SYSTEM, which uses the own messages, and as root, which
// goes through the security package.
#include "integration/EximCheck.h"
#include "integration/SocketSession.h"
#include "smtp/ClsNtlm.h"
#include "smtp/SmtpTestSupport.h"
#include "support/ScratchDir.h"

#include <unistd.h>

#include <filesystem>

namespace ostmail::itest {
namespace {

using smtptest::xs;

// STARTTLS on the plain port inside a SOCKS4 tunnel (every STARTTLS send of
// the other tests converts a direct connection). Then implicit TLS: a name
// mismatch warns and an expired certificate is named, and neither fails
// unless verification is required (SocksProxy's test and the channel's unit
// test fail them); an untrusted root has no name of its own.
TEST(TlsExim, StartTlsOnThePlainPortAndCertificateProblemsAreNamed) {
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

    const std::string unverified = "(warning) SSL Server Certificate not verified";
    struct Case {
        const char* port;
        bool trusted;
        std::vector<std::string> present, absent;
    };
    const std::vector<std::string> mismatch = {"CERT_E_CN_NO_MATCH", "Status = 0x800b010f", unverified};
    for (const Case& k : {Case{"OSTMAIL_WRONGNAME_SMTPS_PORT", true, mismatch, {}},
                          Case{"OSTMAIL_EXPIRED_SMTPS_PORT", true, {"CERT_E_EXPIRED"}, {}},
                          Case{"OSTMAIL_SMTPS_PORT", false, {unverified}, {"WinVerifyTrustWarning"}}}) {
        SCOPED_TRACE(std::string(k.port) + (k.trusted ? ", test CA" : ", no CA"));
        SocketSession t;
        if (k.trusted) t.trustTestCa(env, false);
        ASSERT_TRUE(t.connect(env.get("OSTMAIL_TLS_HOST"), env.port(k.port), true)) << t.logText();
        expectLines(t.logText(), k.present, k.absent);
        EXPECT_FALSE(t.channel().serverCertVerified());
        EXPECT_EQ(t.reply().substr(0, 4), "220 ");
    }
}

const char kOwn[] = "Using Velmora NTLM...";
const char kPackage[] = "Using Microsoft SSPI NTLM.";
const char kDenied[] = "Logon denied.  Check username, password, and domain";

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
        // The whole login after greeting, EHLO and AUTH NTLM.
        SocketSession c;
        ASSERT_TRUE(c.connect("127.0.0.1", env.port(k.port), false)) << c.logText();
        EXPECT_EQ(c.reply().substr(0, 4), "220 ");
        EXPECT_TRUE(has(c.command("EHLO client.test"), "NTLM"));
        EXPECT_EQ(c.command("AUTH NTLM").substr(0, 4), "334 ");
        XString type1, type3;
        ntlm.GenType1(type1, c.log);
        std::string challenge = c.command(type1.getUtf8());
        ASSERT_EQ(challenge.substr(0, 4), "334 ");
        XString type2 = xs(challenge.substr(4, challenge.find_first_of("\r\n") - 4));
        ASSERT_TRUE(ntlm.GenType3(type2, type3, c.log)) << c.logText();
        EXPECT_EQ(c.command(type3.getUtf8()).substr(0, 4), k.result);
        EXPECT_FALSE(c.logHas("TYPE2 message is not long enough.")) << c.logText();
    }
}

// A copy of the client where SYSTEM can run it (the build tree may sit in a
// folder only root can enter); it links no project library, so the one file
// is enough.
std::string copyForSystem(const testsupport::ScratchDir& dir) {
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(std::string(OSTMAIL_BINARY_DIR) + "/ostmail", dir.path() + "/ostmail");
    return dir.path() + "/ostmail";
}

// As SYSTEM the own messages (NTLMv1, the only version the session asks for)
// log in to Cyrus, in the clear and inside STARTTLS with a domain, and to
// spa; a wrong password gets the logon-denied lines. As root the security
// package reads both challenges. A "default" login keeps SYSTEM on the package.
TEST(NtlmSystemAccount, AccountAndLoginChooseTheImplementation) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    if (::geteuid() != 0) GTEST_SKIP() << "switching to the account SYSTEM needs root";
    ASSERT_EQ(testsupport::runProgram({"/usr/bin/id", "SYSTEM"}).exitCode, 0)
        << "no account SYSTEM (scripts/servers.sh start creates it)";
    testsupport::ScratchDir dir;
    const std::string binary = copyForSystem(dir);
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
        {false, spa, user, pass, {}, {"UserName: root", kPackage}, {kOwn}, spaAuth},
        {false, cyrus, user, pass, {}, {"UserName: root", kPackage}, {kOwn}, cyrusAuth},
        // Cyrus looks its users up under an upper-case domain.
        {false, cyrus, user, pass, {"--domain", "WORKGROUP"}, {kPackage}, {kOwn}, cyrusAuth},
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
        EXPECT_EQ(has(line, " X=TLS"), !k.more.empty() && k.more[0] == "--starttls") << line;
    }
}

}  // namespace
}  // namespace ostmail::itest
