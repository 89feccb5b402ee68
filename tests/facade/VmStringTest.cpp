#include "facade/FacadeTestUtil.h"
#include "facade/VmString.h"

using ostmail::VmString;

// The ANSI form is the default; the switch changes what comes out, never
// what is held.
TEST(VmString, Utf8SwitchSelectsTheEightBitForm) {
    ostmail::facadetest::Cp1252 acp;
    VmString s;
    s.setFromWide(L"Gr\u00FC\u00DFe \u20AC \u4E2D");
    EXPECT_STREQ("Gr\xFC\xDF" "e \x80 ", s.getString());  // CJK is lost in 1252
    s.put_Utf8(true);
    EXPECT_STREQ("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE4\xB8\xAD", s.getString());
    EXPECT_TRUE(s.equals("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE4\xB8\xAD"));
    EXPECT_EQ(std::wstring(L"Gr\u00FC\u00DFe \u20AC \u4E2D"), s.getWide());

    s.setString("caf\xC3\xA9");  // UTF-8 in
    s.put_Utf8(false);
    EXPECT_STREQ("caf\xE9", s.getString());
    EXPECT_TRUE(s.equals("caf\xE9"));
    s.appendString(" \x80");  // ANSI in
    s.put_Utf8(true);
    s.appendString("\xC3\xBC");  // UTF-8 in
    EXPECT_STREQ("caf\xC3\xA9 \xE2\x82\xAC\xC3\xBC", s.getString());
    EXPECT_EQ(7u, s.getNumChars());

    VmString copy(s), assigned;
    assigned = s;
    s.clear();
    for (VmString* kept : {&copy, &assigned}) {
        EXPECT_TRUE(kept->get_Utf8());
        EXPECT_STREQ("caf\xC3\xA9 \xE2\x82\xAC\xC3\xBC", kept->getString());
    }
}
