#pragma once
#include <string>
#include <vector>

namespace ostmail {

// One mailbox of an address list: its display name (unquoted, "" for none)
// and its bare address ("" for the null reverse path "<>").
struct MailboxAddress {
    std::string name;
    std::string address;
};

// Address lists as RFC 5322 section 3.4 writes them: display names, angle
// addresses, quoted strings, comments (dropped), groups (their members
// taken, the group name dropped; an empty group gives nothing), source
// routes (dropped), and the bare local names ("root") that local mailers
// write. Bytes of 0x80 and above are text (RFC 6532).
class AddressList {
public:
    // Appends the mailboxes of text to out. False, with a one-line reason
    // and out unchanged, when text is not an address list.
    static bool parse(const std::string& text, std::vector<MailboxAddress>& out, std::string& error);

    // Same mailbox: the local part compared exactly, the domain ignoring
    // ASCII letter case (RFC 5321 section 2.4).
    static bool sameAddress(const std::string& a, const std::string& b);

    // Appends address unless out holds it already; true when appended.
    static bool addUnique(std::vector<std::string>& out, const std::string& address);

    // A display name and address as header text: the name as atoms when
    // it is plain ASCII words, quoted with escapes otherwise, RFC 2047
    // words when it holds 8-bit bytes (UTF-8 assumed); the bare address
    // when the name is empty.
    static std::string format(const std::string& name, const std::string& address);
};

}  // namespace ostmail
