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
        int port = env.port(key);
        {
            Client c;
            EXPECT_TRUE(login(c, port, user, pass, "", "NTLM")) << key << "\n" << c.log.text();
            EXPECT_TRUE(c.log.has("D: login_method=NTLM")) << key;
        }
        {
            Client c;
            EXPECT_FALSE(login(c, port, user, "wrong-" + pass, "", "NTLM")) << key;
            EXPECT_TRUE(c.log.has("D: response=535 Incorrect authentication data")) << key << "\n" << c.log.text();
            EXPECT_TRUE(c.log.has("E: Logon denied.  Check username, password, and domain")) << key;
            EXPECT_TRUE(c.log.has("E: NTLM authentication failed")) << key;
            EXPECT_TRUE(c.log.has("I: Failed to login using NTLM method")) << key;
        }
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
    {
        Client c;
        EXPECT_TRUE(login(c, port, env.get("OSTMAIL_SMTP_USER"), env.get("OSTMAIL_SMTP_PASSWORD"), "", "MSN"))
            << c.log.text();
        EXPECT_TRUE(c.log.has("D: login_method=MSN"));
        EXPECT_TRUE(c.log.has("D: alt_login_method=LOGIN"));
    }
    {
        Client c;
        EXPECT_FALSE(login(c, port, " Default ", "default", "", "NTLM"));
        EXPECT_TRUE(c.log.has("I: Using default NTLM credentials."));
        EXPECT_TRUE(c.log.has("E: Failed to acquire credentials handle"));
        EXPECT_TRUE(c.log.has("D: status_code=SEC_E_NO_CREDENTIALS"));
        EXPECT_TRUE(c.log.has("D: domain=NONE"));
        EXPECT_TRUE(c.log.has("E: NTLM authentication failed"));
    }
}

}  // namespace ostmail
