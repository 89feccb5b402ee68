#include "email/AddressList.h"

#include <gtest/gtest.h>

using namespace ostmail;

namespace {

// "name|address" per mailbox, joined by ";"; or "!" and the reason.
std::string parsed(const std::string& text) {
    std::vector<MailboxAddress> out{{"kept", "kept@x"}};
    std::string error, r;
    if (!AddressList::parse(text, out, error)) return out.size() == 1 ? "!" + error : "!out changed";
    for (size_t i = 1; i < out.size(); ++i) r += (i > 1 ? ";" : "") + out[i].name + "|" + out[i].address;
    return r;
}

TEST(AddressListTest, ParsesTheFormsMailersWrite) {
    const struct {
        const char* text;
        const char* want;
    } rows[] = {
        {"a@x", "|a@x"},
        {"Jo Doe <jo@x>", "Jo Doe|jo@x"},
        {"\"Doe, Jo\" <jo@x>, b@y", "Doe, Jo|jo@x;|b@y"},
        {"\"Jo \\\"X\\\"\" <jo@x>", "Jo \"X\"|jo@x"},
        {"undisclosed-recipients:;", ""},
        {"Friends: a@x, B <b@x>;, c@x", "|a@x;B|b@x;|c@x"},
        {"a@x (a (nested) comment), c (Cee)@x", "|a@x;|c@x"},
        {"<@r1,@r2:a@x>", "|a@x"},
        {"<>", "|"},
        {"root", "|root"},
        {"\"john doe\"@x, \"jo\"@x", "|\"john doe\"@x;|jo@x"},
        {"a@[127.0.0.1]", "|a@[127.0.0.1]"},
        {"J. R. <jr@x>", "J. R.|jr@x"},
        {"\xc3\x96z <u@x>", "\xc3\x96z|u@x"},
        {"a@x,\r\n\tb@y,,", "|a@x;|b@y"},
        {"John Smith", "!not an address in 'John Smith'"},
        {"a@x b@y", "!not an address in 'a@x b@y'"},
        {"a@x (open", "!a comment is not closed"},
        {"\"open", "!a quoted string is not closed"},
        {"<a@x", "!no '>' in '<a@x'"},
        {"A: B: c@x;;", "!a group inside a group in 'B:'"},
        {"Jo <a@x> b@y", "!no ',' after the address in 'Jo <a@x> b'"},
    };
    for (const auto& row : rows) {
        std::string got = parsed(row.text);
        EXPECT_EQ(got.substr(0, std::string(row.want).size()), row.want) << row.text;
    }
    EXPECT_EQ(parsed(std::string("a\0b@x", 5)), "!a control character (0) in an address");
    EXPECT_EQ(parsed("a@x)"), "!unexpected ')'");
}

TEST(AddressListTest, ComparesAndFormats) {
    EXPECT_TRUE(AddressList::sameAddress("a@X.org", "a@x.ORG"));
    EXPECT_FALSE(AddressList::sameAddress("A@x", "a@x"));
    EXPECT_FALSE(AddressList::sameAddress("a@x", "a@xy"));
    EXPECT_TRUE(AddressList::sameAddress("root", "root"));
    std::vector<std::string> list;
    EXPECT_TRUE(AddressList::addUnique(list, "a@x"));
    EXPECT_FALSE(AddressList::addUnique(list, "a@X"));
    EXPECT_EQ(list.size(), 1u);

    EXPECT_EQ(AddressList::format("", "a@x"), "a@x");
    EXPECT_EQ(AddressList::format("Jo Doe", "a@x"), "Jo Doe <a@x>");
    EXPECT_EQ(AddressList::format("Doe, Jo", "a@x"), "\"Doe, Jo\" <a@x>");
    EXPECT_EQ(AddressList::format("Jo \"X\" \\", "a@x"), "\"Jo \\\"X\\\" \\\\\" <a@x>");
    EXPECT_EQ(AddressList::format("\xc3\x96", "a@x"), "=?utf-8?B?w5Y=?= <a@x>");
    // 30 two-byte letters: two words, cut between letters (22 in the first).
    std::string name;
    for (int i = 0; i < 30; ++i) name += "\xc3\xa9";
    std::string f = AddressList::format(name, "a@x");
    EXPECT_EQ(f.find(" =?utf-8?B?"), std::string("=?utf-8?B?").size() + 60 + 2) << f;
    // What it writes parses back to the same name.
    std::vector<MailboxAddress> back;
    std::string error;
    ASSERT_TRUE(AddressList::parse(AddressList::format("Jo \"X\" \\", "a@x"), back, error)) << error;
    EXPECT_EQ(back[0].name, "Jo \"X\" \\");
}

}  // namespace
