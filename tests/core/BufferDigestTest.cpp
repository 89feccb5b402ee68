#include "core/BufferDigest.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostmail;

namespace {

std::string hexOf(const DataBuffer& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint32_t i = 0; i < b.getSize(); ++i) {
        s += digits[b.getData()[i] >> 4];
        s += digits[b.getData()[i] & 15];
    }
    return s;
}

}  // namespace

TEST(BufferDigest, Md5OfBuffersReplacesOutput)
{
    DataBuffer in, out;
    out.append("stale", 5);
    in.append("abc", 3);
    ASSERT_TRUE(md5Digest(in, out));
    EXPECT_EQ(hexOf(out), "900150983cd24fb0d6963f7d28e17f72");

    in.clear();
    ASSERT_TRUE(md5Digest(in, out));
    EXPECT_EQ(hexOf(out), "d41d8cd98f00b204e9800998ecf8427e");

    // Bytes after an embedded zero count: the whole data size is hashed.
    StringBuffer sb("message", 7);
    sb.appendChar('\0');
    sb.append(" digest");
    DataBuffer same;
    same.append(sb.getString(), sb.getSize());
    DataBuffer fromDb;
    ASSERT_TRUE(md5Digest(sb, out));
    ASSERT_TRUE(md5Digest(same, fromDb));
    EXPECT_EQ(out.getSize(), 16u);
    EXPECT_TRUE(out.equals(fromDb));
    unsigned char direct[16];
    Md5::digest("message\0 digest", 15, direct);
    DataBuffer expect;
    expect.append(direct, 16);
    EXPECT_TRUE(out.equals(expect));
}

TEST(BufferDigest, NtPasswordHashUsesUtf16WithoutTerminator)
{
    XString pw;
    DataBuffer out;
    pw.setFromUtf8("Password");
    ASSERT_TRUE(ntPasswordHash(pw, out));
    EXPECT_EQ(hexOf(out), "a4f49c406510bdcab6824ee7c30fd852");

    pw.clear();
    ASSERT_TRUE(ntPasswordHash(pw, out));
    EXPECT_EQ(hexOf(out), "31d6cfe0d16ae931b73c59d7e0c089c0");

    // The euro sign is one UTF-16 unit, AC 20, not its three UTF-8 bytes.
    pw.setFromUtf8("\xe2\x82\xac");
    ASSERT_TRUE(ntPasswordHash(pw, out));
    const unsigned char le[] = {0xAC, 0x20};
    unsigned char direct[16];
    Md4::digest(le, 2, direct);
    DataBuffer expect;
    expect.append(direct, 16);
    EXPECT_TRUE(out.equals(expect));
}
