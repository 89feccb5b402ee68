// NTLM messages and responses, and AUTH NTLM failures through the SMTP
// session against the scripted peer (logins: tests/integration). The test
// side reads and writes messages from MS-NLMP 2.2 without the library's
// helpers, so layout faults in the library cannot hide.
#include "crypto/TestBytes.h"
#include "smtp/ClsNtlm.h"
#include "smtp/NtlmResponses.h"
#include "smtp/SmtpTestSupport.h"

#include <cstring>

using namespace ostmail;
using namespace ostmail::smtptest;
using testbytes::hex;
using testbytes::unhex;

namespace {

using Bytes = std::vector<unsigned char>;

uint32_t u16(const Bytes& m, size_t at) { return m[at] | (m[at + 1] << 8); }
uint32_t u32(const Bytes& m, size_t at) { return u16(m, at) | (u16(m, at + 2) << 16); }
void put16(Bytes& m, uint32_t v) { m.insert(m.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32(Bytes& m, uint32_t v) { put16(m, v), put16(m, v >> 16); }

Bytes utf16(const std::string& ascii) {
    Bytes b;
    for (char c : ascii) put16(b, static_cast<unsigned char>(c));
    return b;
}

// The payload a security buffer (length, room, offset) points at; the test fails earlier when it is out of range.
Bytes payload(const Bytes& m, size_t at) {
    const uint32_t len = u16(m, at), offset = u32(m, at + 4);
    return offset + len > m.size() ? Bytes{0xde, 0xad} : Bytes(m.begin() + offset, m.begin() + offset + len);
}

// A challenge message: target name and target info after the 48-byte header
// and an 8-byte version, so it is at least 60 bytes whenever either is set.
Bytes type2(uint32_t flags, const Bytes& challenge, const Bytes& target, const Bytes& info) {
    Bytes m = unhex("4e544c4d53535000" "02000000");
    put16(m, target.size());
    put16(m, target.size());
    put32(m, 56);
    put32(m, flags);
    m.insert(m.end(), challenge.begin(), challenge.end());
    m.insert(m.end(), 8, 0);  // context
    put16(m, info.size());
    put16(m, info.size());
    put32(m, 56 + static_cast<uint32_t>(target.size()));
    m.insert(m.end(), {6, 1, 0xb1, 0x1d, 0, 0, 0, 0x0f});  // version
    m.insert(m.end(), target.begin(), target.end());
    m.insert(m.end(), info.begin(), info.end());
    return m;
}

// The target-info entries (id, length, UTF-16 value) of the MS-NLMP 4.2.4
// example: NetBIOS domain "Domain", NetBIOS computer "Server". The list ends
// with "00000000".
const std::string kExampleAvs = "02000c00" "44006f006d00610069006e00" "01000c00" "530065007200760065007200";

// The common values of MS-NLMP 4.2.1.
const char kServerChallenge[] = "0123456789abcdef";
const char kClientChallenge[] = "aaaaaaaaaaaaaaaa";

DataBuffer toDb(const Bytes& b) {
    DataBuffer d;
    d.append(b.data(), b.size());
    return d;
}

Bytes toBytes(const DataBuffer& d) { return Bytes(d.getData(), d.getData() + d.getSize()); }

void set(ClsNtlm& ntlm, void (ClsNtlm::*put)(XString&), const std::string& value) {
    XString v = xs(value);
    (ntlm.*put)(v);
}

std::string get(ClsNtlm& ntlm, void (ClsNtlm::*get)(XString&)) {
    XString v;
    (ntlm.*get)(v);
    return v.getUtf8();
}

void setExampleCredentials(ClsNtlm& ntlm) {
    set(ntlm, &ClsNtlm::put_UserName, "User");
    set(ntlm, &ClsNtlm::put_Domain, "Domain");
    set(ntlm, &ClsNtlm::put_Password, "Password");
    set(ntlm, &ClsNtlm::put_Workstation, "COMPUTER");
    ntlm.put_ClientChallenge(toDb(unhex(kClientChallenge)));
}

Bytes type3For(ClsNtlm& ntlm, uint32_t serverFlags, const Bytes& info = unhex(kExampleAvs + "00000000")) {
    DataBuffer in = toDb(type2(serverFlags, unhex(kServerChallenge), Bytes(), info)), out;
    LogNull log;
    EXPECT_TRUE(ntlm.genType3Bytes(in, out, log));
    return toBytes(out);
}

}  // namespace

// MS-NLMP 4.2.2 and 4.2.3: NTLMv1 with and without the NTLM2 session
// response, and the LM copy a server asks for with the NT-only flag; then
// NTLMv2 (4.2.4).
TEST(NtlmResponsesTest, ResponsesMatchPublishedExamples) {
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
    // The LM hash behind the first: of the first 14 OEM bytes of the upper-cased password.
    unsigned char a[16], b[16];
    XString longer = xs("abcdefghijklmnXYZ"), cut = xs("ABCDEFGHIJKLMN"), other = xs("abcdefghijklmZ");
    NtlmResponses::lmHash(longer, 437, a);
    NtlmResponses::lmHash(cut, 437, b);
    EXPECT_EQ(0, std::memcmp(a, b, 16));
    NtlmResponses::lmHash(other, 437, b);
    EXPECT_NE(0, std::memcmp(a, b, 16));

    // MS-NLMP 4.2.4: NTLMv2 with the zero time stamp of the example.
    ntlm.put_NtlmVersion(2);
    ntlm.put_FixedTimestamp(0);
    Bytes m = type3For(ntlm, 0x00088201);
    EXPECT_EQ(hex(payload(m, 12)), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
    // The proof, then the blob: header, time stamp, client challenge, the server's target info.
    EXPECT_EQ(hex(payload(m, 20)), "68cd0ab851e51c96aabc927bebef6a1c" "0101000000000000" "0000000000000000"
                                   "aaaaaaaaaaaaaaaa" "00000000" + kExampleAvs + "00000000" "00000000");
}

// The logins of tests/integration send it without domain and version; both
// shift the workstation's payload.
TEST(NtlmMessageTest, Type1LayoutWithDomainAndVersion) {
    ClsNtlm ntlm;
    set(ntlm, &ClsNtlm::put_Workstation, "WS01");
    set(ntlm, &ClsNtlm::put_Domain, "CORP");
    ntlm.SetFlag(ClsNtlm::kFlagVersion, true);
    XString b64;
    LogNull log;
    ASSERT_TRUE(ntlm.GenType1(b64, log));
    DataBuffer raw;
    ContentCoding::decodeBase64(b64.getUtf8(), std::strlen(b64.getUtf8()), raw);
    // Signature, type, flags, domain and workstation buffers, version 6.1.7601, then the payloads.
    EXPECT_EQ(hex(toBytes(raw)), "4e544c4d53535000" "01000000" "07b20802" "0400040028000000" "040004002c000000"
                                 "0601b11d0000000f" "434f5250" "57533031");
}

TEST(NtlmMessageTest, Type3LayoutUnicodeAndOem) {
    ClsNtlm ntlm;
    setExampleCredentials(ntlm);
    Bytes m = type3For(ntlm, 0xe2888215);  // a typical server's flags
    EXPECT_EQ(hex(Bytes(m.begin(), m.begin() + 12)), "4e544c4d53535000" "03000000");
    EXPECT_EQ(u32(m, 60), 0x00088207u & 0xe2888215u);
    EXPECT_EQ(hex(Bytes(m.begin() + 52, m.begin() + 60)), "0000000000000000");  // no session key
    EXPECT_EQ(payload(m, 28), utf16("Domain"));
    EXPECT_EQ(payload(m, 36), utf16("User"));
    EXPECT_EQ(payload(m, 44), utf16("COMPUTER"));

    // A server without Unicode gets the OEM code page (437: e-acute is 0x82).
    set(ntlm, &ClsNtlm::put_UserName, "Us\xc3\xa9r");
    ntlm.put_OemCodePage(437);
    m = type3For(ntlm, 0x00000202);
    EXPECT_EQ(u32(m, 60) & 1u, 0u);
    EXPECT_EQ(hex(payload(m, 36)), "5573" "82" "72");
    EXPECT_EQ(payload(m, 28), (Bytes{'D', 'o', 'm', 'a', 'i', 'n'}));
}

// Each refusal, through the text form.
TEST(NtlmMessageTest, MalformedType2IsRefusedWithItsReason) {
    Bytes good = type2(0x00000201, unhex(kServerChallenge), utf16("SRV"), unhex(kExampleAvs + "00000000"));
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
        RecordingLog log;
        XString in = xs(b64(std::string(c.msg.begin(), c.msg.end()))), out;
        EXPECT_FALSE(ntlm.GenType3(in, out, log));
        EXPECT_TRUE(out.isEmpty());
        EXPECT_EQ(lacks(log.text(), {c.reason, "Failed to decode TYPE2 input message."}), "");
    }
}

// Older servers send 40 bytes, without target information: both versions
// answer it as they answer the same challenge with an empty target info. A
// last target-info entry that claims more than is left stops the walk, and
// an empty target name may point anywhere: both messages are good.
TEST(NtlmMessageTest, Type2WithoutOrWithOddTargetFieldsIsAnswered) {
    Bytes full = type2(0x00000201, unhex(kServerChallenge), Bytes(), Bytes());
    Bytes short40(full.begin(), full.begin() + 40);
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        ClsNtlm a, b;
        DataBuffer outShort, outFull;
        RecordingLog log;
        for (ClsNtlm* n : {&a, &b}) {
            setExampleCredentials(*n);
            n->put_NtlmVersion(version);
            n->put_FixedTimestamp(0x01d2c2a0f43b4ea0ULL);
        }
        ASSERT_TRUE(a.genType3Bytes(toDb(short40), outShort, log)) << log.text();
        ASSERT_TRUE(b.genType3Bytes(toDb(full), outFull, log));
        EXPECT_GT(outShort.getSize(), 64u);
        EXPECT_EQ(toBytes(outShort), toBytes(outFull));
    }
    // The example's entries, then DNS domain "x.test", which fills the list exactly, with no end entry.
    const std::string avs = kExampleAvs + "04000c00" "78002e007400650073007400";
    Bytes named = type2(0x00000001, unhex(kServerChallenge), utf16("TARGET"), unhex(avs + "0300c800"));
    Bytes unnamed = type2(0x201, unhex(kServerChallenge), Bytes(), unhex(avs));
    unnamed[16] = 0xff;
    unnamed[19] = 0x7f;
    for (auto& k : {std::make_pair(named, "TARGET"), std::make_pair(unnamed, "")}) {
        ClsNtlm ntlm;
        setExampleCredentials(ntlm);
        RecordingLog log;
        DataBuffer out;
        ASSERT_TRUE(ntlm.genType3Bytes(toDb(k.first), out, log)) << log.text();
        EXPECT_EQ(lacks(log.text(), {k.second}), "");
        EXPECT_EQ(get(ntlm, &ClsNtlm::get_TargetName), k.second);
        EXPECT_EQ(get(ntlm, &ClsNtlm::get_NetBiosDomainName), "Domain");
        EXPECT_EQ(get(ntlm, &ClsNtlm::get_NetBiosComputerName), "Server");
        EXPECT_EQ(get(ntlm, &ClsNtlm::get_DnsComputerName), "");
        EXPECT_EQ(get(ntlm, &ClsNtlm::get_DnsDomainName), "x.test");
    }
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
        // The token is sent, but kept out of the transcript.
        {"token refused", script("504 no"), "User", "Password", "", false,
         {"E: exchangePackage: failed to get success response", "E: VelmoraSSPI.authenticate: exchange failed",
          ntlm, failed}, sent, {"AUTH NTLM"}, {"TlRMTVNTUAAB"}},
        {"not NTLM", script("334 aGVsbG8="), "User", "Password", "", false,
         {"E: VelmoraSSPI.authenticate: failed to prepare next package", "E: Finished and NOT authenticated",
          ntlm, failed},
         sent},
    };
    for (const char* challenge : {"334 ***", "334 !!!!", "334 "})
        cases.push_back({challenge, script(challenge), "User", "Password", "", false, {ntlm, failed}, sent});
    expectConnects(cases);
}
