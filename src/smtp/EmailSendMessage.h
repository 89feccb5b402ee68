#pragma once
#include "smtp/SmtpMessage.h"

namespace ostmail {

class Email2;

// The sending copy of an e-mail as the mail transaction sees it. Renders
// the copy in place (rendering rewrites the tree), so it must be given a
// copy, never the host's e-mail. Borrows the copy.
class EmailSendMessage : public SmtpMessage {
public:
    explicit EmailSendMessage(Email2& copy) : m_copy(copy) {}

    void subject(StringBuffer& out) const override;
    void addresses(Kind kind, ExtPtrArray& out) const override;
    bool render(StringBuffer& out, LogBase& log) override;
    void newMessageId() override;

private:
    Email2& m_copy;
};

}  // namespace ostmail
