#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/Logger.h"
#include "platform/SysInfo.h"

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

std::vector<std::string> lines(const std::string& t) {
    std::vector<std::string> out;
    for (size_t pos = 0, end; (end = t.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        out.push_back(t.substr(pos, end - pos));
    return out;
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
    std::string ticks = onlyValue(log, "ticks");
    EXPECT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.find_first_not_of("0123456789abcdef"), std::string::npos) << ticks;
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
    std::string err = onlyValue(log, "WindowsError");
    ASSERT_GT(err.size(), 1u) << text(log);
    EXPECT_EQ(std::string(" \t\r\n").find(err.front()), std::string::npos) << err;
    EXPECT_EQ(std::string(" \t\r\n").find(err.back()), std::string::npos) << err;

    log.ClearLog();
    log.LogTimestamp(3);
    std::string stamp = onlyValue(log, "Timestamp-3");
    int h = -1, m = -1, sec = -1, ms = -1, used = 0;
    ASSERT_EQ(std::sscanf(stamp.c_str(), "%d:%d:%d.%d%n", &h, &m, &sec, &ms, &used), 4) << stamp;
    EXPECT_EQ(static_cast<size_t>(used), stamp.size());
    EXPECT_TRUE(h >= 0 && h < 24 && m >= 0 && m < 60 && sec >= 0 && sec < 61 && ms >= 0 && ms < 1000) << stamp;
    // Two-digit minutes and seconds, three-digit milliseconds.
    ASSERT_GE(stamp.size(), 10u);
    EXPECT_EQ(stamp.substr(stamp.size() - 10, 1) + stamp.substr(stamp.size() - 7, 1) + stamp.substr(stamp.size() - 4, 1), "::.")
        << stamp;
}

TEST(Logger, ConvertingHelpers) {
    Logger log;
    platform::setAnsiCodePageOverride(1252);
    log.LogDataAnsi("ansi", "caf\xE9 \x80");
    log.LogDataAnsi("nullAnsi", nullptr);
    platform::setAnsiCodePageOverride(0);
    EXPECT_EQ(text(log), "VelmoraLog:\r\n  ansi: caf\xC3\xA9 \xE2\x82\xAC\r\n  nullAnsi: (NULL)\r\n");

    // The quoted-printable value decodes back to the text.
    const char* original = "caf\xC3\xA9 = 100%";
    log.ClearLog();
    log.LogDataQP("qp", original);
    std::string qp = onlyValue(log, "qp");
    EXPECT_NE(qp.find("=C3=A9"), std::string::npos) << qp;
    DataBuffer back;
    ASSERT_TRUE(ContentCoding::decodeQuotedPrintable(qp.data(), qp.size(), back));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.getData()), back.getSize()), original);
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

    std::vector<std::string> all = lines(text(log));
    ASSERT_EQ(all.size(), 1u + kThreads * kPerThread);
    std::vector<int> next(kThreads, 0);
    for (size_t i = 1; i < all.size(); ++i) {
        int w = -1, v = -1;
        ASSERT_EQ(std::sscanf(all[i].c_str(), "  w%d: %d", &w, &v), 2) << all[i];
        ASSERT_TRUE(w >= 0 && w < kThreads);
        ASSERT_EQ(v, next[w]) << "writer " << w;
        ++next[w];
    }
}

}  // namespace
}  // namespace ostmail
