#pragma once
// One e-mail address with its optional display name, parsed by the RFC 5322
// rules: "boss@example.com", "Boss <boss@example.com>" or
// "\"Boss, The\" <boss@example.com>". UTF-8 is allowed (RFC 6532).
//
//   ostmail::Mailbox m = ostmail::Mailbox::parse("Boss <boss@example.com>");
//   if (!m.ok()) std::cerr << m.reason() << '\n';
#include "ostmail/Export.h"

#include <string>
#include <vector>

namespace ostmail {

// Only the two parsers are exported: the class itself stays a plain value,
// so no container of it is part of the library's interface.
class Mailbox {
public:
    Mailbox() = default;
    // Parses one mailbox; never throws. A failed parse has ok() false and
    // a reason that names the text and what is wrong with it.
    OSTMAIL_EXPORT static Mailbox parse(const std::string& text);
    // Parses a comma-separated list; false (out emptied, reason set) when
    // any member is bad or the list is empty.
    OSTMAIL_EXPORT static bool parseList(const std::string& text, std::vector<Mailbox>& out, std::string& reason);

    bool ok() const { return m_ok; }
    const std::string& address() const { return m_address; }
    const std::string& name() const { return m_name; }
    const std::string& reason() const { return m_reason; }

private:
    bool m_ok = false;
    std::string m_address, m_name, m_reason;
};

}  // namespace ostmail
