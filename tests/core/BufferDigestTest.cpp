#include "core/BufferDigest.h"
#include "core/CodingTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostmail;
using namespace ostmail_test;

// The whole data size is hashed, bytes after an embedded zero included, and
// the digest replaces what the output held.
TEST(BufferDigest, Md5OfBuffersAndNtPasswordHash) {
    DataBuffer in, out;
    out.append("stale", 5);
    in.append("abc", 3);
    ASSERT_TRUE(md5Digest(in, out));
    EXPECT_EQ(toHex(str(out)), "900150983cd24fb0d6963f7d28e17f72");
    StringBuffer sb("message", 7);
    sb.appendChar('\0');
    sb.append(" digest");
    ASSERT_TRUE(md5Digest(sb, out));
    unsigned char direct[16];
    Md5::digest("message\0 digest", 15, direct);
    EXPECT_EQ(str(out), std::string(reinterpret_cast<char*>(direct), 16));

    // MD4 of the UTF-16LE form, without a terminator: the euro sign is AC 20,
    // not its three UTF-8 bytes.
    XString pw;
    pw.setFromUtf8("Password");
    ASSERT_TRUE(ntPasswordHash(pw, out));
    EXPECT_EQ(toHex(str(out)), "a4f49c406510bdcab6824ee7c30fd852");
    pw.setFromUtf8("\xe2\x82\xac");
    ASSERT_TRUE(ntPasswordHash(pw, out));
    Md4::digest("\xAC\x20", 2, direct);
    EXPECT_EQ(str(out), std::string(reinterpret_cast<char*>(direct), 16));
}
