#include "TestBytes.h"
#include "crypto/Hmac.h"
#include "crypto/Md4.h"
#include "crypto/Md5.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ostmail;
using namespace testbytes;

namespace {

using Bytes = std::vector<unsigned char>;

template <class H>
std::string oneShot(const void* p, size_t n) {
    unsigned char d[16];
    H::digest(p, n, d);
    return hex(d, 16);
}

template <class H>
std::string finished(H& h) {
    unsigned char d[16];
    h.finish(d);
    return hex(d, 16);
}

}  // namespace

// The test suites of RFC 1321 (MD5) and RFC 1320 (MD4), then lengths around
// the padding boundaries (55/56 bytes leave no room for the length trailer in
// the same block) against an independent MD5; MD4 shares the block and
// padding code, so its RFC suite is enough. Unaligned input hashes the same.
TEST(Md5, RfcSuitesAndPaddingBoundaries) {
    auto filler = [](size_t n) { return std::string(reinterpret_cast<const char*>(lcgBytes(n, n).data()), n); };
    const struct { std::string text; const char *md5, *md4; } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "0cc175b9c0f1b6a831c399e269772661", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f",
         "043f8582f241db351ce627e153e7f0e4"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a", "e33b4ddc9c38f2199c3e7b164fcc0536"},
        {filler(55), "6b5cbe0576a536da7b878cf096058acd", nullptr},
        {filler(56), "c2d3bf8ae48a27c95c318b7a6f0e6f6a", nullptr},
        {filler(63), "74fa1b4911237eb7722073925d1a8f82", nullptr},
        {filler(64), "e7c425f9f51e2a4e2d3d013ca2c0fd89", nullptr},
        {filler(65), "af73af7cd484fd422c416f9b9a24c719", nullptr},
        {filler(4103), "af538c72084c445fd55dac0ccc7da93b", nullptr},
    };
    for (const auto& v : suite) {
        SCOPED_TRACE("length " + std::to_string(v.text.size()));
        EXPECT_EQ(oneShot<Md5>(v.text.data(), v.text.size()), v.md5);
        if (v.md4) { EXPECT_EQ(oneShot<Md4>(v.text.data(), v.text.size()), v.md4); }
        const std::string shifted = "." + v.text;
        EXPECT_EQ(oneShot<Md5>(shifted.data() + 1, v.text.size()), v.md5) << "unaligned";
    }
}

// A split anywhere in a multi-block message, including inside the last
// partial block, must not change the digest; finish must leave the object
// ready for the next message, and initialize discards what was fed before.
template <class H>
void checkEverySplit() {
    const auto data = lcgBytes(77, 200);
    const std::string whole = oneShot<H>(data.data(), data.size());
    H h;
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        h.update(data.data(), cut);
        h.update(data.data() + cut, data.size() - cut);
        ASSERT_EQ(finished(h), whole) << "split at " << cut;
    }
    h.update("junk", 4);
    h.initialize();
    h.update(data.data(), data.size());
    EXPECT_EQ(finished(h), whole);
}

TEST(Md5, StreamingSplitAtEveryOffsetAndAMillionAs) {
    checkEverySplit<Md5>();
    checkEverySplit<Md4>();

    const std::string chunk(997, 'a');
    Md5 h;
    for (size_t left = 1000000, n; left > 0; left -= n) h.update(chunk.data(), n = std::min(left, chunk.size()));
    EXPECT_EQ(finished(h), "7707d6ae4e027c70eea2a935c2296f21");
}

// The last four: key lengths on both sides of the 64-byte block, against an
// independent HMAC.
TEST(Hmac, PublishedCasesAndKeyLengthBoundaries) {
    const Bytes aa80(80, 0xaa);
    const struct { Bytes key, msg; const char* mac; } cases[] = {
        {Bytes(16, 0x0b), bytes("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {bytes("Jefe"), bytes("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
        // 80-byte keys are longer than the block and are hashed first.
        {aa80, bytes("Test Using Larger Than Block-Size Key - Hash Key First"), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {aa80, bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "6f630fad67cda0ee1fb1f562db3aa53e"},
        {lcgBytes(1000, 0), lcgBytes(7, 0), "74e6f7298a9c2d168935f58c001bad88"},
        {lcgBytes(1063, 63), lcgBytes(107, 100), "fa0cbd20f14a4155b0251eb7dff83ab8"},
        {lcgBytes(1064, 64), lcgBytes(71, 64), "40c9d15dd459c11f0e10e1565db55aee"},
        {lcgBytes(1065, 65), lcgBytes(14, 7), "341f8cafed25a708db7be7c00171ed4d"},
    };
    for (const auto& c : cases) {
        unsigned char mac[16];
        Hmac::md5(c.msg.data(), c.msg.size(), c.key.data(), c.key.size(), mac);
        EXPECT_EQ(hex(mac, 16), c.mac) << "key " << c.key.size() << ", message " << c.msg.size();
    }
}
