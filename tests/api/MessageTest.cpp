#include "ostmail/ostmail.h"
#include "support/MailCheck.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <cctype>

using ostmail::testsupport::MailCheck;
using ostmail::testsupport::ScriptedSmtpServer;

// The envelope is what the headers show, headers the host may set are
// used as given, and every header line is folded to at most 78 characters.
TEST(ApiMessage, HeadersMatchTheEnvelopeAndAreFolded) {
    ScriptedSmtpServer srv;
    srv.reply("220 hi").expectReply("EHLO", "250 ok").expectReply("MAIL FROM", "250 ok");
    for (int i = 0; i < 4; ++i) srv.expectReply("RCPT TO", "250 ok");
    srv.expectReply("DATA", "354 go").readData().reply("250 queued").serveRest();
    srv.start();
    const std::string longValue(1352, 'v');
    std::string subject, longName;
    for (int i = 0; i < 120; ++i) subject += "word" + std::to_string(i) + (i < 119 ? " " : "");
    for (int i = 0; i < 100; ++i) longName += "Name" + std::to_string(1000 + i) + (i < 99 ? " " : "");
    ostmail::Message m;
    m.setFrom("\"" + longName + "\" <s@x.test>");
    m.addTo("x@y.com, \"W, Z\" <z@w.com>");
    m.addTo("boss@x", "Boss");
    m.addBcc("hidden@b.test");
    m.setSubject(subject);
    const std::pair<const char*, std::string> set[] = {
        {"Message-ID", "<retry-1@x.test>"}, {"Date", "Mon, 01 Jan 2024 00:00:00 +0000"}, {"Sender", "bot@x.test"},
        {"In-Reply-To", "<a@b>"}, {"References", "<a@b> <c@d>"}, {"X-Long", longValue}};
    for (const auto& h : set) m.addHeader(h.first, h.second);
    m.setText("body\n");
    ostmail::SmtpSettings s;
    s.setHost("127.0.0.1");
    s.setPort(srv.port());
    ostmail::SendResult r = ostmail::send(s, m);
    ASSERT_TRUE(r.ok()) << r.reason() << "\n" << srv.transcript();
    ASSERT_TRUE(srv.waitDone());
    std::vector<std::string> rcpts;
    for (const std::string& line : srv.lines())
        if (line.rfind("RCPT TO:", 0) == 0) rcpts.push_back(line);
    EXPECT_EQ(rcpts, (std::vector<std::string>{"RCPT TO:<x@y.com>", "RCPT TO:<z@w.com>", "RCPT TO:<boss@x>",
                                                "RCPT TO:<hidden@b.test>"}));
    const std::string data = srv.dataBlocks().at(0);
    const std::string header = data.substr(0, data.find("\r\n\r\n") + 2);
    for (size_t pos = 0, eol; (eol = header.find("\r\n", pos)) != std::string::npos; pos = eol + 2)
        EXPECT_LE(eol - pos, 78u) << header.substr(pos, eol - pos);
    MailCheck mail;
    ASSERT_TRUE(mail.loadText(data)) << mail.error();
    EXPECT_EQ(mail.get("from.0.name"), longName);
    EXPECT_EQ(mail.get("to.0.addr") + " " + mail.get("to.1.name") + " " + mail.get("to.2.name"), "x@y.com W, Z Boss");
    EXPECT_EQ(mail.count("to"), 3);
    EXPECT_EQ(mail.get("subject"), subject);
    for (const auto& h : set) {
        std::string key = "header.";
        for (const char* p = h.first; *p; ++p) key += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        EXPECT_EQ(mail.get(key), h.second) << h.first;
    }
    EXPECT_EQ(mail.get("header.names").find("bcc"), std::string::npos);
    EXPECT_EQ(mail.get("defects"), "");
    // The server got render()'s bytes, and no blank line was added.
    EXPECT_EQ(data, ostmail::render(m).bytes);
    EXPECT_EQ(data.substr(data.size() - 8), "\r\nbody\r\n");
}

// Each label covers every byte: Python decodes the subject and the bodies
// strictly by the charsets they declare. Kana make the message Japanese;
// Han characters alone in the subject do not make a Latin body Chinese.
TEST(ApiMessage, CharsetLabelsCoverEveryByte) {
    struct Case {
        const char* subject;
        const char* text;
        const char* html;
        const char* charset;  // of the text part
    };
    const Case cases[] = {
        {"日本語", "かな と 漢字 語", "", "iso-2022-jp"},
        {"日本語", "Latin only, caf\xC3\xA9", "", "utf-8"},
        {"語", "plain ASCII", "", "utf-8"},
        {"plain", "plain ASCII", "", ""},
        {"カナ", "kana and an emoji 😀 that JIS lacks", "", "utf-8"},
        {"한국어", "한국어 본문", "<p>한국어</p>", "utf-8"},
        {"mixed", "Ελληνικά и русский", "<b>Ελληνικά</b>", "utf-8"},
    };
    for (const Case& c : cases) {
        ostmail::Message m;
        m.setFrom("s@x.test");
        m.addTo("a@y.test");
        m.setSubject(c.subject);
        m.setText(c.text);
        if (*c.html) m.setHtml(c.html);
        ostmail::RenderResult r = ostmail::render(m);
        ASSERT_TRUE(r.ok) << r.reason;
        MailCheck mail;
        ASSERT_TRUE(mail.loadText(r.bytes)) << mail.error();
        EXPECT_EQ(mail.get("subject.strict"), c.subject) << c.text << "\n" << r.bytes;
        std::string body = mail.get("body.strict");
        if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0) body.resize(body.size() - 2);
        EXPECT_EQ(body, c.text) << r.bytes;
        EXPECT_EQ(mail.get("body.charset"), c.charset) << c.text;
        if (*c.html) {
            EXPECT_EQ(mail.get("html.strict"), c.html) << r.bytes;
        }
    }
}
