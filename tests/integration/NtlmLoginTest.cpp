// ClsNtlm's own messages against the real servers of the test setup: Exim's
// spa authenticator (NTLMv1) and a Cyrus SASL instance (NTLMv2). The SMTP
// lines are written by hand, so that only the NTLM messages come from the
// client; the session's own AUTH NTLM is tested with the SMTP layer.

#include "integration/SocketSession.h"
#include "smtp/ClsNtlm.h"

#include <gtest/gtest.h>

using namespace ostmail;

namespace {

XString x(const std::string& s) {
    XString v;
    v.setFromUtf8(s.c_str());
    return v;
}

// The whole login with ClsNtlm after greeting, EHLO and AUTH NTLM; returns
// the server's final line.
std::string ntlmLogin(int port, ClsNtlm& ntlm, LogBase& log) {
    itest::SocketSession c;
    if (!c.connect("127.0.0.1", port, false) || c.reply().compare(0, 3, "220") != 0 ||
        c.command("EHLO client.test").find("NTLM") == std::string::npos ||
        c.command("AUTH NTLM").compare(0, 4, "334 ") != 0)
        return "no AUTH NTLM prompt";
    XString type1, type3;
    ntlm.GenType1(type1, log);
    std::string challenge = c.command(type1.getUtf8());
    if (challenge.compare(0, 4, "334 ") != 0) return "no challenge: " + challenge;
    XString type2 = x(challenge.substr(4, challenge.find_first_of("\r\n") - 4));
    if (!ntlm.GenType3(type2, type3, log)) return "bad challenge";
    std::string result = c.command(type3.getUtf8());
    c.command("QUIT");
    return result;
}

std::string ntlmLogin(int port, ClsNtlm& ntlm) {
    LogNull log;
    return ntlmLogin(port, ntlm, log);
}

ClsNtlm* configured(ClsNtlm& ntlm, const std::string& user, const std::string& password, int version,
                    bool lenient = false) {
    XString u = x(user), p = x(password), ws = x("CLIENT");
    ntlm.put_LenientType2(lenient);
    ntlm.put_UserName(u);
    ntlm.put_Password(p);
    ntlm.put_Workstation(ws);
    ntlm.put_NtlmVersion(version);
    return &ntlm;
}

}  // namespace

TEST(NtlmLoginTest, EximSpaChallengeIsShortAndTakesNtlmV1Only) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_SMTP_PORT");
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");

    // spa's challenge is 48 bytes, without target information: the strict
    // reader refuses it before anything is sent.
    ClsNtlm strict;
    Logger log;
    EXPECT_EQ(ntlmLogin(port, *configured(strict, user, pass, 1), log), "bad challenge");
    StringBuffer text;
    log.GetText(text);
    EXPECT_TRUE(text.containsSubstring("TYPE2 message is not long enough.")) << text.getString();

    // Read leniently it is answered; spa knows no NTLMv2, so only v1 gets in.
    ClsNtlm v1, v2;
    EXPECT_EQ(ntlmLogin(port, *configured(v1, user, pass, 1, true)).substr(0, 4), "235 ");
    EXPECT_EQ(ntlmLogin(port, *configured(v2, user, pass, 2, true)).substr(0, 4), "535 ");
}

TEST(NtlmLoginTest, CyrusTakesNtlmV2WithEmptyAndUpperCaseDomain) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_NTLM2_SMTP_PORT");
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");

    ClsNtlm good, upper, bad;
    EXPECT_EQ(ntlmLogin(port, *configured(good, user, pass, 2)).substr(0, 4), "235 ");
    XString domain = x("WORKGROUP");
    configured(upper, user, pass, 2)->put_Domain(domain);
    EXPECT_EQ(ntlmLogin(port, upper).substr(0, 4), "235 ");
    EXPECT_EQ(ntlmLogin(port, *configured(bad, user, "wrong", 2)).substr(0, 4), "535 ");
}
