#include "core/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
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

// The value of a log holding one data item under the root, or "" when the log
// holds anything else.
std::string onlyValue(LogBase& log, const std::string& name) {
    std::string t = text(log), head = "VelmoraLog:\r\n  " + name + ": ";
    if (t.rfind(head, 0) != 0 || t.size() < head.size() + 2) return "";
    std::string v = t.substr(head.size(), t.size() - head.size() - 2);
    return (t.compare(t.size() - 2, 2, "\r\n") == 0 && v.find('\n') == std::string::npos) ? v : "";
}

TEST(Logger, RendersNestedContextsInAllThreeForms) {
    Logger log;
    EXPECT_EQ(text(log), "VelmoraLog:\r\n");
    EXPECT_EQ(xml(log), "<VelmoraLog>\r\n</VelmoraLog>\r\n");
    EXPECT_EQ(html(log), "VelmoraLog:<blockquote>\r\n</blockquote>\r\n");

    log.EnterContext("SendEmail", true);
    log.LogData("smtp_host", "mail.example.com");
    log.EnterContext("connect", true);
    log.LogInfo("Connecting");
    log.LogError("Connect failed");
    log.LogLine("raw line");
    log.LeaveContext();
    log.LogDataLong("smtp_port", 25);
    log.LeaveContext();
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
    EXPECT_NE(html(log).find("subject: Gr\xC3\xBC\xC3\x9F" "e &quot;x&quot;<br>\r\n"), std::string::npos);

    // Text already in a CDATA section is written as it is; one marker alone is not enough.
    log.ClearLog();
    log.LogData("body", "<![CDATA[<p>]]>");
    log.LogData("half", "<![CDATA[<p>");
    EXPECT_NE(xml(log).find("<body><![CDATA[<p>]]></body>"), std::string::npos);
    EXPECT_NE(xml(log).find("<half><![CDATA[<![CDATA[<p>]]></half>"), std::string::npos);

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

TEST(Logger, DataValuesAndHelpers) {
    Logger log;
    EXPECT_TRUE(log.LogData(" \t smtp host \r\n", "h"));
    EXPECT_FALSE(log.LogData("   ", "v"));
    EXPECT_FALSE(log.LogData(nullptr, "v"));
    EXPECT_TRUE(log.LogData("nullValue", nullptr));
    EXPECT_TRUE(log.LogDataLong("min", INT32_MIN));
    EXPECT_TRUE(log.LogDataHex("hex", 255));
    EXPECT_TRUE(log.LogDataHex("hexMax", 0xFFFFFFFFu));
    EXPECT_TRUE(log.LogData64("min64", INT64_MIN));
    EXPECT_TRUE(log.LogDataBool("flag", true));
    const unsigned char bytes[18] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x30, 0x40,
                                     0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xFF, 0x7F, 0x0F};
    log.LogDataHexDump("dump", bytes, 3);
    log.LogDataHexDump("long", bytes, sizeof bytes);
    log.LogWindowsError(0);
    EXPECT_EQ(text(log),
              "VelmoraLog:\r\n"
              "  smtp_host: h\r\n"
              "  nullValue: (NULL)\r\n"
              "  min: -2147483648\r\n"
              "  hex: 0xff\r\n"
              "  hexMax: 0xffffffff\r\n"
              "  min64: -9223372036854775808\r\n"
              "  flag: 1\r\n"
              "  dump: 0001 AB\r\n"
              "  long: 0001 ABCD EF10 2030 4050 6070 8090 A0FF \n7F0F \r\n");

    log.ClearLog();
    log.LogWindowsError(2);
    std::string err = onlyValue(log, "WindowsError");
    ASSERT_GT(err.size(), 1u) << text(log);
    EXPECT_TRUE(err.front() != ' ' && err.back() != ' ' && err.back() != '\n') << err;
}

TEST(Logger, ContextBalanceEmptyContextsAndClearing) {
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
    log.EnterContext("Top", true);  // empty once Low and then Mid vanish, but kept under the root
    log.EnterContext("Mid", true);
    log.EnterContext("Low", true);
    log.LeaveContext();
    log.LeaveContext();
    log.LeaveContext();
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  Outer:\r\n    Inner:\r\n      kept\r\n  Top:\r\n");

    // Leaving past the root is harmless; null texts record nothing but succeed.
    log.ClearLog();
    log.LogInfo("first");
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_EQ(log.openContexts(), 1);
    EXPECT_TRUE(log.LogError(nullptr));
    EXPECT_TRUE(log.LogLine(nullptr));
    {
        LogContextExitor ctx(log, "Step");
        EXPECT_EQ(log.openContexts(), 2);
        log.LogInfo("inside");
    }
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  first\r\n  Step:\r\n    inside\r\n");

    // Clearing with contexts still open starts over at the root.
    log.EnterContext("A", true);
    log.EnterContext("B", true);
    EXPECT_TRUE(log.ClearLog());
    EXPECT_EQ(log.openContexts(), 1);
    log.LogInfo("after");
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  after\r\n");
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
            std::string x = xml(log);
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

    std::string all = text(log);
    std::vector<int> next(kThreads, 0);
    int entries = 0;
    for (size_t pos = all.find("\r\n") + 2, end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        int w = -1, v = -1;
        ASSERT_EQ(std::sscanf(all.c_str() + pos, "  w%d: %d", &w, &v), 2) << all.substr(pos, end - pos);
        ASSERT_TRUE(w >= 0 && w < kThreads);
        ASSERT_EQ(v, next[w]++) << "writer " << w;
        ++entries;
    }
    EXPECT_EQ(entries, kThreads * kPerThread);
}

}  // namespace
}  // namespace ostmail
