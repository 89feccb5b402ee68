#include "EmailTestUtil.h"
#include "email/Rfc822Address.h"

#include <random>
#include <regex>

using namespace ostmail;

namespace {

std::string headerForm(const Rfc822Address& a) {
    StringBuffer sb;
    a.toHeaderForm(sb);
    return sb.toStdString();
}

// Owns the objects of a list for the length of a test.
struct AddressList {
    ExtPtrArray items;
    ~AddressList() { items.removeAllObjects(); }
    std::vector<std::string> addresses() const {
        std::vector<std::string> v;
        for (int i = 0; i < items.getSize(); ++i) v.push_back(items.at<Rfc822Address>(i)->address().toStdString());
        return v;
    }
};

// The addresses parseAddressList keeps, after checking the count it returns.
std::vector<std::string> parsed(const char* text, bool dedupe, int count) {
    AddressList l;
    EXPECT_EQ(Rfc822Address::parseAddressList(text, l.items, dedupe), count) << (text ? text : "(null)");
    return l.addresses();
}

// A header value must not hold a CR or LF except in a CRLF + WSP fold.
bool hasBareLineBreak(const std::string& s) {
    static const std::regex fold("\r\n[ \t]");
    return std::regex_replace(s, fold, "").find_first_of("\r\n") != std::string::npos;
}

}  // namespace

TEST(Rfc822Address, ParsesCommonForms) {
    const struct { const char *text, *name, *address; } cases[] = {
        {"John Doe <jdoe@example.com>", "John Doe", "jdoe@example.com"},
        {"  \"John Doe\"   <jdoe@example.com>\t", "John Doe", "jdoe@example.com"},
        {"'Ann' <ann@x.org>", "Ann", "ann@x.org"},
        {"jdoe@example.com", "", "jdoe@example.com"},
        {"<jdoe@example.com>", "", "jdoe@example.com"},
        {"ann@x.org <ann@x.org>", "", "ann@x.org"},                  // name equal to address
        {"\"Smith, Bob\" <bob@x.com>", "Smith, Bob", "bob@x.com"},
        {"\"Say \\\"hi\\\" now\" <s@x.com>", "Say \"hi\" now", "s@x.com"},  // escapes dropped
        {"\"Back\\\\slash \\\"q\\\" \\\\\" <b@x.com>", "Back\\slash \"q\" \\", "b@x.com"},
        {"Team a@b <c@d.org>", "Team a@b", "c@d.org"},               // pivot is the last '@'
        {"Mailbox Name noatsign", "Mailbox Name", "noatsign"},       // no '@': last word
        {"x", "", "x"},
        {"\"q\"@example.com", "", "q@example.com"},                  // quotes never stay in the address
        {"C=US; O=Org; CN=John Smith", "", "C=US; O=Org; CN=John Smith"},
        {"John \"JS\" <C=US;S=Smith>", "John JS", "C=US;S=Smith"},  // C= alone marks X.400
        {"\"Sales <EU> O=1\" <C=DE;O=Corp>", "Sales EU O=1", "C=DE;O=Corp"},  // a quoted '<' is the name's
    };
    Rfc822Address a;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(a.parse(c.text));
        EXPECT_EQ(a.friendlyName().toStdString(), c.name);
        EXPECT_EQ(a.address().toStdString(), c.address);
    }
    for (const char* none : {"", "Undisclosed-Recipients:;", "undisclosed recipients <x@y.z>",
                             "UNDISCLOSED-RECIPIENT"}) {
        SCOPED_TRACE(none);
        EXPECT_FALSE(a.parse(none));
        EXPECT_TRUE(a.address().isEmpty());
        EXPECT_EQ(Rfc822Address::createByParsing(none), nullptr);
    }
    EXPECT_FALSE(a.parse(nullptr));
}

