// Header text as two parsers we did not write read it back: Python's email
// package and Perl's Email::Address::XS.
#include "facade/FacadeTestUtil.h"
#include "support/PythonRun.h"

namespace ostmail {
namespace {

// The display name of the first address of the From field, as Perl parses it.
std::string perlFromName(const std::string& mime) {
    const char* script =
        "use Email::Address::XS qw(parse_email_addresses); local $/; my $m = <STDIN>;"
        "my ($v) = $m =~ /^From:[ \\t]*(.*(?:\\r?\\n[ \\t].*)*)/mi; $v =~ s/\\r?\\n//g;"
        "my @a = parse_email_addresses($v); print @a ? $a[0]->phrase // '' : '<none>';";
    facadetest::ScratchDir dir;
    std::string path = dir.write("m.eml", mime);
    testsupport::PythonResult r = testsupport::runProgram({"/bin/sh", "-c", "perl -e \"$0\" < \"$1\"", script, path});
    return r.exitCode == 0 ? r.out : "<perl failed: " + r.err + ">";
}

TEST(HeaderText, NamesWithQuotesAndBackslashesReadBackAsGiven) {
    const struct { const char* fromField; const char* name; } rows[] = {
        {nullptr, "Esc \" Quote"},
        {nullptr, "Back\\slash \"q\" \\"},
        {"\"Esc \\\" Quote\" <eq@example.com>", "Esc \" Quote"},
        {"\"Back\\\\slash \\\"q\\\" \\\\\" <eq@example.com>", "Back\\slash \"q\" \\"},
        {"\"Plain Name\" <eq@example.com>", "Plain Name"},
    };
    for (const auto& row : rows) {
        VmEmail e;
        e.put_Utf8(true);
        e.put_Body("body\r\n");
        e.AddTo("", "to@example.com");
        if (row.fromField) {
            e.AddHeaderField("From", row.fromField);
        } else {
            e.put_FromName(row.name);
            e.put_FromAddress("eq@example.com");
        }
        std::string label = row.fromField ? row.fromField : row.name;
        EXPECT_EQ(std::string(e.fromName()), row.name) << label;
        std::string mime = facadetest::renderForSending(e);
        testsupport::MailCheck mc;
        ASSERT_TRUE(mc.loadText(mime)) << mc.error();
        EXPECT_EQ(mc.get("from.0.name"), row.name) << label << "\n" << mime;
        EXPECT_EQ(mc.get("from.0.addr"), "eq@example.com") << label;
        EXPECT_EQ(perlFromName(mime), row.name) << label << "\n" << mime;
    }
}

// 8-bit text that the message's charset cannot hold goes out in UTF-8, in
// every part and in every field.
TEST(HeaderText, EightBitReceiptsAndAlternativesKeepEveryCharacter) {
    const std::string from = "jörg@exämple.com", plain = "Привет — €", html = "<p>Γειά “”</p>";
    VmEmail e;
    e.put_Utf8(true);
    e.put_FromAddress(from.c_str());
    e.AddTo("", "to@example.com");
    e.AddHeaderField("VMX-ReturnReceipt", "YES");
    e.put_Body(plain.c_str());
    e.AddHtmlAlternativeBody(html.c_str());
    std::string mime = facadetest::renderForSending(e);
    size_t at = mime.find("Disposition-Notification-To:");
    ASSERT_NE(at, std::string::npos) << mime;
    std::string line = mime.substr(at, mime.find("\r\n", at) - at);
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; })) << line;
    testsupport::MailCheck mc;
    ASSERT_TRUE(mc.loadText(mime)) << mc.error();
    EXPECT_EQ(mc.get("header.disposition-notification-to"), "<" + from + ">") << mime;
    EXPECT_EQ(mc.get("body"), plain) << mime;
    EXPECT_EQ(mc.get("body.charset"), "utf-8");
    EXPECT_NE(mc.get("html").find(html), std::string::npos) << mime;
    EXPECT_EQ(mc.get("html.charset"), "utf-8");
    EXPECT_EQ(mc.get("defects"), "") << mc.dump();
}

}  // namespace
}  // namespace ostmail
