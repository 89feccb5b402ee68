#include "facade/VmEmail.h"
#include "facade/VmMailMan.h"
#include "facade/VmString.h"
#include "mailjob/MailJob.h"
#include "ostmail/CMailObj.h"
#include "platform/Clock.h"
#include "platform/SysInfo.h"

#include <string>
#include <vector>

using ostmail::VmEmail;
using ostmail::VmMailMan;
using ostmail::VmString;
namespace mailjob = ostmail::mailjob;

namespace {

thread_local std::string t_lastLog;

// The toolkit takes 8-bit text in the ANSI code page; characters the page
// cannot hold are lost here, as they always were for this class, but the
// loss is named in the log instead of passing unnoticed.
class AnsiHandOver {
public:
    const char* operator()(const char* property, const std::wstring& text) {
        m_text.setFromWide(text);
        const char* ansi = m_text.getString();
        if (m_text.x().ansiAccuracy() == ostmail::XString::kAnsiLossy) m_lossy.push_back(property);
        return ansi;
    }

    std::string lossLines() const {
        std::string lines;
        const std::string page = std::to_string(ostmail::platform::ansiCodePage());
        for (const std::string& p : m_lossy)
            lines += "The ANSI code page (" + page + ") cannot hold every character of " + p +
                     "; those characters are not sent.\n";
        return lines;
    }

private:
    VmString m_text;
    std::vector<std::string> m_lossy;
};

}  // namespace

std::wstring CMailObj::LastLog() {
    ostmail::XString x;
    x.setFromUtf8(t_lastLog.data(), t_lastLog.size());
    return x.getWide();
}

// Nothing may escape into the host: a failure of any kind is -1.
int CMailObj::DoMail() {
    try {
        t_lastLog.clear();
        return sendWithRetries();
    } catch (...) {
        t_lastLog += "The send stopped on an unexpected error.\n";
        return -1;
    }
}

int CMailObj::sendWithRetries() {
    AnsiHandOver ansi;
    VmMailMan mailman;
    mailman.put_SmtpSsl(m_useSsl != 0);
    mailman.put_SmtpPort(m_port);
    mailman.put_SmtpHost(ansi("the server", m_server));
    mailman.put_SmtpUsername(ansi("the login", m_userName));
    mailman.put_SmtpPassword(ansi("the password", m_password));
    // Authentication flag 2 or 3: the password is an OAuth 2.0 access token.
    if (m_authState == kAuthXOAuth2 || m_authState == kAuthOAuthBearer)
        mailman.put_SmtpAuthMethod(m_authState == kAuthXOAuth2 ? "XOAUTH2" : "OAUTHBEARER");

    VmEmail email;
    email.put_Body(ansi("the body", m_body));
    email.put_Subject(ansi("the subject", m_subject));
    email.put_FromName(ansi("the sender's name", m_sender));
    email.put_FromAddress(ansi("the sender's address", m_senderAddr));
    // Refused entries are simply left out; the send goes ahead without them.
    for (const std::wstring& to : mailjob::splitList(m_recipAddr)) email.AddTo("", ansi("a recipient", to));
    for (const std::wstring& cc : mailjob::splitList(m_recipCc)) email.AddCC("", ansi("a CC recipient", cc));
    if (!m_attachment.empty()) {
        VmString contentType;
        for (const std::wstring& path : mailjob::splitList(m_attachment))
            email.AddFileAttachment(ansi("an attachment's path", path), contentType);
    }

    uint32_t waitMs = static_cast<uint32_t>(m_timeoutInt) * 1000u;
    int rc = mailjob::runAttempts([&] { return mailman.SendEmail(email); }, m_retryVal, waitMs,
                                  [](uint32_t ms) { ostmail::platform::sleepMs(ms); });
    mailman.put_Utf8(true);
    t_lastLog = ansi.lossLines() + mailman.lastErrorText();
    return rc;
}
