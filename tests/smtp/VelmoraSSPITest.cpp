#include "core/Logger.h"
#include "smtp/PackageExchange.h"
#include "smtp/VelmoraSSPI.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostmail;

namespace {

XString x(const char* s) {
    XString v;
    v.setFromUtf8(s);
    return v;
}

// Counts the tokens a handshake tries to send; never answers.
class CountingPeer : public PackageExchange {
public:
    bool exchangePackage(const DataBuffer&, DataBuffer&, LogBase&) override { return ++calls, false; }
    bool sendFinal(const DataBuffer&, LogBase&) override { return ++calls, false; }
    int calls = 0;
};

std::string text(Logger& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

}  // namespace

// Failures before the first token leave the connection untouched. The one
// package is "NTLM", found whatever the case of its name.
TEST(VelmoraSspiTest, NothingIsSentWithoutCredentialsOrPackage) {
    EXPECT_EQ(VelmoraSSPI().packageIndex("nTlM"), 0);
    EXPECT_EQ(VelmoraSSPI().packageIndex("Negotiate"), -1);
    XString none, user = x("User"), password = x("Password");
    {
        VelmoraSSPI sspi;
        ASSERT_TRUE(sspi.choosePackage(0));
        CountingPeer peer;
        Logger log;
        EXPECT_FALSE(sspi.authenticate(none, user, none, peer, log));
        EXPECT_NE(text(log).find("No username and/or password for SSPI authenticate."), std::string::npos);
        EXPECT_EQ(peer.calls, 0);
    }
    {
        VelmoraSSPI unchosen;
        CountingPeer peer;
        Logger log;
        EXPECT_FALSE(unchosen.authenticate(none, user, password, peer, log));
        std::string t = text(log);
        EXPECT_NE(t.find("Failed to acquire credentials handle"), std::string::npos) << t;
        EXPECT_NE(t.find("SEC_E_SECPKG_NOT_FOUND"), std::string::npos) << t;
        EXPECT_EQ(peer.calls, 0);
    }
}
