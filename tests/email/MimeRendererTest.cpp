#include "EmailTestUtil.h"
#include "core/ContentCoding.h"
#include "email/MailIdentifiers.h"

using namespace ostmail;
using namespace ostmail::testutil;
using namespace std::string_literals;
using MimeRendererTest = testutil::EmailTest;

TEST_F(MimeRendererTest, WorkedExampleRendersLineForLine) {
    std::string pdf;
    for (int i = 0; i < 200; ++i) pdf += static_cast<char>(i * 7);
    MailIdentifiers::setHostNameOverride("mail.example.org");
    e = newEmail();
    MailIdentifiers::setHostNameOverride(nullptr);
    e->setBodyText("Hello team", 10, log);
    e->setSubject("Weekly status report");
    e->setFromName("Report Server");
    e->setFromAddress("server@example.com");
    ASSERT_TRUE(e->addRecipient(Email2::kTo, "", "boss@example.com", log));
    ASSERT_TRUE(attach(*e, "report.pdf", pdf));
    std::vector<std::string> l = lines(render(*e));
    const std::string b = e->boundary().toStdString();
    EXPECT_TRUE(matchesShape(b, "-----_velmora_###_####_########.########_.MIX")) << b;
    StringBuffer flat;
    ContentCoding::encodeBase64Flat(pdf.data(), pdf.size(), flat);
    const std::string b64 = flat.toStdString();
    std::vector<std::string> want = {
        "MIME-Version: 1.0",
        "Date: AAA, 99 AAA 9999 99:99:99 +9999",  // Date and Message-ID by their shape
        "Message-ID: <VELMORA-MID-########-####-####-####-############@mail.example.org>",
        "X-Mailer: Ostmail 1.0",
        "X-Priority: 3 (Normal)",
        "Subject: Weekly status report",
        "From: \"Report Server\" <server@example.com>",
        "Return-Path: server@example.com",
        "To: boss@example.com",
        "Content-Type: multipart/mixed;",
        "\tboundary=\"" + b + "\"",
        "",
        "This is a multi-part message in MIME format.",
        "",
        "--" + b,
        "Content-Type: text/plain",
        "Content-Transfer-Encoding: quoted-printable",
        "",
        "Hello team",
        "--" + b,
        "Content-Type: application/pdf;",
        "\tname=\"report.pdf\"",
        "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;",
        "\t filename=\"report.pdf\"",
        "",
    };
    for (size_t i = 0; i < b64.size(); i += 72) want.push_back(b64.substr(i, 72));
    want.push_back("");
    want.push_back("--" + b + "--");
    want.push_back("");
    ASSERT_EQ(l.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        std::string line = l[i];
        if (i == 1 && line.size() == 37 && line[32] == '-') line[32] = '+';  // zones west of UTC
        EXPECT_TRUE(i == 1 || i == 2 ? matchesShape(line, want[i]) : line == want[i])
            << "line " << i + 1 << ": " << l[i];
    }
}

// Inside the encoded words of a non-ASCII file name a quote or backslash
// is written =22 or =5C, so the name cannot end its parameter early. A
// parameter that fits stays on the field's first line.
TEST_F(MimeRendererTest, QuoteAndBackslashInAnEncodedFileName) {
    e->setBodyText("x", 1, log);
    ASSERT_TRUE(attach(*e, "\xC3\xA9\"\\.pdf", "p"));
    const std::string s = render(*e);
    for (const char* line : {"\nContent-Type: application/pdf;name=\"=?utf-8?Q?=C3=A9=22=5C.pdf?=\"\r\n",
                             "\nContent-Disposition: attachment; filename=\"=?utf-8?Q?=C3=A9=22=5C.pdf?=\"\r\n"})
        EXPECT_NE(s.find(line), std::string::npos) << line << s;
}

TEST_F(MimeRendererTest, TextPartsWithoutCharset) {
    // Parts without a charset: Latin-1 bytes are labelled ISO-8859-1 and,
    // with no transfer encoding yet, sent quoted-printable; UTF-8 bytes are
    // recognised and converted, an existing 7bit kept; a NUL byte marks
    // binary content, left alone.
    const struct { std::string body; bool keepEncoding; std::string rendered; } parts[] = {
        {"caf\xE9", false,
         "Content-Type: text/plain;\r\n\t charset=\"iso-8859-1\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9"},
        {"caf\xC3\xA9", true,
         "Content-Transfer-Encoding: 7bit\r\n"
         "Content-Type: text/plain;\r\n\t charset=\"iso-8859-1\"\r\n\r\ncaf\xE9"},
        {"a\0\xE9"s, true,
         "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\na\0\xE9"s},
    };
    for (const auto& p : parts) {
        auto part = Email2::createNewPart();
        if (!p.keepEncoding) part->removeHeaderField("Content-Transfer-Encoding");
        part->bodyRw().append(p.body.data(), p.body.size());
        EXPECT_EQ(render(*part), p.rendered);
    }
}

TEST_F(MimeRendererTest, InternalFieldsStayInsideAndBoundariesNest) {
    e->setBodyText("x", 1, log);
    e->header().replaceField("VMX-Bcc", "hidden@example.com");
    e->header().replaceField("vmx-FileDistList", "/tmp/list");
    auto alt = Email2::createNewPart();
    alt->setContentType("multipart/alternative", nullptr, nullptr, nullptr, 0, "ALTB", nullptr, nullptr);
    auto plain = Email2::createNewPart();
    plain->setBodyText("plain text", 10, log);
    auto html = Email2::createNewPart();
    html->setContentType("text/html", nullptr, nullptr, nullptr, 65001, nullptr, nullptr, nullptr);
    html->setBodyBytes("<p>h\xC3\xA9</p>", 10, log);
    alt->appendPart(std::move(plain));
    alt->appendPart(std::move(html));
    e->convertToMixed();
    e->appendPart(std::move(alt));
    std::string s = render(*e);
    EXPECT_EQ(s.find("VMX-"), std::string::npos);
    EXPECT_EQ(s.find("hidden@example.com"), std::string::npos);
    std::string b = e->boundary().toStdString();
    EXPECT_NE(s.find("\r\n--" + b + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"ALTB\"\r\n\r\n"
                     "This is a multi-part message in MIME format.\r\n\r\n--ALTB\r\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\r\n--ALTB--\r\n\r\n--" + b + "--\r\n"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - b.size() - 6), "--" + b + "--\r\n");
    EXPECT_NE(s.find("h=C3=A9"), std::string::npos);
}

namespace {

// Collects what the renderer writes; write number failAt fails.
struct ChunkSink : MimeSink {
    int failAt, calls = 0;
    std::string text;
    explicit ChunkSink(int fail) : failAt(fail) {}
    bool write(const char* data, size_t n) override {
        if (++calls == failAt) return false;
        text.append(data, n);
        return true;
    }
};

}  // namespace

TEST_F(MimeRendererTest, StreamFormMatchesBufferFormAndStopsOnFailure) {
    std::string big(700000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
    e->setBodyText("body", 4, log);
    ASSERT_TRUE(attach(*e, "big.bin", big));
    // Each rendering gets its own copy, as a send would.
    const std::string buffered = render(*e->clone());
    ChunkSink sink(0);
    ASSERT_TRUE(MimeRenderer::render(*e->clone(true), sink, "VMX-", false, log));
    EXPECT_EQ(sink.text, buffered);
    EXPECT_LE(buffered.size(), MimeRenderer::sizeBound(*e));
    ChunkSink failing(2);
    EXPECT_FALSE(MimeRenderer::render(*e->clone(true), failing, "VMX-", false, log));
}
