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

}  // namespace

// spa's challenge is 48 bytes, without target information: it is answered
// read strictly and leniently, and as spa knows no NTLMv2 only v1 gets in. Cyrus takes NTLMv2, with an
// empty and with an upper-case domain.
TEST(NtlmLoginTest, SpaTakesNtlmV1AndCyrusNtlmV2) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string pass = env.get("OSTMAIL_SMTP_PASSWORD");
    struct Case {
        const char* port;
        int version;
        bool lenient;
        std::string password, domain, result;
    };
    for (const Case& k : {Case{"OSTMAIL_SMTP_PORT", 1, false, pass, "", "235 "},
                          Case{"OSTMAIL_SMTP_PORT", 1, true, pass, "", "235 "},
                          Case{"OSTMAIL_SMTP_PORT", 2, true, pass, "", "535 "},
                          Case{"OSTMAIL_NTLM2_SMTP_PORT", 2, false, pass, "", "235 "},
                          Case{"OSTMAIL_NTLM2_SMTP_PORT", 2, false, pass, "WORKGROUP", "235 "},
                          Case{"OSTMAIL_NTLM2_SMTP_PORT", 2, false, "wrong", "", "535 "}}) {
        SCOPED_TRACE(std::string(k.port) + " v" + std::to_string(k.version) + (k.lenient ? " lenient " : " ") +
                     k.domain + " " + k.password);
        ClsNtlm ntlm;
        XString user = x(env.get("OSTMAIL_SMTP_USER")), password = x(k.password), ws = x("CLIENT"), domain = x(k.domain);
        ntlm.put_LenientType2(k.lenient);
        ntlm.put_UserName(user);
        ntlm.put_Password(password);
        ntlm.put_Workstation(ws);
        ntlm.put_NtlmVersion(k.version);
        if (!k.domain.empty()) ntlm.put_Domain(domain);
        Logger log;
        EXPECT_EQ(ntlmLogin(env.port(k.port), ntlm, log).substr(0, k.result.size()), k.result);
        StringBuffer text;
        log.GetText(text);
        EXPECT_EQ(text.containsSubstring("TYPE2 message is not long enough."), k.result == "bad challenge")
            << text.getString();
    }
}
