#include "TestBytes.h"
#include "crypto/Hmac.h"
#include "crypto/Md5.h"

#include <gtest/gtest.h>

using namespace ostmail;
using testbytes::bytes;
using testbytes::hex;
using testbytes::lcgBytes;

namespace {

std::string hmacMd5(const std::vector<unsigned char>& key, const std::vector<unsigned char>& msg)
{
    unsigned char mac[16];
    Hmac::md5(msg.data(), msg.size(), key.data(), key.size(), mac);
    return hex(mac, 16);
}

}  // namespace

TEST(Hmac, Rfc2202AndCramMd5Cases)
{
    std::vector<unsigned char> key25;
    for (unsigned char b = 1; b <= 25; ++b)
        key25.push_back(b);
    const std::vector<unsigned char> aa80(80, 0xaa);

    EXPECT_EQ(hmacMd5(std::vector<unsigned char>(16, 0x0b), bytes("Hi There")),
              "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmacMd5(bytes("Jefe"), bytes("what do ya want for nothing?")),
              "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hmacMd5(std::vector<unsigned char>(16, 0xaa), std::vector<unsigned char>(50, 0xdd)),
              "56be34521d144c88dbb8c733f0e8b3f6");
    EXPECT_EQ(hmacMd5(key25, std::vector<unsigned char>(50, 0xcd)),
              "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hmacMd5(std::vector<unsigned char>(16, 0x0c), bytes("Test With Truncation")),
              "56461ef2342edc00f9bab995690efd4c");
    // 80-byte keys are longer than the block and are hashed first.
    EXPECT_EQ(hmacMd5(aa80, bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hmacMd5(aa80, bytes("Test Using Larger Than Block-Size Key and Larger Than One "
                                  "Block-Size Data")),
              "6f630fad67cda0ee1fb1f562db3aa53e");
    // The CRAM-MD5 example of RFC 2195.
    EXPECT_EQ(hmacMd5(bytes("tanstaaftanstaaf"),
                      bytes("<1896.697170952@postoffice.reston.mci.net>")),
              "b913a602c7eda7a495b4e6e7334d3890");
}

// Key lengths on both sides of the 64-byte block, against an independent HMAC.
TEST(Hmac, MatchesReferenceAtKeyLengthBoundaries)
{
    struct Ref {
        size_t keyLen, msgLen;
        const char* mac;
    };
    const Ref refs[] = {
        {0, 0, "74e6f7298a9c2d168935f58c001bad88"},    {1, 3, "67410bdc5fd187ebd9d16151a059bb8e"},
        {63, 100, "fa0cbd20f14a4155b0251eb7dff83ab8"}, {64, 64, "40c9d15dd459c11f0e10e1565db55aee"},
        {65, 7, "341f8cafed25a708db7be7c00171ed4d"},   {200, 1000, "f452bc5a3acc5fae955b0a085b3c50b8"},
    };
    for (const auto& r : refs) {
        const auto key = lcgBytes(static_cast<uint32_t>(r.keyLen + 1000), r.keyLen);
        const auto msg = lcgBytes(static_cast<uint32_t>(r.msgLen + 7), r.msgLen);
        EXPECT_EQ(hmacMd5(key, msg), r.mac) << "key " << r.keyLen << ", message " << r.msgLen;
    }
    // A long key and its MD5 digest are the same key.
    const auto longKey = lcgBytes(5, 65);
    std::vector<unsigned char> digest(16);
    Md5::digest(longKey.data(), longKey.size(), digest.data());
    EXPECT_EQ(hmacMd5(longKey, bytes("m")), hmacMd5(digest, bytes("m")));
}
