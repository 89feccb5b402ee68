// Hostile and broken input through the facade: a clear result, never a
// crash, never a header line that a parser reads as a field of its own.
#include "FacadeTestUtil.h"
#include "support/ScratchDir.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace ostmail;

TEST(VmEmailBadInput, EmptyAddressesAndUnusableAttachmentsFailClearly) {
    testsupport::ScratchDir dir;
    VmEmail e;
    e.put_Body("text");
    EXPECT_FALSE(e.AddTo("Nobody", "   "));
    EXPECT_NE(std::string(e.lastErrorText()).find("No Email Address was provided"), std::string::npos);
    EXPECT_FALSE(e.AddCC("Nobody", nullptr));
    EXPECT_EQ(e.get_NumTo() + e.get_NumCC(), 0);

    EXPECT_EQ(e.addFileAttachment((dir.path() + "/no/such/file.pdf").c_str()), nullptr);
    std::string err = e.lastErrorText();
    EXPECT_NE(err.find("AddFileAttachment"), std::string::npos) << err;
    EXPECT_NE(err.find("Failed to add file attachment"), std::string::npos) << err;
    EXPECT_EQ(e.addFileAttachment(dir.path().c_str()), nullptr) << "a directory is not a file";
    EXPECT_EQ(e.addFileAttachment(""), nullptr);
    EXPECT_EQ(e.get_NumAttachments(), 0);
    EXPECT_EQ(std::string(e.getHeaderField("Content-Type")), "text/plain");

    // A file that exists but cannot be read is attached empty.
    std::string unreadable = dir.write("secret.bin", "secret");
    chmod(unreadable.c_str(), 0);
    if (geteuid() == 0) unreadable = "/proc/self/mem";  // root reads anything; this one fails with EIO
    const char* type = e.addFileAttachment(unreadable.c_str());
    ASSERT_NE(type, nullptr) << e.lastErrorText();
    EXPECT_EQ(std::string(type), "application/octet-stream");
    EXPECT_EQ(e.get_NumAttachments(), 1);
    EXPECT_EQ(facadetest::renderForSending(e).find("secret"), std::string::npos);
}

// The default is ANSI: the subject reads back in the code page until the
// UTF-8 switch is on.
TEST(VmEmailFacade, AnsiModeAndRotatingResults) {
    facadetest::Cp1252 cp;
    VmEmail e;
    e.put_Subject("Caf\xE9");  // ANSI text in Windows-1252
    e.put_FromName("Ren\xE9");
    e.put_FromAddress("rene@example.com");
    EXPECT_EQ(std::string(e.subject()), "Caf\xE9");
    e.put_Utf8(true);
    EXPECT_EQ(std::string(e.subject()), "Caf\xC3\xA9");
    EXPECT_EQ(std::string(e.charset()), "iso-8859-1");

    const char* results[VmEmail::kNumResults];
    for (int i = 0; i < VmEmail::kNumResults; ++i) {
        const std::string name = "X-H" + std::to_string(i);
        e.AddHeaderField(name.c_str(), ("value " + std::to_string(i)).c_str());
        results[i] = e.getHeaderField(name.c_str());
    }
    for (int i = 0; i < VmEmail::kNumResults; ++i) EXPECT_EQ(std::string(results[i]), "value " + std::to_string(i));
    EXPECT_EQ(e.getHeaderField("X-Absent"), nullptr);
    EXPECT_STREQ(e.fromName(), "Ren\xC3\xA9");
    EXPECT_STREQ(e.fromAddress(), "rene@example.com");
}
