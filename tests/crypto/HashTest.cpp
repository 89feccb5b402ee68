#include "TestBytes.h"
#include "crypto/Md4.h"
#include "crypto/Md5.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ostmail;
using testbytes::hex;
using testbytes::lcgBytes;

namespace {

struct TextVector {
    const char* text;
    const char* digest;
};

const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

template <class H>
std::string oneShot(const void* p, size_t n)
{
    unsigned char d[16];
    H::digest(p, n, d);
    return hex(d, 16);
}

template <class H>
std::string oneShot(const std::vector<unsigned char>& v)
{
    return oneShot<H>(v.data(), v.size());
}

}  // namespace

TEST(Md5, Rfc1321Suite)
{
    const TextVector suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {kAlnum.c_str(), "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kDigits80.c_str(), "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : suite) {
        EXPECT_EQ(oneShot<Md5>(v.text, std::strlen(v.text)), v.digest) << '"' << v.text << '"';
        unsigned char d[16];
        Md5::digest(std::string(v.text), d);
        EXPECT_EQ(hex(d, 16), v.digest);
    }
}

TEST(Md4, Rfc1320Suite)
{
    const TextVector suite[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {kAlnum.c_str(), "043f8582f241db351ce627e153e7f0e4"},
        {kDigits80.c_str(), "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const auto& v : suite)
        EXPECT_EQ(oneShot<Md4>(v.text, std::strlen(v.text)), v.digest) << '"' << v.text << '"';
}

// Lengths around the padding boundaries (55/56 bytes leave no room for the
// length trailer in the same block), checked against an independent MD5/MD4.
TEST(Md5, MatchesReferenceAroundPaddingBoundaries)
{
    const std::pair<size_t, const char*> md5Ref[] = {
        {55, "6b5cbe0576a536da7b878cf096058acd"},   {56, "c2d3bf8ae48a27c95c318b7a6f0e6f6a"},
        {63, "74fa1b4911237eb7722073925d1a8f82"},   {64, "e7c425f9f51e2a4e2d3d013ca2c0fd89"},
        {65, "af73af7cd484fd422c416f9b9a24c719"},   {119, "db433b2a534fca41d41f2721aa1970dc"},
        {120, "d749829f08b9c9f337a447bb56fe855f"},  {4103, "af538c72084c445fd55dac0ccc7da93b"},
    };
    for (const auto& [n, digest] : md5Ref) {
        const auto data = lcgBytes(static_cast<uint32_t>(n), n);
        EXPECT_EQ(oneShot<Md5>(data), digest) << "length " << n;
        // Unaligned input must hash the same.
        std::vector<unsigned char> shifted(n + 1);
        std::memcpy(shifted.data() + 1, data.data(), n);
        EXPECT_EQ(oneShot<Md5>(shifted.data() + 1, n), digest) << "unaligned length " << n;
    }

    const std::pair<size_t, const char*> md4Ref[] = {
        {55, "23c313200e62ae6c89f518c0b96ace76"},  {56, "193d096ee42a999e13925e6be440cb7d"},
        {64, "b3afb58cc83ce1310880c77cff1eb788"},  {119, "9fae36cc2adeb89c9f2165c63604b6c1"},
        {1000, "9fedc857d2faf8e59388f6cc9ba651c8"},
    };
    for (const auto& [n, digest] : md4Ref)
        EXPECT_EQ(oneShot<Md4>(lcgBytes(static_cast<uint32_t>(n), n)), digest) << "MD4 length " << n;
}

TEST(Md5, MillionAsInUnevenPieces)
{
    const std::string chunk(997, 'a');
    Md5 h;
    size_t left = 1000000;
    while (left > 0) {
        const size_t n = left < chunk.size() ? left : chunk.size();
        h.update(chunk.data(), n);
        left -= n;
    }
    unsigned char d[16];
    h.finish(d);
    EXPECT_EQ(hex(d, 16), "7707d6ae4e027c70eea2a935c2296f21");
}

// A split anywhere in a multi-block message, including inside the last
// partial block, must not change the digest; finish must leave the object
// ready for the next message.
template <class H>
void checkEverySplit()
{
    const auto data = lcgBytes(77, 200);
    const std::string whole = oneShot<H>(data);
    H h;
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        h.update(data.data(), cut);
        h.update(data.data() + cut, data.size() - cut);
        unsigned char d[16];
        h.finish(d);
        ASSERT_EQ(hex(d, 16), whole) << "split at " << cut;
    }
    // initialize discards whatever was fed before.
    h.update("junk", 4);
    h.initialize();
    h.update(data.data(), data.size());
    unsigned char d[16];
    h.finish(d);
    EXPECT_EQ(hex(d, 16), whole);
}

TEST(Md5, StreamingSplitAtEveryOffset)
{
    checkEverySplit<Md5>();
    checkEverySplit<Md4>();
}

// MD4 of the UTF-16LE form: the published NT hash of "password" and of the
// empty password. (Units above 0xFF: see the buffer digest test.)
TEST(Md4, NtPasswordHash)
{
    const std::u16string pw = u"password";
    unsigned char d[16];
    Md4::digestUtf16(reinterpret_cast<const uint16_t*>(pw.data()), pw.size(), d);
    EXPECT_EQ(hex(d, 16), "8846f7eaee8fb117ad06bdd830b7586c");
    Md4::digestUtf16(nullptr, 0, d);
    EXPECT_EQ(hex(d, 16), "31d6cfe0d16ae931b73c59d7e0c089c0");
}
