#include "EmailTestUtil.h"
#include "email/MimeField.h"

using namespace ostmail;

namespace {

std::string emit(const MimeHeader& h, uint32_t cp = 0, const char* prefix = nullptr) {
    StringBuffer out;
    LogNull log;
    h.emit(out, prefix, cp, log);
    return out.toStdString();
}

// The value of a field; "<none>" when absent.
std::string value(const MimeHeader& h, const char* name) {
    StringBuffer v;
    return h.getValue(name, v) ? v.toStdString() : "<none>";
}

}  // namespace

TEST(MimeHeader, ReplaceMovesToEndAndDropsEmptyValues) {
    MimeHeader h;
    h.replaceField("Subject", "one");
    h.replaceField("X-A", "a");
    h.addField("Received", "r1");
    h.addField("received", "r2");
    h.replaceField("SUBJECT", "two");
    std::string names;
    for (int32_t i = 0; i < h.count(); ++i) names += h.fieldAt(i)->name().toStdString() + ",";
    EXPECT_EQ(names, "X-A,Received,received,SUBJECT,");
    EXPECT_EQ(value(h, "subject"), "two");
    EXPECT_TRUE(h.valueMatches("subject", "T*", false));
    EXPECT_FALSE(h.valueMatches("subject", "T*", true));

    h.replaceField("X-A", " \r\n\t ");  // empty once trimmed: removed, not re-added
    EXPECT_FALSE(h.hasField("x-a"));
    EXPECT_FALSE(h.addField("X-B", "  "));
    EXPECT_EQ(value(h, ""), "<none>");
}

TEST(MimeHeader, EmitSkipsPrefixFoldsAndNeverEndsWithLineEnd) {
    MimeHeader h;
    h.replaceField("Content-Type", "multipart/mixed;\r\n\tboundary=\"B\"");
    h.replaceField("vmx-bcc", "hidden@example.com");
    h.replaceField("User-Agent", "x; yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy; zzzzzzzzzzzzzzzzzzzzzz");
    h.replaceField("To", "alice@example.com, bob@example.com, carol.long.name@example.com");
    h.replaceField("X-Note", "a\nb\rc");  // a bare line break is dropped
    EXPECT_FALSE(h.replaceField("X-Evil\r\nBcc", "victim@example.com"));
    EXPECT_FALSE(h.replaceField("Bad:Name", "x"));
    EXPECT_EQ(emit(h, 0, "VMX-"),
              "Content-Type: multipart/mixed;\r\n\tboundary=\"B\"\r\n"
              "User-Agent: x; yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy; zzzzzzzzzzzzzzzzzzzzzz\r\n"
              "To: alice@example.com,\r\n\t bob@example.com, carol.long.name@example.com\r\n"
              "X-Note: abc");
}

TEST(MimeHeader, NonAsciiValuesBecomeEncodedWordsWithFallbacks) {
    const struct { const char* subject; uint32_t cp; const char* emitted; } cases[] = {
        {"Caf\xC3\xA9 menu", 65001, "=?utf-8?Q?Caf=C3=A9_menu?="},
        {"Caf\xC3\xA9 menu", 28591, "=?iso-8859-1?Q?Caf=E9_menu?="},
        {"Caf\xC3\xA9 menu", 50220, "=?utf-8?B?Q2Fmw6kgbWVudQ==?="},  // no e-acute in ISO-2022-JP
        {"\xE5\xA0\xB1\xE5\x91\x8A", 65001, "=?utf-8?Q?=E5=A0=B1=E5=91=8A?="},  // Japanese
        {"\xE5\xA0\xB1\xE5\x91\x8A", 50220, "=?iso-2022-jp?B?GyRCSnM5cBsoQg==?="},
        // Not in ISO-8859-1: ISO-8859-2 is tried, then UTF-8.
        {"\xC5\x81\xC3\xB3""d\xC5\xBA", 28591, "=?iso-8859-2?Q?=A3=F3d=BC?="},  // Lodz
        {"\xCE\xA3\xC3\xA9", 28591, "=?utf-8?Q?=CE=A3=C3=A9?="},                // Greek sigma and e-acute
    };
    MimeHeader h;
    for (const auto& c : cases) {
        h.replaceField("Subject", c.subject);
        EXPECT_EQ(emit(h, c.cp), std::string("Subject: ") + c.emitted) << c.emitted;
    }
    // ISO-2022-JP makes a word of an ASCII subject, not of other ASCII
    // fields; a parameter with its escapes, even unquoted, is one, 7-bit as
    // it is.
    h.replaceField("Subject", "plain words");
    h.replaceField("X-Ref", "see <a> b");
    h.replaceField("Content-Disposition", "attachment; filename=\x1b$B$3$s\x1b(B.txt");
    EXPECT_EQ(emit(h, 50220), "Subject: =?iso-2022-jp?B?cGxhaW4gd29yZHM=?=\r\nX-Ref: see <a> b\r\n"
                              "Content-Disposition: attachment; filename=\"=?iso-2022-jp?B?GyRCJDMkcxsoQi50eHQ=?=\"");
    // A display name is encoded, its address stays readable; commas in the
    // name are escaped so they cannot split the list.
    h.replaceField("To", "ann@example.com, \"M\xC3\xBCller, Hans\" <hans@example.com>, bob@example.com");
    std::string to = emit(h, 28591);
    EXPECT_NE(to.find("ann@example.com, =?iso-8859-1?Q?M=FCller=2C_Hans?= <hans@example.com>, bob@example.com"),
              std::string::npos) << to;
}

// Bytes a field name cannot hold become '-'; the value is decoded and unfolded.
TEST(MimeField, ParseLineCleansTheNameAndDecodesTheValue) {
    MimeField f;
    ASSERT_TRUE(f.parseLine("X \"odd\" <it's>:  =?utf-8?Q?a_b?= c\r\n\tdone"));
    EXPECT_EQ(f.name().toStdString(), "X--odd---it-s-");
    EXPECT_EQ(f.value().toStdString(), "a b cdone");
}
