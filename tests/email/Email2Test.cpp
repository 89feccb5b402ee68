#include "EmailTestUtil.h"
#include "email/Rfc822Address.h"
#include "email/TextCharset.h"

using namespace ostmail;
using namespace ostmail::testutil;

using Email2Test = testutil::EmailTest;

TEST_F(Email2Test, CharsetFollowsTheScriptsOfTheText) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"plain ascii", 0},               {"caf\xC3\xA9", 28591},           {"\xC3\xA9 \xC5\x82", 28592},
        {"\xD0\x9F\xD1\x80\xD0\xB8", 28595}, {"\xD0\x9F \xC3\xA9", 65001},
        {"\xE3\x81\x82\xE6\xBC\xA2", 932},   // kana and kanji
        {"\xED\x95\x9C", 949},              // Hangul
        {"\xE4\xB8\xAD\xE6\x96\x87", 936},   // ideographs only
        {"\xD7\xA9", 28598},                 {"\xD8\xB9", 28596},
        {"\xCE\xB1", 28597},                 {"\xE0\xB8\x81", 874},
        {"\xCE\xB1\xD0\x9F", 65001},         // two scripts
        {"\xEF\xBC\x81", 65001},            // outside every script and not in ISO-8859-1
        {"\xC3\xA9\xE3\x80\x80\xE3\x88\x80", 28591},  // CJK punctuation, enclosed letters: not counted
    };
    for (auto [text, charset] : cases) {
        auto m = newEmail();
        m->setBodyText(text, strlen(text), log);
        EXPECT_EQ(m->charset(), charset) << text;
    }
    EXPECT_EQ(TextCharset::choose("", 0), 0u);

    e->setBodyText("caf\xC3\xA9", 5, log);
    e->setSubject("\xCE\xB1");  // the e-mail has a charset: no new choice
    e->setBodyText("ok", 2, log);
    EXPECT_TRUE(e->addRecipient(Email2::kTo, "\xCE\xB1", "a@example.com", log));
    EXPECT_EQ(e->charset(), 28591u);
}

TEST_F(Email2Test, SenderAndRecipients) {
    e->setFromName("Report Server");
    e->setFromAddress("no-at-sign");
    EXPECT_FALSE(e->header().hasField("From"));
    e->setFromAddress("  reports@example.com ");
    EXPECT_EQ(headerValue(*e, "Return-Path"), "reports@example.com");
    e->setFromName("Night Shift");
    e->setFromAddress("night@example.com");
    EXPECT_EQ(headerValue(*e, "From"), "\"Night Shift\" <night@example.com>");

    EXPECT_TRUE(e->addRecipient(Email2::kTo, "", "a@example.com", log));
    EXPECT_TRUE(e->addRecipient(Email2::kTo, "Bob B", "b@example.com", log));
    EXPECT_EQ(headerValue(*e, "To"), "a@example.com, \"Bob B\" <b@example.com>");
    EXPECT_TRUE(e->addRecipient(Email2::kBcc, "", "hidden@example.com", log));
    EXPECT_FALSE(e->header().hasField("Bcc"));

    e->setHeaderField("VMX-ReturnReceipt", "YES", log);
    e->setHeaderField("Disposition-Notification-To", "<receipts@example.com>", log);
    auto copy = e->clone();
    copy->prepareForSending(log);
    EXPECT_EQ(headerValue(*copy, "Disposition-Notification-To"), "<receipts@example.com>");  // not replaced
    EXPECT_TRUE(e->header().hasField("Return-Path"));
    e->removeHeaderField("TO");
    EXPECT_EQ(e->numRecipients(Email2::kTo), 0);

    // After the list is emptied, the field starts again from the new entries.
    EXPECT_TRUE(e->addRecipient(Email2::kTo, "", "c@example.com", log));
    EXPECT_EQ(headerValue(*e, "To"), "c@example.com");
    e->clearRecipients(Email2::kTo);
    EXPECT_FALSE(e->header().hasField("To"));
    for (const char* to : {"d@example.com", "e@example.com"})
        EXPECT_TRUE(e->addRecipient(Email2::kTo, "", to, log));
    auto second = e->clone();
    EXPECT_TRUE(second->addRecipient(Email2::kTo, "", "f@example.com", log));
    EXPECT_EQ(headerValue(*second, "To"), "d@example.com, e@example.com, f@example.com");
    EXPECT_TRUE(e->addRecipient(Email2::kCc, "\xCE\xB1", "g@example.com", log));  // a Cc name picks the charset
    EXPECT_EQ(e->charset(), 28597u);
}

