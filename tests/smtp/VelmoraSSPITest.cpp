#include "core/Logger.h"
#include "smtp/NtlmTestSupport.h"
#include "smtp/PackageExchange.h"
#include "smtp/VelmoraSSPI.h"

#include <gtest/gtest.h>

using namespace ostmail;
using namespace ntlmtest;

namespace {

XString x(const char* s) {
    XString v;
    v.setFromUtf8(s);
    return v;
}

// A server that answers the first token with a scripted challenge and
// records what it was sent.
class ScriptedPeer : public PackageExchange {
public:
    bool exchangePackage(const DataBuffer& toSend, DataBuffer& received, LogBase&) override {
        sent.emplace_back(toSend.getData(), toSend.getData() + toSend.getSize());
        if (!answerExchange) return false;
        received.append(challenge.data(), challenge.size());
        return true;
    }
    bool sendFinal(const DataBuffer& toSend, LogBase&) override {
        sent.emplace_back(toSend.getData(), toSend.getData() + toSend.getSize());
        ++finals;
        return acceptFinal;
    }
    Bytes challenge;
    bool answerExchange = true;
    bool acceptFinal = true;
    std::vector<Bytes> sent;
    int finals = 0;
};

std::string text(Logger& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

bool has(const std::string& haystack, const char* needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace

TEST(VelmoraSspiTest, OffersNtlmOnly) {
    VelmoraSSPI sspi;
    EXPECT_EQ(sspi.numPackages(), 1);
    EXPECT_EQ(sspi.packageIndex("nTlM"), 0);
    EXPECT_EQ(sspi.packageIndex("MSN"), -1);
    EXPECT_EQ(sspi.packageIndex("Negotiate"), -1);
    StringBuffer name("untouched");
    EXPECT_TRUE(sspi.packageName(0, name));
    EXPECT_STREQ(name.getString(), "NTLM");
    EXPECT_FALSE(sspi.packageComment(1, name));
    EXPECT_STREQ(name.getString(), "NTLM");
    EXPECT_FALSE(sspi.choosePackage(-1));
}

TEST(VelmoraSspiTest, HandshakeSendsType1ThenType3) {
    VelmoraSSPI sspi;
    ASSERT_TRUE(sspi.choosePackage(0));
    ScriptedPeer peer;
    // Without target information, 48 bytes, as some servers send it.
    Bytes challenge = type2(0x00008201, unhex("0123456789abcdef"), Bytes(), Bytes());
    challenge.resize(48);
    peer.challenge = challenge;
    XString domain = x("CORP"), user = x("User"), password = x("Password");
    Logger log;
    EXPECT_TRUE(sspi.authenticate(domain, user, password, peer, log)) << text(log);
    ASSERT_EQ(peer.sent.size(), 2u);
    EXPECT_EQ(u32(peer.sent[0], 8), 1u);
    EXPECT_EQ(str(payload(peer.sent[0], 16)), "CORP");
    const Bytes& t3 = peer.sent[1];
    EXPECT_EQ(u32(t3, 8), 3u);
    EXPECT_EQ(payload(t3, 36), utf16("User"));
    EXPECT_EQ(payload(t3, 28), utf16("CORP"));
    // NTLMv1 of MS-NLMP 4.2.2: the same password and server challenge.
    EXPECT_EQ(hex(payload(t3, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");

    // A refused final token is the handshake's result.
    peer.sent.clear();
    peer.acceptFinal = false;
    EXPECT_FALSE(sspi.authenticate(domain, user, password, peer, log));
    EXPECT_EQ(peer.finals, 2);
}

TEST(VelmoraSspiTest, FailuresLogTheirLines) {
    VelmoraSSPI sspi;
    ASSERT_TRUE(sspi.choosePackage(0));
    XString none, user = x("User"), password = x("Password"), def = x(" Default "), empty;

    {  // no logged-on account to stand in for "default"
        ScriptedPeer peer;
        Logger log;
        EXPECT_FALSE(sspi.authenticate(none, def, def, peer, log));
        std::string t = text(log);
        EXPECT_TRUE(has(t, "Using default NTLM credentials.")) << t;
        EXPECT_TRUE(has(t, "Failed to acquire credentials handle")) << t;
        EXPECT_TRUE(has(t, "SEC_E_NO_CREDENTIALS")) << t;
        EXPECT_TRUE(has(t, "NONE")) << t;
        EXPECT_TRUE(peer.sent.empty());
    }
    {
        ScriptedPeer peer;
        Logger log;
        EXPECT_FALSE(sspi.authenticate(none, user, empty, peer, log));
        EXPECT_TRUE(has(text(log), "No username and/or password for SSPI authenticate."));
        EXPECT_TRUE(peer.sent.empty());
    }
    {
        ScriptedPeer peer;
        peer.answerExchange = false;
        Logger log;
        EXPECT_FALSE(sspi.authenticate(none, user, password, peer, log));
        EXPECT_TRUE(has(text(log), "VelmoraSSPI.authenticate: exchange failed"));
        EXPECT_EQ(peer.finals, 0);
    }
    {  // a challenge too short even for the package
        ScriptedPeer peer;
        peer.challenge = type2(0x201, unhex("0123456789abcdef"), Bytes(), Bytes());
        peer.challenge.resize(31);
        Logger log;
        EXPECT_FALSE(sspi.authenticate(none, user, password, peer, log));
        std::string t = text(log);
        EXPECT_TRUE(has(t, "VelmoraSSPI.authenticate: failed to prepare next package")) << t;
        EXPECT_TRUE(has(t, "statusCode")) << t;
        EXPECT_TRUE(has(t, "Finished and NOT authenticated")) << t;
        EXPECT_EQ(peer.finals, 0);
    }
    {
        VelmoraSSPI unchosen;
        ScriptedPeer peer;
        Logger log;
        EXPECT_FALSE(unchosen.authenticate(none, user, password, peer, log));
        EXPECT_TRUE(has(text(log), "SEC_E_SECPKG_NOT_FOUND"));
    }
}
