#include "core/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace {

std::string text(LogBase& log) {
    StringBuffer sb;
    log.GetText(sb);
    return sb.toStdString();
}

std::string xml(LogBase& log) {
    StringBuffer sb;
    log.GetXml(sb);
    return sb.toStdString();
}

std::string html(LogBase& log) {
    StringBuffer sb;
    log.GetHtml(sb);
    return sb.toStdString();
}

// A small log as a failed send leaves it: method context, sub-step, every kind of entry.
void fillSample(Logger& log) {
    log.ClearLog();
    log.EnterContext("SendEmail", true);
    log.LogData("smtp_host", "mail.example.com");
    log.EnterContext("connect", true);
    log.LogInfo("Connecting");
    log.LogError("Connect failed");
    log.LogLine("raw line");
    log.LeaveContext();
    log.LogDataLong("smtp_port", 25);
    log.LeaveContext();
}

TEST(Logger, FreshLogRendersRootOnly) {
    Logger log;
    EXPECT_EQ(text(log), "VelmoraLog:\r\n");
    EXPECT_EQ(xml(log), "<VelmoraLog>\r\n</VelmoraLog>\r\n");
    EXPECT_EQ(html(log), "VelmoraLog:<blockquote>\r\n</blockquote>\r\n");
    EXPECT_EQ(log.openContexts(), 1);
}

TEST(Logger, RendersNestedContextsInAllThreeForms) {
    Logger log;
    fillSample(log);
    EXPECT_EQ(text(log),
              "VelmoraLog:\r\n"
              "  SendEmail:\r\n"
              "    smtp_host: mail.example.com\r\n"
              "    connect:\r\n"
              "      Connecting\r\n"
              "      Connect failed\r\n"
              "      raw line\r\n"
              "    smtp_port: 25\r\n");
    EXPECT_EQ(xml(log),
              "<VelmoraLog>\r\n"
              "<SendEmail>\r\n"
              "<smtp_host>mail.example.com</smtp_host>\r\n"
              "<connect>\r\n"
              "<info>Connecting</info>\r\n"
              "<error>Connect failed</error>\r\n"
              "raw line\r\n"
              "</connect>\r\n"
              "<smtp_port>25</smtp_port>\r\n"
              "</SendEmail>\r\n"
              "</VelmoraLog>\r\n");
    EXPECT_EQ(html(log),
              "VelmoraLog:<blockquote>\r\n"
              "SendEmail:<blockquote>\r\n"
              "smtp_host: mail.example.com<br>\r\n"
              "connect:<blockquote>\r\n"
              "Connecting<br>\r\n"
              "Connect failed<br>\r\n"
              "raw line<br>\r\n"
              "</blockquote>\r\n"
              "smtp_port: 25<br>\r\n"
              "</blockquote>\r\n"
              "</blockquote>\r\n");
    // Renderings append to what the caller's buffer holds.
    StringBuffer sb("x");
    log.GetText(sb);
    EXPECT_EQ(sb.toStdString(), "x" + text(log));
}

