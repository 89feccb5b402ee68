#include "smtp/SmtpEmailMessage.h"

#include "core/LogBase.h"
#include "email/Email2.h"
#include "email/MimeRenderer.h"
#include "smtp/SmtpConnImpl.h"

namespace ostmail {

void SmtpEmailMessage::subject(StringBuffer& out) const {
    m_email.getHeaderField("Subject", out);
}

void SmtpEmailMessage::addresses(Kind kind, ExtPtrArray& out) const {
    static const Email2::RecipientKind kKinds[] = {Email2::kTo, Email2::kCc, Email2::kBcc};
    m_email.recipientAddresses(kKinds[kind], out);
}

bool SmtpEmailMessage::render(StringBuffer& out, LogBase& log) {
    // Internal instructions ("VMX-" fields) never leave the library.
    MimeRenderer::render(m_email, out, "VMX-", false, log);
    return true;
}

bool SmtpEmailMessage::distributionList(StringBuffer& path) const {
    path.clear();
    m_email.getHeaderField("VMX-FileDistList", path);
    path.trimWhitespace();
    return !path.isEmpty();
}

void SmtpEmailMessage::newMessageId() {
    m_email.newMessageId();
}

bool SmtpConnImpl::sendEmail(Email2* email, const char* reversePath, const StringBuffer* preRendered,
                             const char* sentLogPath, LogBase& log, ProgressMonitor* pm, SmtpSendResult& result,
                             ExtPtrArray& badAddresses, bool sendIndividual, bool autoGenMessageId) {
    if (!email) {
        return sendEmail(static_cast<SmtpMessage*>(nullptr), reversePath, preRendered, sentLogPath, log, pm, result,
                         badAddresses, sendIndividual, autoGenMessageId);
    }
    SmtpEmailMessage msg(*email);
    return sendEmail(&msg, reversePath, preRendered, sentLogPath, log, pm, result, badAddresses, sendIndividual,
                     autoGenMessageId);
}

}  // namespace ostmail