TEST(Rfc822Address, NameAndAddressConstructorSetAddressAndClone) {
    const struct { const char *name, *address, *wantAddress, *headerForm; } cases[] = {
        {"John Doe", "<jdoe@example.com>", "jdoe@example.com", "\"John Doe\" <jdoe@example.com>"},
        {nullptr, " j doe@example.com ", "jdoe@example.com", "jdoe@example.com"},
        {" a@b.c ", "a@b.c", "a@b.c", "a@b.c"},
        // A quoted local part keeps its space.
        {nullptr, "\"john doe\"@example.com", "\"john doe\"@example.com", "<\"john doe\"@example.com>"},
        // UTF-8 names given separately stay raw.
        {"Jos\xc3\xa9", "j@x.com", "j@x.com", "\"Jos\xc3\xa9\" <j@x.com>"},
        // ISO-2022-JP text becomes a B word.
        {"\x1b$B$3$s$K$A$O\x1b(B", "jp@x.jp", "jp@x.jp", "\"=?iso-2022-jp?B?GyRCJDMkcyRLJEEkTxsoQg==?=\" <jp@x.jp>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        Rfc822Address a(c.name, c.address);
        EXPECT_TRUE(a.isValid());
        EXPECT_EQ(a.address().toStdString(), c.wantAddress);
        EXPECT_EQ(headerForm(a), c.headerForm);
    }
    // Given as text, they become a Q word.
    Rfc822Address parsed;
    ASSERT_TRUE(parsed.parse("Jos\xc3\xa9 <j@x.com>"));
    EXPECT_EQ(parsed.friendlyName().toStdString(), "=?utf-8?Q?Jos=C3=A9?=");
    // The ?8bit? marker asks for the raw bytes of the words.
    Rfc822Address eight("=?8bit?Q?Jos=C3=A9?= Smith", "j@x.com");
    EXPECT_EQ(eight.friendlyName().toStdString(), "Jos\xc3\xa9 Smith");

    Rfc822Address a("Old Name", "old@x.com");
    a.setAddress(" Someone <new @y.com> trailing");
    EXPECT_EQ(a.address().toStdString(), "new@y.com");
    std::unique_ptr<Rfc822Address> copy(a.clone());
    ASSERT_TRUE(copy);
    a.setAddress("other@z.org");
    EXPECT_EQ(headerForm(*copy), "\"Old Name\" <new@y.com>");
}

TEST(Rfc822Address, ListParsing) {
    using V = std::vector<std::string>;
    EXPECT_EQ(parsed("\"Doe, John\" <jd@x.com>, ann@y.org", false, 2), (V{"jd@x.com", "ann@y.org"}));
    EXPECT_EQ(parsed("Ann <ann@x.org>, ANN@X.ORG", false, 2), (V{"ann@x.org", "ANN@X.ORG"}));
    EXPECT_EQ(parsed(", a@x.com,, undisclosed-recipients:;,b@y.com,", false, 2), (V{"a@x.com", "b@y.com"}));
    EXPECT_EQ(parsed("a@x.com; b@y.com", false, 1), V{"b@y.com"});  // no split at ';': the last @ wins
    EXPECT_EQ(parsed(nullptr, true, 0), V{});

    // A folded list reads as on one line, and is written back on one line.
    AddressList folded;
    const char* text = "A <a@x.com>,\r\n\t\"B, b\" <b@x.com>,\r\n c@x.com\r\n";
    EXPECT_EQ(Rfc822Address::parseAddressList(text, folded.items, false), 3);
    EXPECT_EQ(folded.addresses(), (V{"a@x.com", "b@x.com", "c@x.com"}));
    EXPECT_EQ(folded.items.at<Rfc822Address>(1)->friendlyName().toStdString(), "B, b");
    StringBuffer joined;
    Rfc822Address::formatList(folded.items, false, joined);
    EXPECT_EQ(joined.toStdString(), "\"A\" <a@x.com>, \"B, b\" <b@x.com>, c@x.com");
}

TEST(Rfc822Address, HostileInputNeverBreaksHeaderForms) {
    std::string longName(10000, 'N');
    Rfc822Address big;
    ASSERT_TRUE(big.parse((longName + " <n@x.com>").c_str()));
    EXPECT_EQ(big.friendlyName().getSize(), 10000u);
    Rfc822Address bigHigh;
    ASSERT_TRUE(bigHigh.parse((std::string(10000, '\xe9') + " <n@x.com>").c_str()));
    EXPECT_TRUE(bigHigh.friendlyName().is7bit());

    // The comma inside the open quote does not split.
    EXPECT_EQ(parsed("\"Open, quote <a@x.com>, b@y.com", false, 1), std::vector<std::string>{"b@y.com"});

    // Random soup of the bytes the parser cares about, line breaks included.
    std::mt19937 rng(12345);
    const char alphabet[] = "ab@<>\"'\\ ,\t\r\n;=?CNOP\xc3\xa9\x1b$B";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (auto left = rng() % 40; left > 0; --left) text += alphabet[rng() % (sizeof(alphabet) - 1)];
        SCOPED_TRACE(text);
        AddressList list;
        Rfc822Address::parseAddressList(text.c_str(), list.items, round % 2 == 0);
        StringBuffer joined;
        Rfc822Address::formatList(list.items, false, joined);
        ASSERT_FALSE(hasBareLineBreak(joined.toStdString()));
        Rfc822Address one;
        one.parse(text.c_str());
        ASSERT_FALSE(hasBareLineBreak(headerForm(one)));
        Rfc822Address ctor(text.c_str(), text.c_str());
        ASSERT_FALSE(hasBareLineBreak(headerForm(ctor)));
    }
}
