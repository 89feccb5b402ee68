#include "ostmail/Mailbox.h"

#include "api/TextCheck.h"
#include "email/MailboxSyntax.h"

namespace ostmail {

namespace {

bool checkUtf8(const std::string& text, std::string& reason) {
    if (TextCheck::isValidUtf8(text)) return true;
    reason = "invalid UTF-8 in address";
    return false;
}

}  // namespace

Mailbox Mailbox::parse(const std::string& text) {
    Mailbox out;
    try {
        MailboxSyntax::Mailbox m;
        std::string why;
        if (!checkUtf8(text, out.m_reason)) return out;
        if (MailboxSyntax::parse(text, m, why)) {
            out.m_ok = true;
            out.m_address = std::move(m.address);
            out.m_name = std::move(m.name);
        } else {
            out.m_reason = "invalid address \"" + text + "\": " + why;
        }
    } catch (...) {
        out = Mailbox();
        out.m_reason = "out of memory";
    }
    return out;
}

bool Mailbox::parseList(const std::string& text, std::vector<Mailbox>& out, std::string& reason) {
    out.clear();
    try {
        std::vector<MailboxSyntax::Mailbox> list;
        std::string why;
        if (!checkUtf8(text, reason)) return false;
        if (!MailboxSyntax::parseList(text, list, why)) {
            reason = "invalid address " + why;
            return false;
        }
        for (auto& m : list) {
            Mailbox b;
            b.m_ok = true;
            b.m_address = std::move(m.address);
            b.m_name = std::move(m.name);
            out.push_back(std::move(b));
        }
        return true;
    } catch (...) {
        out.clear();
        reason = "out of memory";
        return false;
    }
}

}  // namespace ostmail
