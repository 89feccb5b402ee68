#include "smtp/EmailSendMessage.h"

#include "email/Email2.h"
#include "email/MimeRenderer.h"

namespace ostmail {

void EmailSendMessage::subject(StringBuffer& out) const { m_copy.getHeaderField("Subject", out); }

void EmailSendMessage::addresses(Kind kind, ExtPtrArray& out) const {
    Email2::RecipientKind k = kind == kTo ? Email2::kTo : kind == kCc ? Email2::kCc : Email2::kBcc;
    m_copy.recipientAddresses(k, out);
}

// The internal "VMX-" fields are instructions, never transmitted.
bool EmailSendMessage::render(StringBuffer& out, LogBase& log) {
    MimeRenderer::render(m_copy, out, "VMX-", false, log);
    return true;
}

void EmailSendMessage::newMessageId() { m_copy.newMessageId(); }

}  // namespace ostmail
