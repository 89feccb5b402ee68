#include "core/CodingTestSupport.h"
#include "core/Logger.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

using namespace ostmail;
using namespace ostmail_test;

TEST(DataBuffer, LoadFileReadsWholeFilesAndLogsFailures) {
    testsupport::ScratchDir dir;
    std::string payload;
    for (int i = 0; i < 70000; ++i) payload += static_cast<char>(i * 7);
    // Streams never block and stay under the bound: a FIFO with no writer is
    // empty, an endless device fails at the bound instead of at 4 GB.
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const struct { std::string path; bool ok; const char* logged; std::string content; } loads[] = {
        {dir.write("load.bin", payload), true, nullptr, payload},
        {dir.path() + "/missing", false, "Failed to open file.", ""},
        {fifo, true, nullptr, ""},
        {"/dev/zero", false, "readLimit", ""},
        {"/proc/self/mem", false, "readError", ""},  // opens, but reading address 0 fails
    };
    DataBuffer db;
    for (const auto& l : loads) {
        SCOPED_TRACE(l.path);
        Logger log;
        db.append("stale", 5);
        EXPECT_EQ(l.ok, db.loadFile(l.path.c_str(), log));
        EXPECT_EQ(l.content, str(db));
        EXPECT_LE(db.capacity(), DataBuffer::kStreamLimit + (2u << 20));
        StringBuffer text;
        log.GetText(text);
        if (l.logged) {
            EXPECT_TRUE(text.containsSubstring(l.logged) && text.containsSubstring(l.path.c_str())) << text.getString();
        } else {
            EXPECT_STREQ("VelmoraLog:\r\n", text.getString());
        }
    }
    Logger log;
    ASSERT_TRUE(db.loadFile("/proc/self/status", log));  // size 0 in stat, content on read
    EXPECT_GT(db.getSize(), 0u);
}

TEST(DataBuffer, BorrowTakeAndSelfAppend) {
    static const unsigned char foreign[] = {1, 2, 3, 4};
    DataBuffer db;
    db.borrow(foreign, 4);
    EXPECT_EQ(foreign, db.getData());
    db.replaceByte(2, 9);  // writes go to a private copy
    EXPECT_FALSE(db.borrowed());
    EXPECT_EQ(2, foreign[1]);
    EXPECT_EQ(9, db.getData()[1]);

    DataBuffer b2;
    b2.borrow(foreign, 4);
    uint32_t n = 0;
    unsigned char* mine = b2.take(&n);
    ASSERT_EQ(4u, n);
    EXPECT_NE(foreign, mine);
    EXPECT_EQ(0, std::memcmp(foreign, mine, 4));
    std::free(mine);
    EXPECT_EQ(0u, b2.getSize());

    DataBuffer self;
    self.append("0123456789", 10);
    self.setSize(10);
    for (int i = 0; i < 12; ++i) self.append(self.getData(), self.getSize());  // grows while reading itself
    ASSERT_EQ(10u << 12, self.getSize());
    for (uint32_t i = 0; i < self.getSize(); i += 997) ASSERT_EQ('0' + i % 10, self.getData()[i]);
}

// Upper-casing of UTF-16 units (NTLM identities): Latin-1 and Greek letters
// change, surrogates do not.
TEST(DataBuffer, Utf16UpperCase) {
    DataBuffer db;
    const uint16_t units[] = {'a', 0x00E4, 0x03B4, 0xD83D, 0xDE00, 'z'};
    for (uint16_t u : units) db.appendUInt16LE(u);
    db.toUpper16();
    EXPECT_EQ(toHex(str(db)), "4100" "c400" "9403" "3dd8" "00de" "5a00");
}
