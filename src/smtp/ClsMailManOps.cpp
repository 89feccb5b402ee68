#include "core/ProgressMonitor.h"
#include "email/ClsEmail.h"
#include "email/Email2.h"
#include "smtp/ClsMailMan.h"
#include "smtp/MailManCallback.h"
#include "smtp/SmtpEmailMessage.h"

namespace ostmail {

namespace {

// "a@x, b@y" into trimmed non-empty addresses.
void splitRecipients(const char* text, ExtPtrArray& out) {
    StringBuffer item;
    for (const char* p = text;; ++p) {
        if (*p == ',' || *p == '\0') {
            item.trimWhitespace();
            if (!item.isEmpty()) out.appendObject(new StringBuffer(item));
            item.clear();
            if (*p == '\0') return;
        } else {
            item.appendChar(*p);
        }
    }
}

}  // namespace

bool ClsMailMan::SendMime(XString& fromAddr, XString& recipients, XString& mimeText, MailManCallback* callback) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_lastSmtpStatus = 0;
    MethodFrame frame(m_log, "SendMime");
    m_log.LogData("DllDate", kDllDate);
    ExtPtrArray list;
    splitRecipients(recipients.getUtf8(), list);
    bool ok = sendMimeLocked(fromAddr, list, mimeText, callback);
    list.removeAllObjects();
    return ok;
}

bool ClsMailMan::SendMimeToList(XString& fromAddr, ExtPtrArray& recipients, XString& mimeText,
                                MailManCallback* callback) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_lastSmtpStatus = 0;
    MethodFrame frame(m_log, "SendMimeToList");
    m_log.LogData("DllDate", kDllDate);
    return sendMimeLocked(fromAddr, recipients, mimeText, callback);
}

bool ClsMailMan::sendMimeLocked(XString& fromAddr, ExtPtrArray& recipients, XString& mimeText,
                                MailManCallback* callback) {
    m_lastSendResult = SmtpSendResult();
    logEnvironment();
    resolveTlsFlags();
    if (callback) callback->setSending(true);
    SmtpTextMessage msg;
    for (int32_t i = 0; i < recipients.getSize(); ++i) {
        StringBuffer* sb = recipients.at<StringBuffer>(i);
        if (sb && !sb->isEmpty()) msg.addAddress(SmtpMessage::kTo, sb->getString());
    }
    m_log.LogDataLong("NumRecipients", recipients.getSize());
    msg.text().append(mimeText.getUtf8());
    ProgressMonitor monitor(callback, static_cast<uint64_t>(msg.text().getSize()) * 3 / 2 + 400);
    ProgressMonitor* pm = callback ? &monitor : nullptr;
    if (!prepareDkim()) {
        monitor.finish();
        return false;
    }
    handSettingsToSession();
    bool ok = connectStep(pm, monitor) && transmit(msg, fromAddr.getUtf8(), pm);
    monitor.finish();
    return ok;
}

bool ClsMailMan::RenderToMime(ClsEmail* email, XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "RenderToMime");
    m_log.LogData("DllDate", kDllDate);
    out.clear();
    if (!email || !email->email()) {
        m_log.LogError("Email parameter is NULL in RenderToMime");
        return false;
    }
    std::unique_ptr<Email2> copy = prepareSendingCopy(*email);
    if (!copy) {
        m_log.LogError("Failed to prepare email for sending. (3)");
        return false;
    }
    SmtpEmailMessage msg(*copy);
    StringBuffer text;
    if (!msg.render(text, m_log)) {
        m_log.LogError("Failed to render the email.");
        return false;
    }
    out.setFromSb(text);
    return true;
}

bool ClsMailMan::VerifySmtpConnection() {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "VerifySmtpConnection");
    m_log.LogData("DllDate", kDllDate);
    m_log.LogInfo("Checking TCP/IP connectivity to the SMTP server.");
    m_log.LogInfo("This does not check the login/password.");
    return verifyLocked(false);
}

bool ClsMailMan::VerifySmtpLogin() {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "VerifySmtpLogin");
    m_log.LogData("DllDate", kDllDate);
    if (m_smtpUsername.isEmpty()) {
        m_log.LogError("SMTP username is empty.");
        return false;
    }
    if (m_smtpPassword.isEmpty()) {
        m_log.LogError("SMTP password is empty.");
        return false;
    }
    return verifyLocked(true);
}

// A fresh connection each time: a reused session would prove nothing.
bool ClsMailMan::verifyLocked(bool withLogin) {
    resolveTlsFlags();
    handSettingsToSession();
    if (m_smtp.isConnected()) m_smtp.quit(m_log, nullptr);
    m_smtp.closeConnection(m_log, nullptr);
    XString none;
    XString& login = withLogin ? m_smtpUsername : none;
    XString& password = withLogin ? m_smtpPassword : none;
    bool timedOut = false;
    bool aborted = false;
    bool ok = m_smtp.smtpConnect(m_smtpHost.getString(), m_smtpPort, login, password, m_smtpDomain,
                                 m_smtpAuthMethod, m_connectTimeout, static_cast<uint32_t>(m_readTimeout) * 1000u,
                                 &m_socks, m_log, nullptr, timedOut, aborted);
    m_lastSmtpStatus = m_smtp.lastReplyCode();
    if (!ok) {
        if (timedOut) m_log.LogError("Timed out");
        m_log.LogError("Failed to connect to SMTP server.");
    }
    if (m_smtp.isConnected()) m_smtp.quit(m_log, nullptr);
    m_smtp.closeConnection(m_log, nullptr);
    if (ok) m_log.LogInfo("Returning success status.");
    return ok;
}

}  // namespace ostmail
