#include "core/DataBuffer.h"
#include "core/Logger.h"
#include "core/StringBuffer.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using namespace ostmail;

TEST(BufferLog, ReportSizesWritesTheThreeValues) {
    StringBuffer sb;
    sb.append(std::string(300, 'x').c_str());
    Logger log;
    sb.reportSizes(log);
    StringBuffer text;
    log.GetText(text);
    EXPECT_TRUE(text.containsSubstring("sb_bufferSize")) << text.getString();
    EXPECT_TRUE(text.containsSubstring("503"));
    EXPECT_TRUE(text.containsSubstring("sb_extendSize"));
    EXPECT_TRUE(text.containsSubstring("251"));
    EXPECT_TRUE(text.containsSubstring("sb_dataSize"));
    EXPECT_TRUE(text.containsSubstring("300"));
}

TEST(BufferLog, LoadFileReadsWholeFilesAndLogsFailures) {
    std::string path = ::testing::TempDir() + "ostmail_load_" + std::to_string(getpid());
    std::string payload;
    for (int i = 0; i < 70000; ++i) payload += static_cast<char>(i * 7);
    ASSERT_TRUE(platform::writeWholeFile(path.c_str(), payload.data(), payload.size()));

    DataBuffer db;
    db.append("stale", 5);
    LogNull quiet;
    ASSERT_TRUE(db.loadFile(path.c_str(), quiet));
    ASSERT_EQ(payload.size(), db.getSize());
    EXPECT_EQ(payload, std::string(reinterpret_cast<const char*>(db.getData()), db.getSize()));
    unlink(path.c_str());

    Logger log;
    EXPECT_FALSE(db.loadFile(path.c_str(), log));
    EXPECT_EQ(0u, db.getSize());
    StringBuffer text;
    log.GetText(text);
    EXPECT_TRUE(text.containsSubstring("Failed to open file.")) << text.getString();
    EXPECT_TRUE(text.containsSubstring(path.c_str()));

    ASSERT_TRUE(db.loadFile("/proc/self/status", quiet));  // size 0 in stat, content on read
    EXPECT_GT(db.getSize(), 0u);
}