// The header layout of the converted message is checked by the worked
// example of the renderer; here the parts behind it.
TEST_F(Email2Test, AttachmentsTurnTheMessageIntoMultipartMixed) {
    e->setBodyText("caf\xC3\xA9", 5, log);
    ASSERT_TRUE(attach(*e, "report.pdf", std::string("%PDF\0\x01\x02", 7)));
    ASSERT_EQ(e->numParts(), 2);
    EXPECT_EQ(e->charset(), 0u);
    EXPECT_EQ(e->partAt(0)->charset(), 28591u);

    ASSERT_TRUE(attach(*e, "notes.txt", "line\n"));
    EXPECT_EQ(e->numParts(), 3);

    // A body set afterwards lands in the first part.
    e->setBodyText("new", 3, log);
    EXPECT_EQ(e->partAt(0)->body().getSize(), 3u);
    EXPECT_EQ(e->sizeEstimate(), 60u * 6 + (60u * 2 + 3) + (60u * 3 + 7) + (60u * 3 + 5));

    // A message/rfc822 part counts as an attachment only when its file name ends in ".mht".
    ASSERT_TRUE(attach(*e, "Page.MHT", "x") && attach(*e, "page.mhtml", "x"));
    EXPECT_TRUE(e->partAt(3)->contentTypeIs("message/rfc822") && MimeRenderer::countsAsAttachment(*e->partAt(3)));
    EXPECT_FALSE(MimeRenderer::countsAsAttachment(*e->partAt(4)));
}

TEST_F(Email2Test, HtmlBodiesAndAlternatives) {
    const std::string html = "<html><head></head><body>caf\xC3\xA9</body></html>";
    e->setHtmlBody(html.data(), html.size(), log);
    EXPECT_EQ(headerValue(*e, "Content-Type"), "text/html; charset=\"iso-8859-1\"");
    const std::string body = str(e->body());
    // Declared before the charset was chosen; the rendering names the real one.
    EXPECT_NE(body.find("<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"),
              std::string::npos) << body;
    const std::string mime = render(*e->clone());
    EXPECT_NE(mime.find("set=3Diso-8859-1\""), std::string::npos) << mime;
    EXPECT_NE(mime.find("caf=E9"), std::string::npos);

    auto m = newEmail();
    m->setBodyText("plain", 5, log);
    ASSERT_TRUE(attach(*m, "a.bin", "x"));
    m->addAlternativeBody("text/html", "<p>h</p>", 8, log);
    m->addAlternativeBody("text/html", "<p>i</p>", 8, log);  // replaces
    Email2* alt = m->partAt(0);
    ASSERT_TRUE(alt->contentTypeIs("multipart/alternative"));
    EXPECT_TRUE(alt->boundary().endsWith("_.ALT"));
    EXPECT_FALSE(alt->header().hasField("Content-Transfer-Encoding"));
    ASSERT_EQ(alt->numParts(), 2);
    EXPECT_TRUE(alt->partAt(0)->contentTypeIs("text/plain"));
    EXPECT_TRUE(alt->partAt(1)->contentTypeIs("text/html"));
    EXPECT_EQ(str(alt->partAt(1)->body()), "<p>i</p>");
}

TEST_F(Email2Test, SetHeaderFieldRoutesDedicatedNames) {
    e->setHeaderField("Content-Transfer-Encoding", " base64 \r\n", log);
    EXPECT_EQ(e->transferEncoding().toStdString(), "base64");
    e->setHeaderField("From", "Ann Other <ann@example.com>", log);
    ASSERT_NE(e->sender(), nullptr);
    EXPECT_EQ(e->sender()->address().toStdString(), "ann@example.com");
    e->setHeaderField("X-Custom", "a\r\nBcc: b@example.com", log);
    EXPECT_EQ(headerValue(*e, "X-Custom"), "aBcc: b@example.com");
    e->setSubject("Hi\r\nBcc: b@example.com");
    EXPECT_EQ(headerValue(*e, "Subject"), "HiBcc: b@example.com");
    e->removeHeaderField("content-type");
    EXPECT_TRUE(e->contentType().isEmpty());
    e->removeHeaderField("From");
    EXPECT_EQ(e->sender(), nullptr);
}
