#include "facade/VmMailMan.h"

#include "facade/VmEmail.h"
#include "facade/VmMailCb.h"
#include "smtp/ClsMailMan.h"

namespace ostmail {

VmMailMan::VmMailMan() : m_impl(std::make_unique<ClsMailMan>()) {}

VmMailMan::~VmMailMan() = default;

bool VmMailMan::SendEmail(VmEmail& email) {
    if (!m_progress) return m_impl->SendEmail(email.impl(), nullptr);
    VmMailCb cb(m_progress);
    return m_impl->SendEmail(email.impl(), &cb);
}

bool VmMailMan::CloseSmtpConnection() { return m_impl->CloseSmtpConnection(); }

bool VmMailMan::SendMime(const char* fromAddr, const char* recipients, const char* mimeText) {
    XString from, to, text;
    from.setFrom8bit(fromAddr ? fromAddr : "", m_utf8);
    to.setFrom8bit(recipients ? recipients : "", m_utf8);
    text.setFrom8bit(mimeText ? mimeText : "", m_utf8);
    if (!m_progress) return m_impl->SendMime(from, to, text, nullptr);
    VmMailCb cb(m_progress);
    return m_impl->SendMime(from, to, text, &cb);
}

bool VmMailMan::SendMimeToList(const char* fromAddr, const std::vector<std::string>& recipients,
                               const char* mimeText) {
    XString from, text;
    from.setFrom8bit(fromAddr ? fromAddr : "", m_utf8);
    text.setFrom8bit(mimeText ? mimeText : "", m_utf8);
    ExtPtrArray list;
    for (const std::string& r : recipients) {
        XString x;
        x.setFrom8bit(r.c_str(), m_utf8);
        list.appendObject(new StringBuffer(x.getUtf8()));
    }
    bool ok;
    if (!m_progress) {
        ok = m_impl->SendMimeToList(from, list, text, nullptr);
    } else {
        VmMailCb cb(m_progress);
        ok = m_impl->SendMimeToList(from, list, text, &cb);
    }
    list.removeAllObjects();
    return ok;
}

const char* VmMailMan::renderToMime(VmEmail& email) {
    XString x;
    if (!m_impl->RenderToMime(email.impl(), x)) return nullptr;
    return out(x);
}

bool VmMailMan::VerifySmtpConnection() { return m_impl->VerifySmtpConnection(); }
bool VmMailMan::VerifySmtpLogin() { return m_impl->VerifySmtpLogin(); }
const char* VmMailMan::lastSmtpReply() { return getText(&ClsMailMan::get_LastSmtpReply); }
const char* VmMailMan::smtpCapabilities() { return getText(&ClsMailMan::get_SmtpCapabilities); }

const char* VmMailMan::mxLookup(const char* emailOrDomain) {
    XString in, host;
    in.setFrom8bit(emailOrDomain ? emailOrDomain : "", m_utf8);
    if (!m_impl->MxLookup(in, host)) return nullptr;
    return out(host);
}

bool VmMailMan::MxLookupAll(const char* emailOrDomain, std::vector<std::string>& hosts) {
    hosts.clear();
    XString in;
    in.setFrom8bit(emailOrDomain ? emailOrDomain : "", m_utf8);
    ExtPtrArray found;
    bool ok = m_impl->MxLookupAll(in, found);
    for (int32_t i = 0; i < found.getSize(); ++i) {
        XString x;
        x.setFromSb(*found.at<StringBuffer>(i));
        hosts.emplace_back(out(x));
    }
    found.removeAllObjects();
    return ok;
}

bool VmMailMan::SetDnsServer(const char* host, int32_t port) {
    XString x;
    x.setFrom8bit(host ? host : "", m_utf8);
    return m_impl->SetDnsServer(x, port);
}

void VmMailMan::setText(XSetter f, const char* text) {
    XString x;
    x.setFrom8bit(text ? text : "", m_utf8);
    (m_impl.get()->*f)(x);
}

const char* VmMailMan::getText(XGetter f) {
    XString x;
    (m_impl.get()->*f)(x);
    return out(x);
}

VmString& VmMailMan::nextResult() {
    VmString& s = m_results[m_next];
    m_next = (m_next + 1) % kNumResults;
    s.clear();
    s.put_Utf8(m_utf8);
    return s;
}

const char* VmMailMan::out(XString& x) {
    VmString& s = nextResult();
    s.x().copyFrom(x);
    return s.getString();
}

#define OSTMAIL_VM_TEXT(Name, getter)                                                    \
    void VmMailMan::put_##Name(const char* v) { setText(&ClsMailMan::put_##Name, v); } \
    const char* VmMailMan::getter() { return getText(&ClsMailMan::get_##Name); }

OSTMAIL_VM_TEXT(SmtpHost, smtpHost)
OSTMAIL_VM_TEXT(SmtpUsername, smtpUsername)
OSTMAIL_VM_TEXT(SmtpPassword, smtpPassword)
OSTMAIL_VM_TEXT(SmtpDomain, smtpDomain)
OSTMAIL_VM_TEXT(SmtpAuthMethod, smtpAuthMethod)
OSTMAIL_VM_TEXT(HeloHostname, heloHostname)
OSTMAIL_VM_TEXT(SentLogPath, sentLogPath)
OSTMAIL_VM_TEXT(DsnNotify, dsnNotify)
OSTMAIL_VM_TEXT(DsnEnvid, dsnEnvid)
OSTMAIL_VM_TEXT(DsnRet, dsnRet)
OSTMAIL_VM_TEXT(DkimDomain, dkimDomain)
OSTMAIL_VM_TEXT(DkimSelector, dkimSelector)
OSTMAIL_VM_TEXT(DkimPrivateKeyFile, dkimPrivateKeyFile)
OSTMAIL_VM_TEXT(SocksHostname, socksHostname)
OSTMAIL_VM_TEXT(SocksUsername, socksUsername)
OSTMAIL_VM_TEXT(SocksPassword, socksPassword)
OSTMAIL_VM_TEXT(HttpProxyHostname, httpProxyHostname)
OSTMAIL_VM_TEXT(HttpProxyUsername, httpProxyUsername)
OSTMAIL_VM_TEXT(HttpProxyPassword, httpProxyPassword)
OSTMAIL_VM_TEXT(SslTrustFile, sslTrustFile)
OSTMAIL_VM_TEXT(SslTrustFolder, sslTrustFolder)
OSTMAIL_VM_TEXT(SslProtocol, sslProtocol)
OSTMAIL_VM_TEXT(SslCipher, sslCipher)
#undef OSTMAIL_VM_TEXT

#define OSTMAIL_VM_VALUE(Type, Name)                                           \
    Type VmMailMan::get_##Name() const { return m_impl->get_##Name(); }      \
    void VmMailMan::put_##Name(Type v) { m_impl->put_##Name(v); }

OSTMAIL_VM_VALUE(int32_t, SmtpPort)
OSTMAIL_VM_VALUE(bool, SmtpSsl)
OSTMAIL_VM_VALUE(bool, StartTLS)
OSTMAIL_VM_VALUE(int32_t, ReadTimeout)
OSTMAIL_VM_VALUE(int32_t, ConnectTimeout)
OSTMAIL_VM_VALUE(int32_t, HeartbeatMs)
OSTMAIL_VM_VALUE(bool, AutoGenMessageId)
OSTMAIL_VM_VALUE(bool, SendIndividual)
OSTMAIL_VM_VALUE(bool, RequireAllRecipients)
OSTMAIL_VM_VALUE(bool, StartTlsIfOffered)
OSTMAIL_VM_VALUE(bool, RefuseClearTextLogin)
OSTMAIL_VM_VALUE(bool, RequireTls12)

bool VmMailMan::put_SslPinSha256(const char* v) {
    XString x;
    x.setFrom8bit(v ? v : "", m_utf8);
    return m_impl->put_SslPinSha256(x);
}
OSTMAIL_VM_VALUE(bool, DualStack)
OSTMAIL_VM_VALUE(bool, Pipelining)
OSTMAIL_VM_VALUE(bool, SmtpUtf8)
OSTMAIL_VM_VALUE(int32_t, SocksVersion)
OSTMAIL_VM_VALUE(int32_t, SocksPort)
OSTMAIL_VM_VALUE(int32_t, HttpProxyPort)
OSTMAIL_VM_VALUE(bool, RequireSslCertVerify)
#undef OSTMAIL_VM_VALUE

int32_t VmMailMan::get_LastSmtpStatus() const { return m_impl->get_LastSmtpStatus(); }
bool VmMailMan::get_TokenRefused() const { return m_impl->get_TokenRefused(); }
int32_t VmMailMan::get_NumBadAddresses() const { return m_impl->get_NumBadAddresses(); }

const char* VmMailMan::badAddress(int32_t index) {
    XString x;
    if (!m_impl->getBadAddress(index, x)) return nullptr;
    return out(x);
}

const char* VmMailMan::lastErrorText() {
    XString x;
    m_impl->LastErrorText(x);
    return out(x);
}

const char* VmMailMan::lastErrorXml() {
    XString x;
    m_impl->LastErrorXml(x);
    return out(x);
}

const char* VmMailMan::lastErrorHtml() {
    XString x;
    m_impl->LastErrorHtml(x);
    return out(x);
}

bool VmMailMan::SaveLastError(const char* path) {
    XString x;
    x.setFrom8bit(path ? path : "", m_utf8);
    return m_impl->SaveLastError(x);
}

}  // namespace ostmail
