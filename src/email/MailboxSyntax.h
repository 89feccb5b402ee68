#pragma once
#include <string>
#include <vector>

namespace ostmail {

// The strict RFC 5322 section 3.4 grammar for a mailbox ("Name <a@b>" or
// "a@b") and a mailbox list, with UTF-8 allowed where RFC 6532 allows it.
// Comments, groups and obsolete forms are refused. Pure text in, text out.
class MailboxSyntax {
public:
    struct Mailbox {
        std::string name;     // the display name, quotes and escapes removed
        std::string address;  // the bare address, local@domain
    };
    // One mailbox; false with a reason naming what is wrong.
    static bool parse(const std::string& text, Mailbox& out, std::string& reason);
    // Comma-separated mailboxes (commas inside quotes do not split);
    // false with a reason when any of them is bad or none is there.
    static bool parseList(const std::string& text, std::vector<Mailbox>& out, std::string& reason);
    // A bare local@domain address: dot-atom or quoted local part, host name or
    // address literal, within the lengths of RFC 5321 section 4.5.3.1.
    static bool checkAddress(const std::string& address, std::string& reason);
};

}  // namespace ostmail
