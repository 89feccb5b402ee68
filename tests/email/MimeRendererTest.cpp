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