TEST(Logger, XmlWrapsMarkupInCdataAndHtmlEscapes) {
    Logger log;
    log.LogError("a<b");
    EXPECT_EQ(xml(log), "<VelmoraLog>\r\n<error><![CDATA[a<b]]></error>\r\n</VelmoraLog>\r\n");
    EXPECT_EQ(html(log), "VelmoraLog:<blockquote>\r\na&lt;b<br>\r\n</blockquote>\r\n");

    // Every trigger wraps; plain text, quotes and UTF-8 do not.
    for (const char* s : {"a\nb", "a\tb", "a&b", "a>b"}) {
        log.ClearLog();
        log.LogInfo(s);
        EXPECT_NE(xml(log).find(std::string("<info><![CDATA[") + s + "]]></info>"), std::string::npos) << s;
    }
    log.ClearLog();
    log.LogData("subject", "Gr\xC3\xBC\xC3\x9F" "e \"x\"");
    EXPECT_NE(xml(log).find("<subject>Gr\xC3\xBC\xC3\x9F" "e \"x\"</subject>"), std::string::npos);
    EXPECT_NE(text(log).find("  subject: Gr\xC3\xBC\xC3\x9F" "e \"x\"\r\n"), std::string::npos);
    EXPECT_NE(html(log).find("subject: Gr\xC3\xBC\xC3\x9F" "e &quot;x&quot;<br>\r\n"), std::string::npos);

    // Text already in a CDATA section is written as it is; one marker alone is not enough.
    log.ClearLog();
    log.LogData("body", "<![CDATA[<p>]]>");
    log.LogData("half", "<![CDATA[<p>");
    std::string x = xml(log);
    EXPECT_NE(x.find("<body><![CDATA[<p>]]></body>"), std::string::npos);
    EXPECT_NE(x.find("<half><![CDATA[<![CDATA[<p>]]></half>"), std::string::npos);

    // Ampersand first, so an entity in the input is escaped once, not twice.
    log.ClearLog();
    log.LogInfo("&lt; <&> \"");
    EXPECT_NE(html(log).find("&amp;lt; &lt;&amp;&gt; &quot;<br>"), std::string::npos);

    // Bare lines are never wrapped; tags and names never escaped.
    log.ClearLog();
    log.LogLine("<raw>");
    log.EnterContext("ctx&", true);
    log.LogInfo("i");
    log.LeaveContext();
    EXPECT_EQ(xml(log), "<VelmoraLog>\r\n<raw>\r\n<ctx&>\r\n<info>i</info>\r\n</ctx&>\r\n</VelmoraLog>\r\n");
    EXPECT_EQ(html(log),
              "VelmoraLog:<blockquote>\r\n&lt;raw&gt;<br>\r\nctx&:<blockquote>\r\ni<br>\r\n"
              "</blockquote>\r\n</blockquote>\r\n");
}

TEST(Logger, DataNamesAndNumericValues) {
    Logger log;
    EXPECT_TRUE(log.LogData(" \t smtp host \r\n", "h"));
    EXPECT_FALSE(log.LogData("   ", "v"));
    EXPECT_FALSE(log.LogData(nullptr, "v"));
    EXPECT_TRUE(log.LogData("nullValue", nullptr));
    EXPECT_TRUE(log.LogDataLong("neg", -5));
    EXPECT_TRUE(log.LogDataLong("min", INT32_MIN));
    EXPECT_TRUE(log.LogDataHex("hex", 255));
    EXPECT_TRUE(log.LogDataHex("hexMax", 0xFFFFFFFFu));
    EXPECT_TRUE(log.LogData64("big", -1234567890123LL));
    EXPECT_TRUE(log.LogData64("min64", INT64_MIN));
    EXPECT_TRUE(log.LogDataBool("flag", true));
    EXPECT_FALSE(log.LogDataLong(" ", 1));
    EXPECT_EQ(text(log),
              "VelmoraLog:\r\n"
              "  smtp_host: h\r\n"
              "  nullValue: (NULL)\r\n"
              "  neg: -5\r\n"
              "  min: -2147483648\r\n"
              "  hex: 0xff\r\n"
              "  hexMax: 0xffffffff\r\n"
              "  big: -1234567890123\r\n"
              "  min64: -9223372036854775808\r\n"
              "  flag: 1\r\n");

    log.ClearLog();
    log.LogTickCount("ticks");
    std::string t = text(log);
    EXPECT_TRUE(std::regex_match(t, std::regex("VelmoraLog:\r\n  ticks: [0-9a-f]+\r\n"))) << t;
}

TEST(Logger, EmptyContextsVanishExceptUnderRoot) {
    Logger log;
    log.EnterContext("Outer", true);
    log.EnterContext("EmptyInner", true);
    log.LeaveContext();
    log.EnterContext("Inner", true);
    log.EnterContext("EmptyDeeper", true);
    log.LeaveContext();
    log.LogInfo("kept");
    log.LeaveContext();
    log.LeaveContext();
    log.EnterContext("EmptyTop", true);
    log.LeaveContext();
    EXPECT_EQ(text(log),
              "VelmoraLog:\r\n"
              "  Outer:\r\n"
              "    Inner:\r\n"
              "      kept\r\n"
              "  EmptyTop:\r\n");

    // A context that only holds an emptied sub-context is itself empty when left.
    log.ClearLog();
    log.EnterContext("Top", true);
    log.EnterContext("Mid", true);
    log.EnterContext("Low", true);
    log.LeaveContext();
    log.LeaveContext();
    log.LeaveContext();
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  Top:\r\n");
}

