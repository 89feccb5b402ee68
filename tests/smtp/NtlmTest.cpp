// NTLM messages and responses, and AUTH NTLM through the SMTP session
// against the scripted peer (the real servers: tests/integration).
#include "core/ContentCoding.h"
#include "core/Logger.h"
#include "platform/SspiPackages.h"
#include "smtp/ClsNtlm.h"
#include "smtp/NtlmResponses.h"
#include "smtp/NtlmTestSupport.h"
#include "smtp/PackageExchange.h"
#include "smtp/SmtpTestSupport.h"
#include "smtp/VelmoraSSPI.h"

#include <cstring>

using namespace ostmail;
using namespace ntlmtest;
using namespace ostmail::smtptest;

namespace {

// The common values of MS-NLMP 4.2.1.
const char kServerChallenge[] = "0123456789abcdef";
const char kClientChallenge[] = "aaaaaaaaaaaaaaaa";

DataBuffer toDb(const Bytes& b) {
    DataBuffer d;
    d.append(b.data(), b.size());
    return d;
}

Bytes toBytes(const DataBuffer& d) { return Bytes(d.getData(), d.getData() + d.getSize()); }

void setExampleCredentials(ClsNtlm& ntlm) {
    XString user = xs("User"), domain = xs("Domain"), password = xs("Password"), ws = xs("COMPUTER");
    ntlm.put_UserName(user);
    ntlm.put_Domain(domain);
    ntlm.put_Password(password);
    ntlm.put_Workstation(ws);
    DataBuffer cc = toDb(unhex(kClientChallenge));
    ntlm.put_ClientChallenge(cc);
}

Bytes type3For(ClsNtlm& ntlm, uint32_t serverFlags, const Bytes& info = exampleTargetInfo()) {
    DataBuffer in = toDb(type2(serverFlags, unhex(kServerChallenge), Bytes(), info)), out;
    LogNull log;
    EXPECT_TRUE(ntlm.genType3Bytes(in, out, log));
    return toBytes(out);
}

// Counts the tokens a handshake tries to send; never answers.
class CountingPeer : public PackageExchange {
public:
    bool exchangePackage(const DataBuffer&, DataBuffer&, LogBase&) override { return ++calls, false; }
    bool sendFinal(const DataBuffer&, LogBase&) override { return ++calls, false; }
    int calls = 0;
};

std::string logText(Logger& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

}  // namespace

// MS-NLMP 4.2.2 and 4.2.3: NTLMv1 with and without the NTLM2 session
// response, and the LM copy a server asks for with the NT-only flag.
TEST(NtlmResponsesTest, NtlmV1MatchesPublishedExamples) {
    ClsNtlm ntlm;
    setExampleCredentials(ntlm);
    const std::string v1 = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
    const std::pair<uint32_t, std::string> cases[] = {
        {0x00000201, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13" + v1},
        {0x00080201,
         "aaaaaaaaaaaaaaaa00000000000000000000000000000000" "7537f803ae367128ca458204bde7caf81e97ed2683267232"},
        {0x00000601, v1 + v1},
    };
    for (auto& c : cases) {
        Bytes m = type3For(ntlm, c.first);
        EXPECT_EQ(hex(payload(m, 12)) + hex(payload(m, 20)), c.second) << std::hex << c.first;
    }
}

// MS-NLMP 4.2.4: NTLMv2 with the zero time stamp of the example.
TEST(NtlmResponsesTest, NtlmV2MatchesPublishedExample) {
    ClsNtlm ntlm;
    setExampleCredentials(ntlm);
    ntlm.put_NtlmVersion(2);
    ntlm.put_FixedTimestamp(0);
    Bytes info = exampleTargetInfo();
    Bytes m = type3For(ntlm, 0x00088201, info);

    EXPECT_EQ(hex(payload(m, 12)), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
    // The proof, then the blob: header, time stamp, client challenge, the server's target info.
    EXPECT_EQ(hex(payload(m, 20)), "68cd0ab851e51c96aabc927bebef6a1c" "0101000000000000" "0000000000000000"
                                   "aaaaaaaaaaaaaaaa" "00000000" + hex(info) + "00000000");

    XString v;
    ntlm.get_NetBiosDomainName(v);
    EXPECT_STREQ(v.getUtf8(), "Domain");
    ntlm.get_NetBiosComputerName(v);
    EXPECT_STREQ(v.getUtf8(), "Server");
}

// The published LM hash of "Password" is behind the NTLMv1 LM response above.
TEST(NtlmResponsesTest, LmHashUsesFirstFourteenOemBytesOfUpperCasedPassword) {
    unsigned char a[16], b[16];
    XString longer = xs("abcdefghijklmnXYZ"), cut = xs("ABCDEFGHIJKLMN"), other = xs("abcdefghijklmZ");
    NtlmResponses::lmHash(longer, 437, a);
    NtlmResponses::lmHash(cut, 437, b);
    EXPECT_EQ(0, std::memcmp(a, b, 16));
    NtlmResponses::lmHash(other, 437, b);
    EXPECT_NE(0, std::memcmp(a, b, 16));
}

TEST(NtlmMessageTest, Type1LayoutWithWorkstationAndWithDomainAndVersion) {
    ClsNtlm ntlm;
    XString ws = xs("WS01"), b64;
    ntlm.put_Workstation(ws);
    LogNull log;
    ASSERT_TRUE(ntlm.GenType1(b64, log));
    DataBuffer raw;
    ContentCoding::decodeBase64(b64.getUtf8(), std::strlen(b64.getUtf8()), raw);
    // Signature, type, flags, an empty domain, the workstation right after the header.
    EXPECT_EQ(hex(toBytes(raw)), "4e544c4d53535000" "01000000" "07a20800" "0000000000000000" "0400040020000000"
                                 "57533031");

    XString domain = xs("CORP");
    ntlm.put_Domain(domain);
    ntlm.SetFlag(ClsNtlm::kFlagVersion, true);
    ASSERT_TRUE(ntlm.genType1Bytes(raw, log));
    // Two more flags, and version 6.1.7601 between the header and the payloads.
    EXPECT_EQ(hex(toBytes(raw)), "4e544c4d53535000" "01000000" "07b20802" "0400040028000000" "040004002c000000"
                                 "0601b11d0000000f" "434f5250" "57533031");
}

TEST(NtlmMessageTest, Type3LayoutUnicodeAndOem) {
    ClsNtlm ntlm;
    setExampleCredentials(ntlm);
    Bytes m = type3For(ntlm, 0xe2888215);  // a typical server's flags
    EXPECT_EQ(hex(Bytes(m.begin(), m.begin() + 12)), "4e544c4d53535000" "03000000");
    EXPECT_EQ(u32(m, 60), 0x00088207u & 0xe2888215u);
    SecBuf key = secBuf(m, 52);
    EXPECT_EQ(key.len + key.maxLen + key.offset, 0u);
    EXPECT_EQ(payload(m, 28), utf16("Domain"));
    EXPECT_EQ(payload(m, 36), utf16("User"));
    EXPECT_EQ(payload(m, 44), utf16("COMPUTER"));
    // Payloads follow the header and the flags in order, back to back.
    uint32_t expect = 64;
    for (size_t slot : {28, 36, 44, 12, 20}) {
        SecBuf b = secBuf(m, slot);
        EXPECT_EQ(b.offset, expect) << "slot " << slot;
        EXPECT_EQ(b.len, b.maxLen);
        expect += b.len;
    }
    EXPECT_EQ(expect, m.size());

    // A server without Unicode gets the OEM code page (437: e-acute is 0x82).
    XString user = xs("Us\xc3\xa9r");
    ntlm.put_UserName(user);
    ntlm.put_OemCodePage(437);
    m = type3For(ntlm, 0x00000202);
    EXPECT_EQ(u32(m, 60) & 1u, 0u);
    EXPECT_EQ(hex(payload(m, 36)), "5573" "82" "72");
    EXPECT_EQ(str(payload(m, 28)), "Domain");
}

TEST(NtlmMessageTest, MalformedType2IsRefusedWithItsReason) {
    Bytes good = type2(0x00000201, unhex(kServerChallenge), utf16("SRV"), exampleTargetInfo());
    ASSERT_GE(good.size(), 60u);

    struct Case {
        const char* name;
        Bytes msg;
        const char* reason;
    };
    Bytes short39 = type2(0x201, unhex(kServerChallenge), Bytes(), Bytes());
    short39.resize(39);
    auto patched = [&good](std::initializer_list<std::pair<size_t, uint32_t>> bytes) {
        Bytes m = good;
        for (auto& b : bytes) m.at(b.first) = static_cast<unsigned char>(b.second);
        return m;
    };
    const uint32_t infoLen = u16(good, 40);
    std::vector<Case> cases = {
        {"39 bytes", short39, "TYPE2 message is not long enough."},
        {"signature", patched({{3, 'X'}}), "Expected TYPE2 message to begin with NTLMSSP."},
        {"type", patched({{8, 3}}), "TYPE2 message type not equal to 2"},
        // offset low byte, length 6
        {"target name", patched({{16, good.size() - 5}}), "Failed to get target name from TYPE2 message."},
        {"target info", patched({{40, infoLen + 1}, {42, infoLen + 1}}),
         "Failed to get target info data from TYPE2 message."},
        // an offset near 4 GiB must not wrap
        {"target info offset", patched({{47, 0xff}}), "Failed to get target info data from TYPE2 message."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClsNtlm ntlm;
        setExampleCredentials(ntlm);
        Logger log;
        DataBuffer out;
        EXPECT_FALSE(ntlm.genType3Bytes(toDb(c.msg), out, log));
        EXPECT_TRUE(out.isEmpty());
        EXPECT_EQ(lacks(logText(log), {c.reason, "Failed to decode TYPE2 input message."}), "");
    }
    // The text form: bad base64 decodes to too little.
    ClsNtlm ntlm;
    XString in = xs("TlRMTVNTUAACAAAA"), result;
    Logger log;
    EXPECT_FALSE(ntlm.GenType3(in, result, log));
    EXPECT_EQ(lacks(logText(log), {"TYPE2 message is not long enough."}), "");
}

// Older servers send 40 bytes, without target information: both versions
// answer it as they answer the same challenge with an empty target info.
TEST(NtlmMessageTest, Type2WithoutTargetInfoIsAnswered) {
    Bytes full = type2(0x00000201, unhex(kServerChallenge), Bytes(), Bytes());
    Bytes short40(full.begin(), full.begin() + 40);
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        ClsNtlm a, b;
        DataBuffer outShort, outFull;
        Logger log;
        for (ClsNtlm* n : {&a, &b}) {
            setExampleCredentials(*n);
            n->put_NtlmVersion(version);
            n->put_FixedTimestamp(0x01d2c2a0f43b4ea0ULL);
        }
        ASSERT_TRUE(a.genType3Bytes(toDb(short40), outShort, log)) << logText(log);
        ASSERT_TRUE(b.genType3Bytes(toDb(full), outFull, log));
        EXPECT_GT(outShort.getSize(), 64u);
        EXPECT_EQ(toBytes(outShort), toBytes(outFull));
    }
}

// A last target-info entry that claims more than is left stops the walk,
// and an empty target name may point anywhere: both messages are good.
TEST(NtlmMessageTest, Type2TargetNameAndTruncatedTargetInfoAreRead) {
    Bytes info = exampleTargetInfo();
    info.resize(info.size() - 4);
    put16(info, 3);
    put16(info, 200);
    Bytes named = type2(0x00000001, unhex(kServerChallenge), utf16("TARGET"), info);
    Bytes unnamed = type2(0x201, unhex(kServerChallenge), Bytes(), exampleTargetInfo());
    unnamed[16] = 0xff;
    unnamed[19] = 0x7f;
    for (auto& k : {std::make_pair(named, "TARGET"), std::make_pair(unnamed, "")}) {
        ClsNtlm ntlm;
        setExampleCredentials(ntlm);
        Logger log;
        DataBuffer out;
        ASSERT_TRUE(ntlm.genType3Bytes(toDb(k.first), out, log)) << logText(log);
        EXPECT_EQ(lacks(logText(log), {k.second}), "");
        XString v;
        ntlm.get_TargetName(v);
        EXPECT_STREQ(v.getUtf8(), k.second);
        ntlm.get_NetBiosComputerName(v);
        EXPECT_STREQ(v.getUtf8(), "Server");
        ntlm.get_DnsComputerName(v);
        EXPECT_TRUE(v.isEmpty());
    }
}

// Failures before the first token leave the connection untouched. The one
// package is "NTLM", found whatever the case of its name.
TEST(VelmoraSspi, NothingIsSentWithoutCredentialsOrPackage) {
    EXPECT_EQ(VelmoraSSPI().packageIndex("nTlM"), 0);
    EXPECT_EQ(VelmoraSSPI().packageIndex("Negotiate"), -1);
    XString none, user = xs("User"), password = xs("Password");
    VelmoraSSPI chosen, unchosen;
    ASSERT_TRUE(chosen.choosePackage(0));
    CountingPeer peer;
    RecordingLog log;
    EXPECT_FALSE(chosen.authenticate(none, user, none, peer, log));
    EXPECT_FALSE(unchosen.authenticate(none, user, password, peer, log));
    EXPECT_EQ(peer.calls, 0);
    EXPECT_LOGGED(log, "E: No username and/or password for SSPI authenticate.",
                  "E: Failed to acquire credentials handle");
    EXPECT_TRUE(log.text().find("SEC_E_SECPKG_NOT_FOUND") != std::string::npos) << log.text();
}

// NTLM chosen from the EHLO list; the answer to a fixed challenge is the
// published NTLMv1 response, and no token goes into the transcript.
TEST(SmtpNtlm, ChosenFromEhloListAnswersTheChallenge) {
    if (ostmail::platform::sspiPackages()) GTEST_SKIP() << "the system's NTLM package answers, with its own challenge";
    Bytes challenge = type2(0x00008201, unhex("0123456789abcdef"), {}, {});
    challenge.resize(48);
    ScriptedSmtpServer srv;
    greet(srv, "250-mail.test\r\n250 AUTH NTLM CRAM-MD5").expectReply("AUTH NTLM", "334 ")
        .expectReply("TlRMTVNTUAAB", "334 " + b64(std::string(challenge.begin(), challenge.end())))
        .expectReply("TlRMTVNTUAAD", "235 welcome").serveRest();
    {
        Client c;
        ASSERT_TRUE(c.open(srv, "User", "Password")) << c.log.text();
        EXPECT_LOGGED(c.log, "D: login_method=NTLM", "I: Using Microsoft SSPI NTLM.");
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAB")) << c.conn.transcript().getString();
        EXPECT_FALSE(c.conn.transcript().containsSubstring("TlRMTVNTUAAD"));
    }
    ASSERT_TRUE(srv.waitDone());
    ASSERT_GE(srv.lines().size(), 4u);
    std::string raw = unb64(srv.lines()[3]);
    Bytes type3(raw.begin(), raw.end());
    EXPECT_EQ(hex(payload(type3, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(payload(type3, 36), utf16("User"));
    EXPECT_TRUE(srv.errors().empty()) << srv.transcript();
}

// A refused AUTH NTLM, a refused first token, and second replies that are
// no usable challenge (not NTLM, not base64): the login ends there, and
// nothing more is sent but the QUIT of the client's end.
TEST(SmtpNtlm, PackageFailuresEndTheLogin) {
    auto script = [](const char* challenge) {
        return [challenge](Peer& s) {
            greet(s, "250 AUTH NTLM").expectReply("AUTH NTLM", "334 ").expectReply("TlRMTVNTUAAB", challenge)
                .serveRest();
        };
    };
    const std::string failed = "I: Failed to login using NTLM method", ntlm = "E: NTLM authentication failed";
    const std::vector<std::string> sent = {"EHLO client.test", "AUTH NTLM", "TlRMTVNTUAAB*", "QUIT"};
    std::vector<ConnectCase> cases = {
        {"AUTH refused",
         [](Peer& s) { greet(s, "250 AUTH NTLM").expectReply("AUTH NTLM", "504 unrecognized").serveRest(); },
         "User", "Password", "", false, {"E: Failed to send AUTH NTLM", failed},
         {"EHLO client.test", "AUTH NTLM", "QUIT"},
         {}, {}, [](Client& c) { EXPECT_FALSE(c.log.has("E: NTLM authentication failed")); }},
        {"token refused", script("504 no"), "User", "Password", "", false,
         {"E: exchangePackage: failed to get success response", "E: VelmoraSSPI.authenticate: exchange failed",
          ntlm, failed}, sent},
        {"not NTLM", script("334 aGVsbG8="), "User", "Password", "", false,
         {"E: VelmoraSSPI.authenticate: failed to prepare next package", "E: Finished and NOT authenticated",
          ntlm, failed},
         sent},
    };
    for (const char* challenge : {"334 ***", "334 !!!!", "334 "})
        cases.push_back({challenge, script(challenge), "User", "Password", "", false, {ntlm, failed}, sent});
    expectConnects(cases);
}
