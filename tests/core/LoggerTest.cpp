#include "core/Logger.h"
#include "platform/FileSystem.h"
#include "support/PythonRun.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ostmail;

namespace {

std::string render(LogBase& log, void (LogBase::*form)(StringBuffer&) = &LogBase::GetText) {
    StringBuffer sb;
    (log.*form)(sb);
    return sb.toStdString();
}

// Plays '|'-separated steps: "+Name" enters a context, "-" leaves it, "!text"
// logs an error, "name=value" data, anything else info.
void play(Logger& log, const std::string& script) {
    std::istringstream steps(script);
    for (std::string s; std::getline(steps, s, '|');) {
        const size_t eq = s.find('=');
        if (s[0] == '+') log.EnterContext(s.c_str() + 1, true);
        else if (s == "-") log.LeaveContext();
        else if (s[0] == '!') log.LogError(s.c_str() + 1);
        else if (eq != std::string::npos) log.LogData(s.substr(0, eq).c_str(), s.c_str() + eq + 1);
        else log.LogInfo(s.c_str());
    }
}

}  // namespace

// The XML and HTML of nested contexts are checked with the escaping below;
// the indentation is the text form's own.
TEST(Logger, NestsTextDropsEmptyContextsAndAppendsToTheBuffer) {
    Logger log;
    play(log, "+SendEmail|smtp_host=mail.example.com|+connect|Connecting|!Connect failed|-|smtp_port=25|-");
    EXPECT_EQ(render(log), "VelmoraLog:\r\n  SendEmail:\r\n    smtp_host: mail.example.com\r\n"
                           "    connect:\r\n      Connecting\r\n      Connect failed\r\n"
                           "    smtp_port: 25\r\n");
    // Renderings append to what the caller's buffer holds.
    StringBuffer sb("x");
    log.GetText(sb);
    EXPECT_EQ(sb.toStdString(), "x" + render(log));

    // Empty contexts vanish when left, except directly under the root (Top is
    // empty once Low and then Mid vanish).
    log.ClearLog();
    play(log, "+Outer|+EmptyInner|-|+Inner|+EmptyDeeper|-|kept|-|-|+Top|+Mid|+Low|-|-|-");
    EXPECT_EQ(render(log), "VelmoraLog:\r\n  Outer:\r\n    Inner:\r\n      kept\r\n  Top:\r\n");
}

// Secrets and their base64 become the marker in lines and values, however
// often they occur (the longer of two overlapping ones first); texts under
// 4 bytes stay, as they would blank out words.
TEST(Logger, SecretsAndTheirBase64NeverEnterTheLog) {
    Logger log;
    log.setSecrets({"Secret-Pass", "pw", "Secret-Pass1"});
    play(log, "+Send|AUTH PLAIN pw Secret-Pass1 Secret-Pass1|U2VjcmV0LVBhc3Mx=U2VjcmV0LVBhc3Mx and Secret-Pass|-");
    EXPECT_EQ(render(log), "VelmoraLog:\r\n  Send:\r\n    AUTH PLAIN pw [secret removed] [secret removed]\r\n"
                           "    U2VjcmV0LVBhc3Mx: [secret removed] and [secret removed]\r\n");
}

// The empty log's frame in each form is part of every expected value here.
// XML wraps markup, tabs and line breaks in CDATA (plain text, quotes and
// UTF-8 stay bare; text already in a whole CDATA section is written as it
// is); HTML escapes, the ampersand first so an entity is escaped once. Tags
// and context names are never escaped.
TEST(Logger, XmlWrapsMarkupInCdataAndHtmlEscapes) {
    const struct {
        const char *steps, *xml, *html;
    } items[] = {
        {"!a<b", "<error><![CDATA[a<b]]></error>", "a&lt;b<br>\r\n"},
        {"a\nb", "<info><![CDATA[a\nb]]></info>", nullptr},
        {"v=Gr\xC3\xBC\xC3\x9F" "e \"x\"", "<v>Gr\xC3\xBC\xC3\x9F" "e \"x\"</v>",
         "v: Gr\xC3\xBC\xC3\x9F" "e &quot;x&quot;<br>\r\n"},
        {"v=<![CDATA[<p>]]>", "<v><![CDATA[<p>]]></v>", nullptr},
        {"v=<![CDATA[<p>", "<v><![CDATA[<![CDATA[<p>]]></v>", nullptr},
        {"&lt; <&> \"", "<info><![CDATA[&lt; <&> \"]]></info>", "&amp;lt; &lt;&amp;&gt; &quot;<br>\r\n"},
        {"+ctx&|i|-", "<ctx&>\r\n<info>i</info>\r\n</ctx&>", "ctx&:<blockquote>\r\ni<br>\r\n</blockquote>\r\n"},
    };
    Logger log;
    for (const auto& it : items) {
        SCOPED_TRACE(it.steps);
        log.ClearLog();
        play(log, it.steps);
        EXPECT_EQ(render(log, &LogBase::GetXml), std::string("<VelmoraLog>\r\n") + it.xml + "\r\n</VelmoraLog>\r\n");
        if (it.html) {
            EXPECT_EQ(render(log, &LogBase::GetHtml),
                      std::string("VelmoraLog:<blockquote>\r\n") + it.html + "</blockquote>\r\n");
        }
    }
}

