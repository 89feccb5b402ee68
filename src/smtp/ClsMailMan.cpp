#include "smtp/ClsMailMan.h"

namespace ostmail {

// The build date the original library reported; hosts compare it.
const char ClsMailMan::kDllDate[] = "Mar  4 2009";

ClsMailMan::ClsMailMan() {
    m_smtpHost.setString("localhost");
    m_smtp.setReadTimeoutMs(static_cast<uint32_t>(m_readTimeout) * 1000u);
}

// The session's destructor says QUIT when still connected.
ClsMailMan::~ClsMailMan() { m_badAddresses.removeAllObjects(); }

void ClsMailMan::put_SmtpHost(XString& host) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    StringBuffer sb(host.getUtf8());
    sb.toLowerCase();
    sb.replaceFirstOccurrence("http://", "");
    sb.replaceFirstOccurrence("https://", "");
    sb.removeCharOccurrences('/');
    m_smtpHost.setString(sb);
}

void ClsMailMan::get_SmtpHost(XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    out.setFromSb(m_smtpHost);
}

void ClsMailMan::put_SmtpUsername(XString& v) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_smtpUsername.copyFrom(v);
}

void ClsMailMan::get_SmtpUsername(XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    out.copyFrom(m_smtpUsername);
}

void ClsMailMan::put_SmtpPassword(XString& v) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_smtpPassword.copyFrom(v);
}

void ClsMailMan::get_SmtpPassword(XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    out.copyFrom(m_smtpPassword);
}

void ClsMailMan::put_HeloHostname(XString& v) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    m_heloHostname.setString(v.getUtf8());
}

void ClsMailMan::get_HeloHostname(XString& out) {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    out.setFromSb(m_heloHostname);
}

void ClsMailMan::put_ReadTimeout(int32_t secs) {
    m_readTimeout = secs;
    m_smtp.setReadTimeoutMs(static_cast<uint32_t>(secs) * 1000u);
}

void ClsMailMan::put_HeartbeatMs(int32_t ms) {
    m_heartbeatMs = ms;
    m_smtp.setHeartbeatMs(static_cast<uint32_t>(ms));
}

bool ClsMailMan::getBadAddress(int32_t index, XString& out) const {
    StringBuffer* sb = m_badAddresses.at<StringBuffer>(index);
    if (!sb) return false;
    out.setFromSb(*sb);
    return true;
}

bool ClsMailMan::CloseSmtpConnection() {
    std::lock_guard<platform::CriticalSection> lock(m_cs);
    MethodFrame frame(m_log, "CloseSmtpConnection");
    m_log.LogData("DllDate", kDllDate);
    if (m_smtp.isConnected()) m_smtp.quit(m_log, nullptr);
    m_smtp.closeConnection(m_log, nullptr);
    return true;
}

}  // namespace ostmail
