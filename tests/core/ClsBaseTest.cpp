#include "core/ClsBase.h"
#include "platform/FileSystem.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

using namespace ostmail;

// An implementation class with two framed public methods.
class FramedProbe : public ClsBase {
public:
    void AddTo(const char* addr) {
        MethodFrame frame(m_log, "AddTo");
        m_log.LogData("address", addr);
    }
    void Framed(const char* note) {
        enterMethod("Framed");
        m_log.LogInfo(note);
        leaveMethod();
    }
};

// The forms are the log's own renderings (checked with the logger); a failed
// save is logged as SaveXml logs it.
TEST(ClsBase, LastErrorDescribesOnlyTheLastCallAndSaves) {
    testsupport::ScratchDir dir;
    FramedProbe p;
    p.AddTo("first");
    p.AddTo("J\xC3\xBCrgen <j@example.com>");
    XString txt, xml;
    p.LastErrorText(txt);
    p.LastErrorXml(xml);
    EXPECT_STREQ(txt.getUtf8(), "VelmoraLog:\r\n  AddTo:\r\n    address: J\xC3\xBCrgen <j@example.com>\r\n");
    EXPECT_EQ(txt.numChars(), std::string(txt.getUtf8()).size() - 1);  // one two-byte character
    StringBuffer logXml;
    p.log().GetXml(logXml);
    EXPECT_STREQ(xml.getUtf8(), logXml.getString());

    // The path is trimmed; blank ones are refused.
    EXPECT_FALSE(p.SaveLastError(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(p.SaveLastError(" \t\r\n"));
    XString path;
    path.setFromUtf8((" " + dir.path() + "/last error.xml\t").c_str());
    ASSERT_TRUE(p.SaveLastError(path));
    std::string saved;
    ASSERT_TRUE(platform::readWholeFile((dir.path() + "/last error.xml").c_str(), saved));
    EXPECT_EQ(saved, xml.getUtf8());

    // The output replaces what the caller's string held.
    p.Framed("second");
    p.LastErrorText(txt);
    EXPECT_STREQ(txt.getUtf8(), "VelmoraLog:\r\n  Framed:\r\n    second\r\n");
    EXPECT_EQ(static_cast<Logger&>(p.log()).openContexts(), 1);
}
