#include "core/LogBase.h"
#include "email/AttachmentFile.h"
#include "email/ContentTypeTable.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace ostmail;

namespace {

std::string typeFor(const char* path) {
    StringBuffer sb;
    ContentTypeTable::typeForPath(path, sb);
    return sb.toStdString();
}

}  // namespace

TEST(ContentTypeTable, ShapeAndFirstMatchWins) {
    ASSERT_EQ(ContentTypeTable::rowCount(), 124);
    int extensions = 0;
    std::set<std::string> seenTypes;
    for (int i = 0; i < ContentTypeTable::rowCount(); ++i) {
        const ContentTypeTable::Row& r = ContentTypeTable::row(i);
        EXPECT_TRUE(seenTypes.insert(r.contentType).second) << r.contentType;
        for (const char* const* e = r.extensions; *e; ++e) {
            ++extensions;
            // No earlier row may claim the extension, or this row would be dead.
            EXPECT_STREQ(ContentTypeTable::typeForExtension(*e), r.contentType) << *e;
        }
    }
    EXPECT_EQ(extensions, 191);
    EXPECT_STREQ(ContentTypeTable::row(0).contentType, "application/envoy");
    EXPECT_STREQ(ContentTypeTable::row(123).contentType, "x-world/x-vrml");
    // Types that are written exactly as the original product wrote them.
    for (auto [ext, type] : {std::make_pair("acx", "application/internet-property-tream"),
                             {"sit", "application/x-tuffit"}, {"pko", "application/ynd.ms-pkipko"},
                             {"isp", "application/x-internet-ignup"}})
        EXPECT_STREQ(ContentTypeTable::typeForExtension(ext), type);
    EXPECT_EQ(ContentTypeTable::typeForExtension("xyz"), nullptr);
}

TEST(AttachmentFile, TypeNameAndEncodingOfPaths) {
    struct Case {
        const char* path;
        const char* type;
        const char* name;
    } cases[] = {
        {"C:\\reports\\Job.PDF", "application/pdf", "Job.PDF"},
        {"C:\\odd\\dir/sub\\x/report.txt", "text/plain", "report.txt"},  // '/' wins even with '\' after it
        {"/tmp/archive.tar.gz", "application/x-gzip", "archive.tar.gz"},
        {"dir.v2/README", "application/octet-stream", "README"},
        {"data.xyz", "application/octet-stream", "data.xyz"},
        {"setup.exe", "application/octet-stream", "setup.exe"},
        {"page.mht", "message/rfc822", "page.mht"},
        {"trailing.", "application/octet-stream", "trailing."},
        {"x.\xc4", "application/octet-stream", "x.\xc4"},  // Latin-1 capital lower-cased, unknown
        {"dir/", "application/octet-stream", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StringBuffer sb;
        AttachmentFile::fileNameOfPath(c.path, sb);
        EXPECT_EQ(sb.toStdString(), c.name);
        EXPECT_EQ(typeFor(c.path), c.type);
    }
    // Only the first four letters count.
    for (const char* text : {"text/plain", "TEXT/html", "textual/x"})
        EXPECT_STREQ(AttachmentFile::transferEncodingFor(text), "quoted-printable") << text;
    for (const char* other : {"application/pdf", ""}) EXPECT_STREQ(AttachmentFile::transferEncodingFor(other), "base64");
}

TEST(AttachmentFile, PrepareReadsRealFiles) {
    testsupport::ScratchDir dir;
    const std::string text = "caf\xc3\xa9\r\nline two\r\n";
    std::string binary;
    // Over two read blocks and not a multiple of one.
    for (int i = 0; i < (5 << 19) + 7; ++i) binary += static_cast<char>(i * 7);
    const std::string txt = dir.write("notes.txt", text);
    const std::string bin = dir.write("Job.PDF", binary);
    LogNull log;

    struct Case {
        const std::string& path;
        const char *forcedType, *type, *encoding;
        const std::string& bytes;
    };
    AttachmentInfo info;
    for (const Case& c : {Case{txt, nullptr, "text/plain", "quoted-printable", text},
                          Case{bin, "", "application/pdf", "base64", binary},
                          Case{bin, "text/x-custom", "text/x-custom", "quoted-printable", binary}}) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(AttachmentFile::prepare(c.path.c_str(), c.forcedType, info, log));
        EXPECT_EQ(info.contentType.toStdString(), c.type);
        EXPECT_EQ(info.transferEncoding.toStdString(), c.encoding);
        EXPECT_EQ(info.fileName.toStdString(), c.path.substr(c.path.rfind('/') + 1));
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(info.body.getData()), info.body.getSize()) == c.bytes);
    }
    EXPECT_FALSE(AttachmentFile::prepare((dir.path() + "/missing.pdf").c_str(), nullptr, info, log));
    EXPECT_TRUE(info.body.isEmpty());
    EXPECT_TRUE(info.contentType.isEmpty());
    EXPECT_FALSE(AttachmentFile::exists((dir.path() + "/no/such/dir/x.txt").c_str(), log));
    EXPECT_TRUE(AttachmentFile::exists(txt.c_str(), log));
    EXPECT_FALSE(AttachmentFile::exists(dir.path().c_str(), log));  // a directory is no file to attach
}
