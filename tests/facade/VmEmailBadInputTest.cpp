// Hostile and broken input through the facade: a clear result, never a
// crash, never a header line that a parser reads as a field of its own.
#include "FacadeTestUtil.h"

#include <sys/stat.h>

namespace ostmail {
namespace {

using facadetest::MailCheck;

std::string lastError(VmEmail& e) { return e.lastErrorText(); }

// Huge names, subjects and lists still give a header Python reads as it
// was meant; line breaks in values are the unit tests' and the fuzzer's.
TEST(VmEmailBadInput, HugeValuesKeepTheHeaderStructure) {
    facadetest::ScratchDir dir;
    std::string longName(10000, 'N');
    std::string longUtf8;
    for (int i = 0; i < 5000; ++i) longUtf8 += "\xC3\xA9";
    VmEmail huge;
    huge.put_Utf8(true);
    huge.put_Body("b");
    huge.put_Subject(longUtf8.c_str());
    huge.put_FromName(longUtf8.c_str());
    huge.put_FromAddress("sender@example.com");
    ASSERT_TRUE(huge.AddTo(longName.c_str(), "long@example.com"));
    const int kCcCount = 5000;
    std::vector<std::string> cc;
    for (int i = 0; i < kCcCount; ++i) {
        cc.push_back("user" + std::to_string(i) + "@example.com");
        ASSERT_TRUE(huge.AddCC("", cc.back().c_str()));
    }
    EXPECT_EQ(huge.get_NumCC(), kCcCount);

    const MailCheck m = facadetest::readBack(dir, {{"huge", facadetest::renderForSending(huge)}})[0];
    EXPECT_EQ(m.get("subject"), longUtf8);
    // Python keeps the folding white space between adjacent encoded words
    // of a display name as a space, so a long folded name comes back with
    // spaces where it was folded.
    std::string fromName = m.get("from.0.name");
    fromName.erase(std::remove(fromName.begin(), fromName.end(), ' '), fromName.end());
    EXPECT_EQ(fromName, longUtf8);
    EXPECT_EQ(m.count("from"), 1);
    EXPECT_EQ(m.get("from.0.addr"), "sender@example.com");
    EXPECT_EQ(facadetest::mailboxes(m, "to"), std::vector<std::string>{longName + " <long@example.com>"});
    ASSERT_EQ(m.count("cc"), kCcCount);
    for (int i = 0; i < kCcCount; ++i) ASSERT_EQ(m.get("cc." + std::to_string(i) + ".addr"), cc[i]);
    EXPECT_EQ(facadetest::headerNames(m),
              (std::vector<std::string>{"cc", "content-transfer-encoding", "content-type", "date", "from", "message-id",
                                        "mime-version", "subject", "to", "x-mailer", "x-priority"}));
}

TEST(VmEmailBadInput, EmptyAddressesAndUnusableAttachmentsFailClearly) {
    facadetest::ScratchDir dir;
    VmEmail e;
    e.put_Utf8(true);
    e.put_Body("text");
    EXPECT_FALSE(e.AddTo("Nobody", "   "));
    EXPECT_NE(lastError(e).find("No Email Address was provided"), std::string::npos);
    EXPECT_FALSE(e.AddCC("Nobody", nullptr));
    EXPECT_EQ(e.get_NumTo() + e.get_NumCC(), 0);

    EXPECT_EQ(e.addFileAttachment((dir.path() + "/no/such/file.pdf").c_str()), nullptr);
    std::string err = lastError(e);
    EXPECT_NE(err.find("AddFileAttachment"), std::string::npos) << err;
    EXPECT_NE(err.find("Failed to add file attachment"), std::string::npos) << err;
    EXPECT_EQ(e.addFileAttachment(dir.path().c_str()), nullptr) << "a directory is not a file";
    EXPECT_NE(lastError(e).find("Failed to add file attachment"), std::string::npos);
    EXPECT_EQ(e.addFileAttachment(""), nullptr);
    EXPECT_EQ(e.get_NumAttachments(), 0);
    EXPECT_EQ(std::string(e.getHeaderField("Content-Type")), "text/plain");

    // A file that exists but cannot be read is attached empty.
    std::string unreadable = dir.write("secret.bin", "secret");
    chmod(unreadable.c_str(), 0);
    if (geteuid() == 0) unreadable = "/proc/self/mem";  // root reads anything; this one fails with EIO
    const char* type = e.addFileAttachment(unreadable.c_str());
    ASSERT_NE(type, nullptr) << lastError(e);
    EXPECT_EQ(std::string(type), "application/octet-stream");
    EXPECT_EQ(e.get_NumAttachments(), 1);
    std::string mime = facadetest::renderForSending(e);
    EXPECT_EQ(mime.find("secret"), std::string::npos);
}

TEST(VmEmailFacade, AnsiModeAndRotatingResults) {
    facadetest::Cp1252 cp;
    VmEmail e;
    EXPECT_FALSE(e.get_Utf8());
    e.put_Subject("Caf\xE9");  // ANSI text in Windows-1252
    e.put_FromName("Ren\xE9");
    e.put_FromAddress("rene@example.com");
    EXPECT_EQ(std::string(e.subject()), "Caf\xE9");
    e.put_Utf8(true);
    EXPECT_EQ(std::string(e.subject()), "Caf\xC3\xA9");
    EXPECT_EQ(std::string(e.charset()), "iso-8859-1");

    const char* results[VmEmail::kNumResults];
    std::string want[VmEmail::kNumResults];
    for (int i = 0; i < VmEmail::kNumResults; ++i) {
        std::string name = "X-H" + std::to_string(i);
        want[i] = "value " + std::to_string(i);
        e.AddHeaderField(name.c_str(), want[i].c_str());
        results[i] = e.getHeaderField(name.c_str());
    }
    for (int i = 0; i < VmEmail::kNumResults; ++i) EXPECT_EQ(std::string(results[i]), want[i]);
    EXPECT_EQ(e.getHeaderField("X-Absent"), nullptr);
    EXPECT_STREQ(e.fromName(), "Ren\xC3\xA9");
    EXPECT_STREQ(e.fromAddress(), "rene@example.com");
}

}  // namespace
}  // namespace ostmail
