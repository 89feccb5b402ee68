#include "TestBytes.h"
#include "crypto/VelmoraDes.h"

#include <gtest/gtest.h>

using namespace ostmail;
using namespace testbytes;

namespace {

std::string encryptHex(const std::string& keyHex, const std::string& ptHex, int keyBits = 56) {
    const auto key = unhex(keyHex);
    const auto pt = unhex(ptHex);
    VelmoraDes des;
    des.setMode(VelmoraDes::kModeEcb);
    des.setPadding(VelmoraDes::kPadZeros);
    des.setKey(key.data(), key.size(), keyBits);
    std::vector<unsigned char> out, back;
    EXPECT_TRUE(des.encrypt(pt.data(), pt.size(), out));
    EXPECT_TRUE(des.decrypt(out.data(), out.size(), back));
    EXPECT_EQ(hex(back), hex(pt)) << "round trip, key " << keyHex;
    return hex(out);
}

}  // namespace

// Published vectors, then random keys and two-block messages checked
// against an independent DES, then Rivest's iteration.
TEST(VelmoraDes, PublishedReferenceAndIteratedVectors) {
    struct Vec { std::string key, pt, ct; int bits = 56; };
    const Vec vecs[] = {
        // Classic worked examples.
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        // NBS/NIST validation tables: variable plaintext, variable key, S-box tests.
        {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
        {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
        {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
        {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
        {"0131d9619dc1376e", "5cd54ca83def57da", "7a389d10354bd271"},
        // Parity bits do not matter (every low bit cleared); key bytes beyond what the bit
        // count needs are ignored; two-key triple DES with K1 == K2 is single DES under K1.
        {"123456789abcdef0", "0123456789abcdef", "85e813540f0ab405"},
        {"133457799bbcdff1ffff", "0123456789abcdef", "85e813540f0ab405"},
        {"133457799bbcdff1133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405", 112},
        // A short key is padded with zero bytes; a 16-byte key at 168 bits leaves K3
        // zero, at 112 bits K3 is K1 (values from OpenSSL).
        {"0123", "0011223344556677", "6400df7916faf770"},
        {"133457799bbcdff10e329232ea6d0d73", "0123456789abcdef", "f1eb3e100726eb3c", 168},
        {"133457799bbcdff10e329232ea6d0d73", "0123456789abcdef", "055152350cd7a4bb", 112},
        {"238aa2b2c67d0be8", "9d1eeeffa44dce9ecb686854268945c6", "1450b871bbadcdf95e92180a09093d35"},
        {"7bc7acfa385efc7abf63046deac4dad9", "7a473e1f6cc30115cc02ece5c2bd00a2",
         "6dc6f48b6f5b535359398a0aa8d1c8ed", 112},
        {"27af94a0c41221a84e311e2a8c6a7391b57e760061a3b26a", "1b531c153670235c91a7d3f669364024",
         "c9fa196085154d02450fe452a05dfd9b", 168},
        // The triple-DES example of NIST SP 800-67.
        {"0123456789abcdef23456789abcdef01456789abcdef0123", hex(bytes("The qufck brown fox jump")),
         "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900", 168},
    };
    for (const auto& v : vecs)
        EXPECT_EQ(encryptHex(v.key, v.pt, v.bits), v.ct) << "key " << v.key << " pt " << v.pt;

    // Rivest's iterated test: X(i+1) = E(X(i), X(i)) for even i, D for odd
    // i, which touches every S-box entry many times over.
    auto x = unhex("9474b8e8c73bca7d");
    for (int i = 0; i < 16; ++i) {
        VelmoraDes des;
        des.setPadding(VelmoraDes::kPadZeros);
        des.setKey(x.data(), 8, 56);
        std::vector<unsigned char> next;
        ASSERT_TRUE(i % 2 == 0 ? des.encrypt(x.data(), 8, next) : des.decrypt(x.data(), 8, next));
        x = next;
    }
    EXPECT_EQ(hex(x), "1b1a2ddb4c642438");
}

TEST(VelmoraDes, PaddingModesAndFailures) {
    const auto key = unhex("133457799bbcdff1");
    const auto block = unhex("0123456789abcdef");
    std::vector<unsigned char> out, back;

    VelmoraDes des;
    EXPECT_FALSE(des.encrypt(block.data(), 8, out)) << "no key yet";
    des.setKey(key.data(), key.size(), 56);

    // Zero padding: a partial block is zero-filled (whole ones: the vectors above).
    des.setPadding(VelmoraDes::kPadZeros);
    ASSERT_TRUE(des.encrypt(block.data(), 3, out));
    EXPECT_EQ(hex(out), encryptHex("133457799bbcdff1", "0123450000000000"));
    ASSERT_TRUE(des.encrypt(nullptr, 0, out));
    EXPECT_TRUE(out.empty());

    // RFC 1423 padding always adds a block's worth at most and is stripped again.
    des.setPadding(VelmoraDes::kPadRfc1423);
    ASSERT_TRUE(des.encrypt(block.data(), 8, out));
    EXPECT_EQ(hex(out), "85e813540f0ab405" + encryptHex("133457799bbcdff1", "0808080808080808"));
    for (size_t n = 0; n <= 17; ++n) {
        const auto msg = testbytes::lcgBytes(static_cast<uint32_t>(n), n);
        ASSERT_TRUE(des.encrypt(msg.data(), n, out));
        EXPECT_EQ(out.size(), (n / 8 + 1) * 8);
        ASSERT_TRUE(des.decrypt(out.data(), out.size(), back));
        EXPECT_EQ(hex(back), hex(msg));
    }
    // A block that does not end in valid padding is refused.
    ASSERT_TRUE(des.encrypt(block.data(), 8, out));
    out.back() ^= 0x55;
    EXPECT_FALSE(des.decrypt(out.data(), out.size(), back));
    EXPECT_TRUE(back.empty());
    EXPECT_FALSE(des.decrypt(out.data(), 5, back)) << "not a whole block";

    des.setPadding(7);
    EXPECT_FALSE(des.encrypt(block.data(), 8, out));
    des.setPadding(VelmoraDes::kPadZeros);
    des.setMode(1);
    EXPECT_FALSE(des.encrypt(block.data(), 8, out));
    EXPECT_TRUE(out.empty());
}
