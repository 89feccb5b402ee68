#include "core/Logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace ostmail {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string runCommand(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

class SaveXmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostmail_logxml_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }
    std::string m_dir;
};

// A real XML parser must accept the file and see the same tree we logged.
TEST_F(SaveXmlTest, FileHoldsExactlyTheXmlAndParses) {
    Logger log;
    log.EnterContext("SendEmail", true);
    log.LogData("smtp_host", "mail.example.com");
    log.LogError("550 <bob@example.com>: rejected & logged");
    log.EnterContext("DATA", true);
    log.LogInfo("Line one\r\nline two \xC3\xA9");
    log.LeaveContext();
    log.LeaveContext();

    std::string path = m_dir + "/log.xml";
    std::ofstream(path) << "old content that is much longer than nothing at all, to be replaced";
    ASSERT_TRUE(log.SaveXml(path.c_str()));
    StringBuffer expected;
    log.GetXml(expected);
    EXPECT_EQ(readFile(path), expected.toStdString());

    std::string script =
        "import sys, xml.dom.minidom as m\n"
        "d = m.parse(sys.argv[1]).documentElement\n"
        "def walk(n, depth):\n"
        "    for c in n.childNodes:\n"
        "        if c.nodeType == c.ELEMENT_NODE:\n"
        "            t = ''.join(x.data for x in c.childNodes if x.nodeType in (x.TEXT_NODE, x.CDATA_SECTION_NODE))\n"
        "            print(depth, c.tagName, repr(t.strip()) if not any(e.nodeType == e.ELEMENT_NODE for e in c.childNodes) else '')\n"
        "            walk(c, depth + 1)\n"
        "print(d.tagName)\n"
        "walk(d, 1)\n";
    std::string scriptPath = m_dir + "/parse.py";
    std::ofstream(scriptPath) << script;
    std::string out = runCommand("/usr/bin/python3 '" + scriptPath + "' '" + path + "' 2>&1");
    EXPECT_EQ(out,
              "VelmoraLog\n"
              "1 SendEmail \n"
              "2 smtp_host 'mail.example.com'\n"
              "2 error '550 <bob@example.com>: rejected & logged'\n"
              "2 DATA \n"
              "3 info 'Line one\\nline two \xC3\xA9'\n")
        << out;
}

TEST_F(SaveXmlTest, FailuresAreLoggedAndReturnFalse) {
    Logger log;
    EXPECT_FALSE(log.SaveXml((m_dir + "/missing/dir/log.xml").c_str()));
    EXPECT_FALSE(log.SaveXml(m_dir.c_str()));  // a directory cannot be written as a file
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(log.SaveXml("/dev/full"));
    }
    StringBuffer sb;
    log.GetText(sb);
    std::string expected = "VelmoraLog:\r\n"
                           "  Failed to write complete file (7)\r\n"
                           "  Failed to write complete file (7)\r\n";
    if (access("/dev/full", W_OK) == 0) expected += "  Failed to write complete file (1)\r\n";
    EXPECT_EQ(sb.toStdString(), expected);
}

}  // namespace
}  // namespace ostmail
