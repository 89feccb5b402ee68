// Hostile and broken input through the facade: a clear result, never a
// crash, never a header line that a parser reads as a field of its own.
#include "FacadeTestUtil.h"

#include <sys/stat.h>

namespace ostmail {
namespace {

using facadetest::MailCheck;

std::string lastError(VmEmail& e) { return e.lastErrorText(); }

// The fields every rendered message has and those given, lower case and sorted.
std::vector<std::string> headerNames(std::vector<std::string> more) {
    more.insert(more.end(), {"mime-version", "date", "message-id", "x-mailer", "x-priority", "content-type",
                             "content-transfer-encoding"});
    std::sort(more.begin(), more.end());
    return more;
}

// Line breaks in values never forge fields; huge names and lists, and
// unbalanced quotes, still give a header Python reads as it was meant.
TEST(VmEmailBadInput, HostileValuesKeepTheHeaderStructure) {
    facadetest::ScratchDir dir;
    VmEmail e;
    e.put_Utf8(true);
    e.put_Body("body\r\n");
    e.put_Subject("Hello\r\nBcc: victim@example.com\r\n\r\nInjected body");
    e.put_FromName("Evil\r\nX-Injected: 1");
    e.put_FromAddress("sender@example.com\r\nX-Injected: 2");
    EXPECT_TRUE(e.AddTo("Name\r\nCc: cc@example.com", "to@example.com\r\nX-Injected: 3"));
    e.AddHeaderField("X-Note", "a\r\nBcc: victim@example.com");
    e.AddHeaderField("X-Evil\r\nBcc", "victim@example.com");
    e.AddHeaderField("X-Bare", "line\nfeed\rand return");
    std::string mime = facadetest::renderForSending(e);
    std::string head = mime.substr(0, mime.find("\r\n\r\n"));
    for (const char* forged : {"\nBcc", "\nX-Injected", "\nCc"}) EXPECT_EQ(head.find(forged), std::string::npos) << head;
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

    // One entry holding a whole comma list is one mailbox text to the
    // e-mail object; it is accepted and must not break the header.
    VmEmail list;
    list.put_Utf8(true);
    std::string joined;
    for (int i = 0; i < kCcCount; ++i) joined += (i ? ", " : "") + cc[i];
    EXPECT_TRUE(list.AddTo("", joined.c_str()));
    list.put_FromAddress("sender@example.com");

    // Unbalanced quotes in a display name: names are written between quotes
    // without escaping, so the reader's view of the list is lost; the header
    // structure is not.
    VmEmail quotes;
    quotes.put_Utf8(true);
    EXPECT_TRUE(quotes.AddTo("Joe \"Unterminated", "joe@example.com"));
    EXPECT_TRUE(quotes.AddTo("", "\"odd@example.com"));
    EXPECT_TRUE(quotes.AddCC("Ann", "ann@example.com"));

    const std::vector<MailCheck> read = facadetest::readBack(
        dir, {{"crlf", mime}, {"huge", facadetest::renderForSending(huge)}, {"joined", facadetest::renderForSending(list)},
              {"quotes", facadetest::renderForSending(quotes)}});
    EXPECT_EQ(facadetest::headerNames(read[0]), headerNames({"subject", "from", "to", "x-note", "x-bare"}));
    const MailCheck& m = read[1];
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
    EXPECT_EQ(facadetest::headerNames(m), headerNames({"subject", "from", "to", "cc"}));
    EXPECT_EQ(facadetest::headerNames(read[2]), headerNames({"from", "to"}));
    EXPECT_EQ(facadetest::mailboxes(read[3], "cc"), std::vector<std::string>{"Ann <ann@example.com>"});
    EXPECT_EQ(facadetest::headerNames(read[3]), headerNames({"to", "cc"}));
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
