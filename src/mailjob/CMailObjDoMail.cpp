#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "facade/VmString.h"
#include "mailjob/MailJob.h"
#include "ostmail/CMailObj.h"
#include "platform/Clock.h"

using ostmail::VmEmail;
using ostmail::VmMailMan;
using ostmail::VmString;
namespace mailjob = ostmail::mailjob;

namespace {

// The toolkit takes 8-bit text in the ANSI code page; characters the page
// cannot hold are lost here, as they always were for this class.
const char* ansi(VmString& scratch, const std::wstring& text) {
    scratch.setFromWide(text);
    return scratch.getString();
}

}  // namespace

// Nothing may escape into the host: a failure of any kind is -1.
int CMailObj::DoMail() {
    try {
        return sendWithRetries();
    } catch (...) {
        return -1;
    }
}

int CMailObj::sendWithRetries() {
    VmString text;
    VmMailMan mailman;
    mailman.put_SmtpSsl(m_useSsl != 0);
    mailman.put_SmtpPort(m_port);
    mailman.put_SmtpHost(ansi(text, m_server));
    mailman.put_SmtpUsername(ansi(text, m_userName));
    mailman.put_SmtpPassword(ansi(text, m_password));

    VmEmail email;
    email.put_Body(ansi(text, m_body));
    email.put_Subject(ansi(text, m_subject));
    email.put_FromName(ansi(text, m_sender));
    email.put_FromAddress(ansi(text, m_senderAddr));
    // Refused entries are simply left out; the send goes ahead without them.
    for (const std::wstring& to : mailjob::splitList(m_recipAddr)) email.AddTo("", ansi(text, to));
    for (const std::wstring& cc : mailjob::splitList(m_recipCc)) email.AddCC("", ansi(text, cc));
    if (!m_attachment.empty()) {
        VmString contentType;
        for (const std::wstring& path : mailjob::splitList(m_attachment))
            email.AddFileAttachment(ansi(text, path), contentType);
    }

    uint32_t waitMs = static_cast<uint32_t>(m_timeoutInt) * 1000u;
    return mailjob::runAttempts([&] { return mailman.SendEmail(email); }, m_retryVal, waitMs,
                                [](uint32_t ms) { ostmail::platform::sleepMs(ms); });
}
