// The TLS channel against the test Exim: STARTTLS and the certificate
// warnings, with the SMTP lines written by hand over Socket2.
#include "integration/EximCheck.h"
#include "integration/SocketSession.h"

namespace ostmail {
namespace {

using namespace itest;
using Session = SocketSession;

// STARTTLS on the plain port inside a SOCKS4 tunnel (every STARTTLS send of
// the other tests converts a direct connection).
TEST(TlsExim, StartTlsOnThePlainPort) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    ClsSocksClient proxy = socksProxy(4, env.port("OSTMAIL_SOCKS_PORT"));
    Session s;
    s.channel().setTrustFolder(env.get("OSTMAIL_CA_DIR").c_str());
    s.channel().setVerbose(true);
    ASSERT_TRUE(s.connect(env.get("OSTMAIL_TLS_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, &proxy)) << s.logText();
    EXPECT_EQ(s.reply().substr(0, 4), "220 ");
    EXPECT_TRUE(has(s.command("EHLO client.test"), "STARTTLS"));
    EXPECT_EQ(s.code("STARTTLS"), "220");
    ASSERT_TRUE(s.sock.ConvertToTls(0, 5000, s.log, nullptr)) << s.logText();
    EXPECT_TRUE(s.sock.isTls());
    EXPECT_FALSE(s.sock.plainSocket().isConnected());
    expectLines(s.logText(), {"SSL Server Certificate verified.", "Secure Channel Established.", "EstablishChannel2",
                              "clientHandshakeLoop returning true."});
    // Inside TLS the server no longer offers STARTTLS.
    std::string ehlo = s.command("EHLO client.test");
    EXPECT_TRUE(has(ehlo, "250 ")) << ehlo;
    EXPECT_FALSE(has(ehlo, "STARTTLS")) << ehlo;
    EXPECT_EQ(s.code("QUIT"), "221");
}

// A name mismatch warns and an expired certificate is named, and neither
// fails unless verification is required (SocksProxy's test and the channel's
// unit test fail them); an untrusted root has no name of its own.
TEST(TlsExim, CertificateProblemsAreNamed) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
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
        Session s;
        if (k.trusted) s.trustTestCa(env, false);
        ASSERT_TRUE(s.connect(env.get("OSTMAIL_TLS_HOST"), env.port(k.port), true)) << s.logText();
        expectLines(s.logText(), k.present, k.absent);
        EXPECT_FALSE(s.channel().serverCertVerified());
        EXPECT_EQ(s.reply().substr(0, 4), "220 ");
    }
}

}  // namespace
}  // namespace ostmail
