#include "core/ProgressMonitor.h"
#include "email/ClsEmail.h"
#include "email/Email2.h"
#include "platform/SysInfo.h"
#include "smtp/ClsMailMan.h"
#include "smtp/MailManCallback.h"
#include "smtp/SmtpEmailMessage.h"


namespace ostmail {

namespace {

// Ends the monitor on every exit of a send, so a host's bar reaches 100 %
// whether the send worked or not.
class MonitorFinisher {
public:
    explicit MonitorFinisher(ProgressMonitor& pm) : m_pm(pm) {}
    ~MonitorFinisher() { m_pm.finish(); }
    MonitorFinisher(const MonitorFinisher&) = delete;
    MonitorFinisher& operator=(const MonitorFinisher&) = delete;

private:
    ProgressMonitor& m_pm;
};

void logAddressList(LogBase& log, const Email2& email, Email2::RecipientKind kind, const char* countName,
                    const char* itemName) {
    ExtPtrArray list;
    email.recipientAddresses(kind, list);
    log.LogDataLong(countName, list.getSize());
    for (int32_t i = 0; i < list.getSize(); ++i) log.LogDataSb(itemName, *list.at<StringBuffer>(i));
    list.removeAllObjects();
}

}  // namespace

bool ClsMailMan::SendEmail(ClsEmail* email, MailManCallback* callback) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_lastSmtpStatus = 0;
    m_lastSendResult = SmtpSendResult();
    MethodFrame frame(m_log, "SendEmail");
    m_log.LogData("DllDate", kDllDate);
    logEnvironment();
    if (callback) callback->setSending(true);
    resolveTlsFlags();
    if (!email) {
        m_log.LogError("Email parameter is NULL in SendEmail");
        return false;
    }
    return sendEmailLocked(email, callback);
}

// Both set: port 465 means implicit TLS, any other port STARTTLS. The
// choice is stored, so it holds for later sends as well.
void ClsMailMan::resolveTlsFlags() {
    if (!m_startTls || !m_smtpSsl) return;
    if (m_smtpPort == 465)
        m_startTls = false;
    else
        m_smtpSsl = false;
}

void ClsMailMan::logEnvironment() {
    m_log.LogData("UserName", platform::userName().c_str());
    m_log.LogData("Platform", "Linux");
}

void ClsMailMan::logRecipients(const Email2& email) {
    LogContextExitor ctx(m_log, "Recipients");
    logAddressList(m_log, email, Email2::kTo, "NumTo", "To");
    logAddressList(m_log, email, Email2::kCc, "NumCC", "CC");
    logAddressList(m_log, email, Email2::kBcc, "NumBCC", "BCC");
}

bool ClsMailMan::sendEmailLocked(ClsEmail* email, MailManCallback* callback) {
    Email2* mime = email->email();
    if (!mime) {
        m_log.LogError("Internal email is NULL");
        return false;
    }
    logRecipients(*mime);

    StringBuffer sender;
    mime->envelopeSender(sender);

    uint64_t total = static_cast<uint64_t>(mime->sizeEstimate()) * 3 / 2 + 200;
    ProgressMonitor monitor(callback, total);
    MonitorFinisher finisher(monitor);
    // Without a host callback the lower layers get no monitor at all.
    ProgressMonitor* pm = callback ? &monitor : nullptr;

    if (monitor.advance(200)) {
        m_log.LogError("Mail sending aborted by application");
        return false;
    }
    if (!prepareDkim()) return false;
    handSettingsToSession();
    if (!connectStep(pm, monitor)) return false;
    return sendStep(*email, sender.getString(), pm, monitor);
}

void ClsMailMan::handSettingsToSession() {
    m_smtp.setTlsOnConnect(m_smtpSsl);
    m_smtp.setStartTls(m_startTls);
    m_smtp.setStartTlsWhenOffered(m_startTlsIfOffered);
    m_smtp.setRefuseClearTextLogin(m_refuseClearTextLogin);
    m_smtp.setRequireAllRecipients(m_requireAllRecipients);
    m_smtp.setBody8Bit(m_body8Bit);
    m_smtp.setFinalReplyTimeoutMs(static_cast<uint32_t>(m_finalReplyTimeout) * 1000u);
    m_smtp.setHeloHostname(m_heloHostname.getString());
    m_smtp.setDsnNotify(m_dsnNotify.getString());
    m_smtp.setDsnEnvid(m_dsnEnvid.getString());
    m_smtp.setDsnRet(m_dsnRet.getString());
    m_smtp.connection().setHttpProxy(m_httpProxy);
    handTlsSettingsToChannel();
    // Whatever echoes them (a server, a proxy, a transcript), the log never
    // shows the passwords and tokens of this connect. "default" is no
    // secret: it asks NTLM for the logged-on account's credentials.
    std::vector<std::string> secrets = {m_smtpPassword.getUtf8(), m_smtpPassword.getAnsi(),
                                        m_socks.password().getUtf8(), m_httpProxy.password().getUtf8()};
    StringBuffer trimmed(m_smtpPassword.getUtf8());
    trimmed.trimWhitespace();
    if (trimmed.equalsIgnoreCase("default")) secrets[0].clear(), secrets[1].clear();
    m_log.setSecrets(secrets);
    m_smtp.setDualStack(m_dualStack);
    m_smtp.setPipelining(m_pipelining);
    m_smtp.setSmtpUtf8(m_smtpUtf8);
}

