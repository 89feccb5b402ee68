#include "platform/FileSystem.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <string>

namespace pf = ostmail::platform;

TEST(FileSystem, WriteAppendReadAndErrors) {
    ostmail::testsupport::ScratchDir scratch;
    const std::string& dir = scratch.path();
    std::string path = dir + "/a.bin";
    std::string payload("line one\r\n\0binary", 17);
    ASSERT_TRUE(pf::writeWholeFile(path.c_str(), payload.data(), payload.size()));
    ASSERT_TRUE(pf::appendToFile(path.c_str(), "!", 1));
    std::string back;
    ASSERT_TRUE(pf::readWholeFile(path.c_str(), back));
    EXPECT_EQ(payload + "!", back);
    uint64_t size = 0;
    ASSERT_TRUE(pf::fileSize(path.c_str(), size));
    EXPECT_EQ(18u, size);
    EXPECT_EQ(pf::PathKind::kFile, pf::pathKind(path.c_str()));
    EXPECT_EQ(pf::PathKind::kDirectory, pf::pathKind(dir.c_str()));

    // Failures give the system's error code and leave the output alone.
    const std::pair<std::string, int> failures[] = {{dir + "/missing", 2}, {path + "/below", 3}, {dir, 21}};
    for (const auto& [bad, code] : failures) {
        int err = 0;
        std::string untouched = "keep";
        EXPECT_FALSE(pf::readWholeFile(bad.c_str(), untouched, &err)) << bad;
        EXPECT_EQ(code, err) << bad;
        EXPECT_EQ("keep", untouched) << bad;
    }
    EXPECT_EQ(pf::PathKind::kMissing, pf::pathKind((dir + "/missing").c_str()));

    pf::FileReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    EXPECT_EQ(18u, reader.size());
    char buf[10];
    EXPECT_EQ(10, reader.read(buf, sizeof buf));
    EXPECT_EQ(8, reader.read(buf, sizeof buf));
    EXPECT_EQ(0, reader.read(buf, sizeof buf));

    // An empty file, and one longer than a 64 KiB step of the read.
    for (const std::string& content : {std::string(), std::string(200000, 'b')}) {
        ASSERT_TRUE(pf::writeWholeFile(path.c_str(), content.data(), content.size()));
        back = "x";
        ASSERT_TRUE(pf::readWholeFile(path.c_str(), back));
        EXPECT_TRUE(back == content) << back.size();
    }
}