TEST(Logger, UnbalancedLeaveAndClearLog) {
    Logger log;
    log.LogInfo("first");
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_EQ(log.openContexts(), 1);
    log.LogInfo("second");
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  first\r\n  second\r\n");

    // Null texts record nothing but still succeed.
    EXPECT_TRUE(log.LogError(nullptr));
    EXPECT_TRUE(log.LogInfo(nullptr));
    EXPECT_TRUE(log.LogLine(nullptr));
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  first\r\n  second\r\n");

    // Clearing with contexts still open starts over at the root.
    log.EnterContext("A", true);
    log.EnterContext("B", true);
    EXPECT_EQ(log.openContexts(), 3);
    EXPECT_TRUE(log.ClearLog());
    EXPECT_EQ(log.openContexts(), 1);
    log.LogInfo("after");
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  after\r\n");
}

TEST(Logger, HelpersFormatTheirValues) {
    Logger log;
    const unsigned char bytes[18] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x30, 0x40,
                                     0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xFF, 0x7F, 0x0F};
    log.LogDataHexDump("dump", bytes, 3);
    log.LogDataHexDump("long", bytes, sizeof bytes);
    log.LogByteDump("none", nullptr, 4);
    log.LogByteDump("empty", bytes, 0);
    log.LogWindowsError(0);
    StringBuffer sb("value");
    log.LogDataSb("sb", sb);
    EXPECT_EQ(text(log),
              "VelmoraLog:\r\n"
              "  dump: 0001 AB\r\n"
              "  long: 0001 ABCD EF10 2030 4050 6070 8090 A0FF \n7F0F \r\n"
              "  No binary data to log\r\n"
              "  No binary data to log\r\n"
              "  sb: value\r\n");

    log.ClearLog();
    log.LogWindowsError(2);
    std::string t = text(log);
    EXPECT_TRUE(std::regex_match(t, std::regex("VelmoraLog:\r\n  WindowsError: \\S.*\\S\r\n"))) << t;

    log.ClearLog();
    log.LogTimestamp(3);
    t = text(log);
    EXPECT_TRUE(std::regex_match(t, std::regex("VelmoraLog:\r\n  Timestamp-3: [0-9]{1,2}:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}\r\n")))
        << t;
}

TEST(LogNull, DoesNothingAndLeavesBuffersAlone) {
    LogNull null;
    LogBase& log = null;
    EXPECT_TRUE(log.EnterContext("x", true));
    EXPECT_TRUE(log.LogError("e"));
    EXPECT_TRUE(log.LogData("  ", "v"));
    EXPECT_TRUE(log.LeaveContext());
    log.LogWindowsError(2);
    log.LogByteDump("b", nullptr, 0);
    StringBuffer sb("keep");
    log.GetText(sb);
    log.GetXml(sb);
    log.GetHtml(sb);
    EXPECT_EQ(sb.toStdString(), "keep");
    EXPECT_TRUE(log.SaveXml("/nonexistent/dir/file.xml"));
}

TEST(Logger, ContextExitorLeavesOnScopeEnd) {
    Logger log;
    {
        LogContextExitor ctx(log, "Step");
        EXPECT_EQ(log.openContexts(), 2);
        log.LogInfo("inside");
    }
    EXPECT_EQ(log.openContexts(), 1);
    log.LogInfo("outside");
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  Step:\r\n    inside\r\n  outside\r\n");
}

// Several writers and one reader on one log: every entry arrives once, each
// writer's entries keep their order, and renderings taken meanwhile are whole.
TEST(Logger, ConcurrentWritersAndReader) {
    Logger log;
    const int kThreads = 4, kPerThread = 500;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            std::string x = xml(log);
            ASSERT_EQ(x.rfind("<VelmoraLog>\r\n", 0), 0u);
            ASSERT_GE(x.size(), 14u + 15u);
            ASSERT_EQ(x.substr(x.size() - 15), "</VelmoraLog>\r\n");
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            std::string name = "w" + std::to_string(t);
            for (int i = 0; i < kPerThread; ++i) log.LogDataLong(name.c_str(), i);
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    reader.join();

    std::string t = text(log);
    std::vector<int> next(kThreads, 0);
    std::regex line("  w([0-9]+): ([0-9]+)\r\n");
    int lines = 0;
    for (auto it = std::sregex_iterator(t.begin(), t.end(), line); it != std::sregex_iterator(); ++it, ++lines) {
        int w = std::stoi((*it)[1]);
        ASSERT_EQ(std::stoi((*it)[2]), next[w]) << "writer " << w;
        ++next[w];
    }
    EXPECT_EQ(lines, kThreads * kPerThread);
}

}  // namespace
}  // namespace ostmail
