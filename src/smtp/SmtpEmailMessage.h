#pragma once
#include "smtp/SmtpMessage.h"

namespace ostmail {

class Email2;

// An e-mail object as the mail transaction sees it. The e-mail is the
// sending copy: rendering rewrites parts of the tree it walks.
class SmtpEmailMessage : public SmtpMessage {
public:
    explicit SmtpEmailMessage(Email2& email) : m_email(email) {}

    void subject(StringBuffer& out) const override;
    void addresses(Kind kind, ExtPtrArray& out) const override;
    bool render(StringBuffer& out, LogBase& log) override;
    void newMessageId() override;
    bool distributionList(StringBuffer& path) const override;

private:
    Email2& m_email;
};

}  // namespace ostmail
