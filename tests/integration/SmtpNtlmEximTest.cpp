// AUTH NTLM and AUTH MSN through the SMTP session against the real servers.

#include "smtp/SmtpConnImpl.h"
#include "smtp/SmtpTestSupport.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using smtptest::Client;
using smtptest::xs;

bool login(Client& c, int port, const std::string& user, const std::string& password, const std::string& domain,
           const std::string& method) {
    return c.conn.smtpConnect("127.0.0.1", port, xs(user), xs(password), xs(domain), xs(method), 5, 5000, nullptr,
                              c.log, nullptr, c.timedOut, c.aborted);
}

}  // namespace

// Forced NTLM against Exim's spa (NTLMv1) and Cyrus: the right password is
// taken, a wrong one is refused with the logon-denied lines.
TEST(SmtpNtlm, ForcedNtlmAgainstRealServers) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    std::string user = env.get("OSTMAIL_SMTP_USER"), pass = env.get("OSTMAIL_SMTP_PASSWORD");
    for (const char* key : {"OSTMAIL_SMTP_PORT", "OSTMAIL_NTLM2_SMTP_PORT"}) {
        SCOPED_TRACE(key);
        Client good, bad;
        EXPECT_TRUE(login(good, env.port(key), user, pass, "", "NTLM")) << good.log.text();
        EXPECT_TRUE(good.log.has("D: login_method=NTLM"));
        EXPECT_FALSE(login(bad, env.port(key), user, "wrong-" + pass, "", "NTLM"));
        for (const char* line : {"D: response=535 Incorrect authentication data",
                                 "E: Logon denied.  Check username, password, and domain",
                                 "E: NTLM authentication failed", "I: Failed to login using NTLM method"})
            EXPECT_TRUE(bad.log.has(line)) << line << "\n" << bad.log.text();
    }
    // An upper-case domain is what Cyrus looks its users up under.
    Client c;
    EXPECT_TRUE(login(c, env.port("OSTMAIL_NTLM2_SMTP_PORT"), user, pass, "WORKGROUP", "NTLM")) << c.log.text();
}

// No MSN package is installed here: LOGIN logs in instead, and the
// "default" account has no credentials behind it.
TEST(SmtpNtlm, MsnFallsBackToLoginAndDefaultAccountFails) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    int port = env.port("OSTMAIL_SMTP_PORT");
    Client msn, dflt;
    EXPECT_TRUE(login(msn, port, env.get("OSTMAIL_SMTP_USER"), env.get("OSTMAIL_SMTP_PASSWORD"), "", "MSN"))
        << msn.log.text();
    EXPECT_TRUE(msn.log.has("D: login_method=MSN"));
    EXPECT_TRUE(msn.log.has("D: alt_login_method=LOGIN"));
    EXPECT_FALSE(login(dflt, port, " Default ", "default", "", "NTLM"));
    for (const char* line : {"I: Using default NTLM credentials.", "E: Failed to acquire credentials handle",
                             "D: status_code=SEC_E_NO_CREDENTIALS", "D: domain=NONE", "E: NTLM authentication failed"})
        EXPECT_TRUE(dflt.log.has(line)) << line << "\n" << dflt.log.text();
}

}  // namespace ostmail