// Leaving past the root is harmless; null texts record nothing but succeed.
TEST(Logger, ContextBalanceAndClearing) {
    Logger log;
    log.LogInfo("first");
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_EQ(log.openContexts(), 1);
    EXPECT_TRUE(log.LogError(nullptr));
    {
        LogContextExitor ctx(log, "Step");
        EXPECT_EQ(log.openContexts(), 2);
        log.LogInfo("inside");
    }
    EXPECT_EQ(render(log), "VelmoraLog:\r\n  first\r\n  Step:\r\n    inside\r\n");

    // Clearing with contexts still open starts over at the root.
    play(log, "+A|+B");
    EXPECT_TRUE(log.ClearLog());
    EXPECT_EQ(log.openContexts(), 1);
    log.LogInfo("after");
    EXPECT_EQ(render(log), "VelmoraLog:\r\n  after\r\n");
}

// Several writers and one reader on one log: every entry arrives once, each
// writer's entries keep their order, and renderings taken meanwhile are whole.
TEST(Logger, ConcurrentWritersAndReader) {
    Logger log;
    const int kThreads = 4, kPerThread = 20000;
    std::atomic<bool> go{false}, done{false};
    std::thread reader([&] {
        while (!go.load()) std::this_thread::yield();
        while (!done.load()) {
            std::string x = render(log, &LogBase::GetXml);
            ASSERT_EQ(x.rfind("<VelmoraLog>\r\n", 0), 0u);
            ASSERT_GE(x.size(), 14u + 15u);
            ASSERT_EQ(x.substr(x.size() - 15), "</VelmoraLog>\r\n");
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, &go, t] {
            std::string name = "w" + std::to_string(t);
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) log.LogDataLong(name.c_str(), i);
        });
    }
    go = true;
    for (auto& w : writers) w.join();
    done = true;
    reader.join();

    std::string all = render(log);
    std::vector<int> next(kThreads, 0);
    for (size_t pos = all.find("\r\n") + 2, end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        int w = -1, v = -1;
        ASSERT_EQ(std::sscanf(all.c_str() + pos, "  w%d: %d", &w, &v), 2) << all.substr(pos, end - pos);
        ASSERT_TRUE(w >= 0 && w < kThreads);
        ASSERT_EQ(v, next[w]++) << "writer " << w;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

// A real XML parser must accept the file and see the same tree we logged;
// failed writes are logged and return false.
TEST(SaveXml, FileHoldsExactlyTheXmlOrTheFailureIsLogged) {
    testsupport::ScratchDir dir;
    Logger log;
    play(log, "+SendEmail|smtp_host=mail.example.com|!550 <bob@example.com>: rejected & logged|"
              "+DATA|Line one\r\nline two \xC3\xA9|-|-");
    const std::string path = dir.write("log.xml", "old content, much longer than nothing at all, to be replaced");
    ASSERT_TRUE(log.SaveXml(path.c_str()));
    std::string saved;
    ASSERT_TRUE(platform::readWholeFile(path.c_str(), saved));
    EXPECT_EQ(saved, render(log, &LogBase::GetXml));
    const auto r = testsupport::runPython(
        "import sys, xml.etree.ElementTree as ET\n"
        "def walk(e, depth):\n"
        "    print(depth, e.tag, '' if len(e) else repr((e.text or '').strip()))\n"
        "    for c in e: walk(c, depth + 1)\n"
        "walk(ET.parse(sys.argv[1]).getroot(), 0)\n",
        "", {path});
    EXPECT_EQ(r.out, "0 VelmoraLog \n1 SendEmail \n2 smtp_host 'mail.example.com'\n"
                     "2 error '550 <bob@example.com>: rejected & logged'\n"
                     "2 DATA \n3 info 'Line one\\nline two \xC3\xA9'\n")
        << r.err;

    log.ClearLog();
    EXPECT_FALSE(log.SaveXml(dir.path().c_str()));  // a directory cannot be written as a file
    const bool devFull = access("/dev/full", W_OK) == 0;
    EXPECT_TRUE(!devFull || !log.SaveXml("/dev/full"));
    EXPECT_EQ(render(log), std::string("VelmoraLog:\r\n  Failed to write complete file (7)\r\n") +
                               (devFull ? "  Failed to write complete file (1)\r\n" : ""));
}
