// Header text as Python's email package, a parser we did not write, reads it back.
#include "facade/FacadeTestUtil.h"

namespace ostmail {
namespace {

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
