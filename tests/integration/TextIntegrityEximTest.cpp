// Text in many scripts, mixed with punctuation, the euro sign and an emoji,
// sent by the mail job through the test Exim and read back with Python's
// email package: nothing may be lost on the way.
#include "core/XString.h"
#include "integration/EximCheck.h"
#include "support/MailCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace ostmail {
namespace {

using namespace itest;

std::wstring fromUtf8(const std::string& s) {
    XString x;
    x.setFromUtf8(s.data(), s.size());
    return x.getWide();
}

TEST(TextIntegrityExim, EveryCharacterArrivesAndFittingTextKeepsItsCharset) {
    OSTMAIL_REQUIRE_TEST_ENV(env);
    setenv("LC_ALL", "C.UTF-8", 1);  // the mail job hands text over in the locale's charset
    const std::string extras = " \xE2\x80\x94 \xE2\x80\x9C\xE2\x80\x9D \xE2\x80\x98\xE2\x80\x99\xE2\x80\xA6 "
                               "\xE2\x82\xAC" "5 \xF0\x9F\x98\x80";  // — “” ‘’… €5 😀
    const struct { const char* text; std::string charset; bool mixed; } rows[] = {
        {"Привет, мир", "utf-8", true},
        {"Γειά σου κόσμε", "utf-8", true},
        {"こんにちは世界", "utf-8", true},
        {"שלום עולם", "utf-8", true},
        {"مرحبا بالعالم", "utf-8", true},
        {"สวัสดีชาวโลก", "utf-8", true},
        {"안녕하세요 세계", "utf-8", true},
        {"Привет, мир", "iso-8859-5", false},
        {"Γειά σου κόσμε", "iso-8859-7", false},
    };
    for (const auto& row : rows) {
        std::string token = testsupport::Maildir::uniqueToken("text");
        std::string text = std::string(row.text) + (row.mixed ? extras : "");
        CMailObj m;
        aimJob(m, env.get("OSTMAIL_HOST"), env.port("OSTMAIL_SMTP_PORT"), false, "", "", token);
        m.SetSubject(fromUtf8(text));
        m.SetBody(fromUtf8(token + "\r\n" + text));
        ASSERT_EQ(m.DoMail(), 0) << text;

        testsupport::MailCheck mc;
        std::string path = testsupport::Maildir(env.get("OSTMAIL_MAILDIR")).waitFor(token);
        ASSERT_TRUE(!path.empty() && mc.loadFile(path)) << text << ": " << mc.error();
        EXPECT_EQ(mc.get("subject"), text);
        EXPECT_EQ(mc.get("body"), token + "\n" + text + "\n");  // the message's own line end
        EXPECT_EQ(mc.get("body.charset"), row.charset) << text;
        EXPECT_EQ(mc.get("defects"), "") << mc.dump();
    }
}

}  // namespace
}  // namespace ostmail
