#include "EmailTestUtil.h"
#include "email/AttachmentFile.h"
#include "email/ContentTypeTable.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace ostmail;
using testutil::str;

TEST(ContentTypeTable, RowsPathsAndTransferEncodings) {
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

    // Type and file name of whole paths.
    const struct { const char *path, *type, *name; } cases[] = {
        {"C:\\reports\\Job.PDF", "application/pdf", "Job.PDF"},
        {"C:\\odd\\dir/sub\\x/report.txt", "text/plain", "report.txt"},  // '/' wins even with '\' after it
        {"/tmp/archive.tar.gz", "application/x-gzip", "archive.tar.gz"},
        {"dir.v2/README", "application/octet-stream", "README"},
        {"data.xyz", "application/octet-stream", "data.xyz"},
        {"trailing.", "application/octet-stream", "trailing."},
        {"x.\xc4", "application/octet-stream", "x.\xc4"},  // Latin-1 capital lower-cased, unknown
        {"dir/", "application/octet-stream", ""},
    };
    for (const auto& c : cases) {
        StringBuffer name, type;
        AttachmentFile::fileNameOfPath(c.path, name);
        ContentTypeTable::typeForPath(c.path, type);
        EXPECT_EQ(name.toStdString(), c.name) << c.path;
        EXPECT_EQ(type.toStdString(), c.type) << c.path;
    }
    // Only the first four letters count.
    const std::pair<const char*, const char*> encodings[] = {
        {"TEXT/html", "quoted-printable"}, {"textual/x", "quoted-printable"}, {"", "base64"}};
    for (auto [type, encoding] : encodings)
        EXPECT_STREQ(AttachmentFile::transferEncodingFor(type), encoding) << type;
}

TEST(AttachmentFile, PrepareReadsRealFiles) {
    testsupport::ScratchDir dir;
    std::string binary;
    // Over two read blocks and not a multiple of one.
    for (int i = 0; i < (5 << 19) + 7; ++i) binary += static_cast<char>(i * 7);
    const std::string path = dir.write("Job.PDF", binary);
    LogNull log;
    AttachmentInfo info;
    const struct { const char *forcedType, *type, *encoding; } cases[] = {
        {"", "application/pdf", "base64"},
        {"text/x-custom", "text/x-custom", "quoted-printable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(AttachmentFile::prepare(path.c_str(), c.forcedType, info, log));
        EXPECT_EQ(info.contentType.toStdString(), c.type);
        EXPECT_EQ(info.transferEncoding.toStdString(), c.encoding);
        EXPECT_EQ(info.fileName.toStdString(), "Job.PDF");
        EXPECT_TRUE(str(info.body) == binary);
    }
}

// None of these may block (no wait for a writer, no endless device): the
// attachment comes back at once, with the bytes shown or empty and the
// reason in the log.
TEST(AttachmentFile, PathsThatAreNotPlainFilesNeverBlockAndStayBounded) {
    testsupport::ScratchDir dir;
    const std::string fifo = dir.path() + "/fifo", growing = dir.write("grow.log", std::string(1 << 16, 'g'));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe(pipeFds), 0);
    std::atomic<bool> stopGrowing{false};
    const struct {
        std::string path;
        std::function<void()> write;  // on its own thread while the file is read
        std::string body;             // expected bytes; "*" some 'g's, at least the first 64 KiB
        const char* logged;           // in the log, or null for a clean read
    } cases[] = {
        {fifo, nullptr, "", nullptr},  // no writer
        {"/proc/self/fd/" + std::to_string(pipeFds[0]), [&] {  // a pipe like <(cmd)
             for (const std::string piece : {"first ", "second ", "third"}) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(30));
                 (void)!write(pipeFds[1], piece.data(), piece.size());
             }
             close(pipeFds[1]);
         }, "first second third", nullptr},
        {"/dev/zero", nullptr, "", "readLimit"},
        {growing, [&] {
             for (int i = 0; i < 20000 && !stopGrowing; ++i)
                 std::ofstream(growing, std::ios::app) << std::string(512, 'g');
         }, "*", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::thread writer(c.write ? c.write : [] {});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Logger log;
        AttachmentInfo info;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(AttachmentFile::prepare(c.path.c_str(), nullptr, info, log));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        stopGrowing = true;
        writer.join();
        const std::string body = str(info.body);
        EXPECT_GE(body.size(), c.body == "*" ? 1u << 16 : c.body.size());
        EXPECT_EQ(body, c.body == "*" ? std::string(body.size(), 'g') : c.body);
        StringBuffer text;
        log.GetText(text);
        EXPECT_EQ(text.toStdString().find(c.logged ? c.logged : "could not be read") != std::string::npos,
                  c.logged != nullptr) << text.getString();
    }
    close(pipeFds[0]);
}
