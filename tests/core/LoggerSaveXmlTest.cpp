#include "core/Logger.h"
#include "platform/FileSystem.h"
#include "support/PythonRun.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace ostmail {
namespace {

// A real XML parser must accept the file and see the same tree we logged.
TEST(SaveXml, FileHoldsExactlyTheXmlAndParses) {
    testsupport::ScratchDir dir;
    Logger log;
    log.EnterContext("SendEmail", true);
    log.LogData("smtp_host", "mail.example.com");
    log.LogError("550 <bob@example.com>: rejected & logged");
    log.EnterContext("DATA", true);
    log.LogInfo("Line one\r\nline two \xC3\xA9");
    log.LeaveContext();
    log.LeaveContext();

    const std::string path = dir.write("log.xml", "old content that is much longer than nothing at all, to be replaced");
    ASSERT_TRUE(log.SaveXml(path.c_str()));
    StringBuffer expected;
    log.GetXml(expected);
    std::string saved;
    ASSERT_TRUE(platform::readWholeFile(path.c_str(), saved));
    EXPECT_EQ(saved, expected.toStdString());

    const auto r = testsupport::runPython(
        "import sys, xml.dom.minidom as m\n"
        "def walk(n, depth):\n"
        "    for c in n.childNodes:\n"
        "        if c.nodeType == c.ELEMENT_NODE:\n"
        "            t = ''.join(x.data for x in c.childNodes if x.nodeType in (x.TEXT_NODE, x.CDATA_SECTION_NODE))\n"
        "            leaf = not any(e.nodeType == e.ELEMENT_NODE for e in c.childNodes)\n"
        "            print(depth, c.tagName, repr(t.strip()) if leaf else '')\n"
        "            walk(c, depth + 1)\n"
        "d = m.parse(sys.argv[1]).documentElement\n"
        "print(d.tagName)\n"
        "walk(d, 1)\n",
        "", {path});
    EXPECT_EQ(r.out,
              "VelmoraLog\n"
              "1 SendEmail \n"
              "2 smtp_host 'mail.example.com'\n"
              "2 error '550 <bob@example.com>: rejected & logged'\n"
              "2 DATA \n"
              "3 info 'Line one\\nline two \xC3\xA9'\n")
        << r.err;
}

TEST(SaveXml, FailuresAreLoggedAndReturnFalse) {
    testsupport::ScratchDir dir;
    Logger log;
    EXPECT_FALSE(log.SaveXml((dir.path() + "/missing/dir/log.xml").c_str()));
    EXPECT_FALSE(log.SaveXml(dir.path().c_str()));  // a directory cannot be written as a file
    const bool devFull = access("/dev/full", W_OK) == 0;
    if (devFull) {
        EXPECT_FALSE(log.SaveXml("/dev/full"));
    }
    StringBuffer sb;
    log.GetText(sb);
    EXPECT_EQ(sb.toStdString(), std::string("VelmoraLog:\r\n"
                                            "  Failed to write complete file (7)\r\n"
                                            "  Failed to write complete file (7)\r\n") +
                                    (devFull ? "  Failed to write complete file (1)\r\n" : ""));
}

}  // namespace
}  // namespace ostmail
