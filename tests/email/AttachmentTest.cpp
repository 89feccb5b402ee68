#include "core/LogBase.h"
#include "core/Logger.h"
#include "email/AttachmentFile.h"
#include "email/ContentTypeTable.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ostmail;

namespace {

void appendToFileForTest(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) return;
    (void)!write(fd, bytes.data(), bytes.size());
    close(fd);
}

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

TEST(AttachmentFile, PathsThatAreNotPlainFilesNeverBlockAndStayBounded) {
    // Each case makes a path; the attachment must come back at once (no wait
    // for a writer, no endless device), with the bytes shown or empty and the
    // reason in the log.
    testsupport::ScratchDir dir;
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe(pipeFds), 0);
    std::thread writer;
    std::atomic<bool> stopGrowing{false};
    std::string grown;
    struct Case {
        const char* name;
        std::function<std::string()> make;  // the path
        std::string body;                   // expected bytes; "*" a prefix of grown
        const char* logged;                 // in the log, or null for a clean read
    };
    const Case cases[] = {
        {"fifo without writer", [&] {
             std::string p = dir.path() + "/fifo";
             mkfifo(p.c_str(), 0600);
             return p;
         }, "", nullptr},
        {"pipe like <(cmd)", [&] {
             writer = std::thread([&] {
                 for (const char* piece : {"first ", "second ", "third"}) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(30));
                     (void)!write(pipeFds[1], piece, std::strlen(piece));
                 }
                 close(pipeFds[1]);
             });
             return "/proc/self/fd/" + std::to_string(pipeFds[0]);
         }, "first second third", nullptr},
        {"socket", [&] {
             std::string p = dir.path() + "/sock";
             int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             std::snprintf(a.sun_path, sizeof a.sun_path, "%s", p.c_str());
             (void)!bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
             return p;
         }, "", "openError"},
        {"endless device", [] { return std::string("/dev/zero"); }, "", "readLimit"},
        {"growing file", [&] {
             std::string p = dir.write("grow.log", std::string(1 << 16, 'g'));
             writer = std::thread([&, p] {
                 for (int i = 0; i < 20000 && !stopGrowing; ++i) appendToFileForTest(p, std::string(512, 'g'));
             });
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             return p;
         }, "*", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        AttachmentInfo info;
        const std::string path = c.make();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(AttachmentFile::prepare(path.c_str(), nullptr, info, log));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        stopGrowing = true;
        if (writer.joinable()) writer.join();
        const std::string body(reinterpret_cast<const char*>(info.body.getData()), info.body.getSize());
        StringBuffer text;
        log.GetText(text);
        if (c.body == "*") {
            EXPECT_GE(body.size(), 1u << 16);
            EXPECT_EQ(body, std::string(body.size(), 'g'));
        } else {
            EXPECT_EQ(body, c.body);
        }
        EXPECT_EQ(text.toStdString().find(c.logged ? c.logged : "could not be read") != std::string::npos,
                  c.logged != nullptr) << text.getString();
    }
    close(pipeFds[0]);
}