bool ClsMailMan::connectStep(ProgressMonitor* pm, ProgressMonitor& monitor) {
    bool timedOut = false;
    bool aborted = false;
    bool ok = false;
    try {
        ok = m_smtp.smtpConnect(m_smtpHost.getString(), m_smtpPort, m_smtpUsername, m_smtpPassword, m_smtpDomain,
                                m_smtpAuthMethod, m_connectTimeout,
                                static_cast<uint32_t>(m_readTimeout) * 1000u, &m_socks, m_log, pm, timedOut,
                                aborted);
    } catch (...) {
        m_log.LogError("Unexpected exception while connecting to the SMTP server.");
        return false;
    }
    if (!ok) {
        if (aborted) m_log.LogError("Aborted by application");
        m_log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    if (monitor.advance(200)) {
        m_log.LogError("Mail sending aborted by application");
        return false;
    }
    return true;
}

bool ClsMailMan::sendStep(ClsEmail& email, const char* envelopeSender, ProgressMonitor* pm,
                          ProgressMonitor& monitor) {
    try {
        if (m_heartbeatMs != 0 && monitor.heartbeatCheck(static_cast<uint32_t>(m_heartbeatMs))) {
            m_log.LogError("Mail send aborted by application.");
            return false;
        }
        std::unique_ptr<Email2> copy = prepareSendingCopy(email);
        if (!copy) {
            m_log.LogError("Failed to prepare email for sending. (3)");
            return false;
        }
        if (m_heartbeatMs != 0 && monitor.heartbeatCheck(static_cast<uint32_t>(m_heartbeatMs))) {
            m_log.LogError("Mail send aborted by application..");
            return false;
        }
        if (monitor.advance(50)) {
            m_log.LogError("Mail sending aborted by application");
            return false;
        }
        SmtpEmailMessage msg(*copy);
        return transmit(msg, envelopeSender, pm);
    } catch (...) {
        m_log.LogError("Unexpected exception while preparing email for sending.");
        return false;
    }
}

void ClsMailMan::addDkimSignature(const char* domain, const char* selector, const char* keyPath,
                                  const DkimOptions& opts) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_dkimRequests.push_back({domain ? domain : "", selector ? selector : "", keyPath ? keyPath : "", opts});
}

// Every key is read and checked before the server hears of the message.
bool ClsMailMan::prepareDkim() {
    m_dkimSigners.clear();
    m_smtp.setDkimSigners(nullptr);
    std::vector<DkimRequest> all;
    int set = !m_dkimDomain.isEmpty() + !m_dkimSelector.isEmpty() + !m_dkimKeyFile.isEmpty();
    if (set == 3)
        all.push_back({m_dkimDomain.getString(), m_dkimSelector.getString(), m_dkimKeyFile.getString(), {}});
    else if (set != 0) {
        m_log.LogError("DKIM signing needs DkimDomain, DkimSelector and DkimPrivateKeyFile together.");
        return false;
    }
    all.insert(all.end(), m_dkimRequests.begin(), m_dkimRequests.end());
    for (const DkimRequest& r : all) {
        DkimSigner signer;
        if (!signer.load(r.domain.c_str(), r.selector.c_str(), r.keyPath.c_str(), r.opts, m_log)) {
            m_log.LogError("Nothing was sent: the message could not be signed.");
            return false;
        }
        m_dkimSigners.push_back(std::move(signer));
    }
    if (!m_dkimSigners.empty()) m_smtp.setDkimSigners(&m_dkimSigners);
    return true;
}

std::unique_ptr<Email2> ClsMailMan::prepareSendingCopy(ClsEmail& email) {
    if (!email.email()) {
        m_log.LogError("Internal email is null");
        return nullptr;
    }
    // Signing, encryption and search/replace patterns are never asked for
    // on this path, so the copy is the plain clone with its header adjusted.
    return email.cloneForSending(m_log);
}

bool ClsMailMan::transmit(SmtpMessage& msg, const char* envelopeSender, ProgressMonitor* pm) {
    SmtpSendResult result;
    bool ok = m_smtp.sendEmail(&msg, envelopeSender, nullptr, m_sentLogPath.getString(), m_log, pm, result,
                               m_badAddresses, m_sendIndividual, m_autoGenMessageId);
    m_lastSmtpStatus = m_smtp.lastReplyCode();
    m_lastSendResult = result;
    if (!ok) {
        if (result.aborted)
            m_log.LogError("Aborted by application");
        else if (result.timedOut)
            m_log.LogError("Timed out");
        else if (result.accepted != 0 && result.accepted == result.attempted)
            m_log.LogError("Partial send failure.");
        else {
            m_log.LogDataLong("NumSuccess", result.accepted);
            m_log.LogDataLong("NumTotal", result.attempted);
            m_log.LogError("Send failed.");
        }
        return false;
    }
    m_log.LogDataLong("NumAccepted", result.accepted);
    m_log.LogDataLong("NumRejected", result.attempted - result.accepted);
    m_log.LogInfo("Returning success status.");
    return true;
}

}  // namespace ostmail
