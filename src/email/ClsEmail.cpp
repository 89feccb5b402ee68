#include "email/ClsEmail.h"

#include "core/Charset.h"
#include "email/MimeRenderer.h"
#include "email/Rfc822Address.h"

namespace ostmail {

const char ClsEmail::kDllDate[] = "Mar  4 2009";

ClsEmail::ClsEmail() : m_email(Email2::createNewEmail(m_log)) {}

ClsEmail::~ClsEmail() = default;

bool ClsEmail::checkEmail(LogBase& log) const {
    if (m_email) return true;
    log.LogError("No internal email object");
    return false;
}

void ClsEmail::put_Body(XString& text) {
    if (!checkEmail(m_log)) return;
    const StringBuffer& s = text.getUtf8Sb();
    m_email->setBodyText(s.getString(), s.getSize(), m_log);
}

bool ClsEmail::get_Body(XString& out) {
    out.clear();
    if (!checkEmail(m_log)) return false;
    const Email2* leaf = m_email.get();
    while (leaf->isMultipart()) leaf = leaf->partAt(0);
    const DataBuffer& b = leaf->body();
    out.setFromUtf8(reinterpret_cast<const char*>(b.getData()), b.getSize());
    return true;
}

void ClsEmail::put_Subject(XString& text) {
    if (checkEmail(m_log)) m_email->setSubject(text.getUtf8());
}

bool ClsEmail::get_Subject(XString& out) {
    out.clear();
    StringBuffer v;
    if (!checkEmail(m_log) || !m_email->getHeaderField("Subject", v)) return false;
    out.setFromSb(v);
    return true;
}

void ClsEmail::put_FromName(XString& name) {
    if (checkEmail(m_log)) m_email->setFromName(name.getUtf8());
}

bool ClsEmail::get_FromName(XString& out) {
    out.clear();
    if (!checkEmail(m_log)) return false;
    const Rfc822Address* s = m_email->sender();
    out.setFromSb(s ? s->friendlyName() : m_email->pendingSenderName());
    return true;
}

void ClsEmail::put_FromAddress(XString& address) {
    if (checkEmail(m_log)) m_email->setFromAddress(address.getUtf8());
}

bool ClsEmail::get_FromAddress(XString& out) {
    out.clear();
    if (!checkEmail(m_log) || !m_email->sender()) return false;
    out.setFromSb(m_email->sender()->address());
    return true;
}

void ClsEmail::put_Charset(XString& name) {
    if (checkEmail(m_log)) m_email->setCharset(Charset::codePageOfName(name.getUtf8()));
}

bool ClsEmail::get_Charset(XString& out) {
    out.clear();
    StringBuffer name;
    if (!checkEmail(m_log) || !Charset::nameOfCodePage(m_email->charset(), name)) return false;
    out.setFromSb(name);
    return true;
}

void ClsEmail::SetHtmlBody(XString& html) {
    if (!checkEmail(m_log)) return;
    const StringBuffer& s = html.getUtf8Sb();
    m_email->setHtmlBody(s.getString(), s.getSize(), m_log);
}

void ClsEmail::AddPlainTextAlternativeBody(XString& text) {
    if (!checkEmail(m_log)) return;
    const StringBuffer& s = text.getUtf8Sb();
    m_email->addAlternativeBody("text/plain", s.getString(), s.getSize(), m_log);
}

void ClsEmail::AddHtmlAlternativeBody(XString& html) {
    if (!checkEmail(m_log)) return;
    const StringBuffer& s = html.getUtf8Sb();
    m_email->addAlternativeBody("text/html", s.getString(), s.getSize(), m_log);
}

bool ClsEmail::addRecipient(Email2::RecipientKind kind, const char* method, XString& name, XString& address) {
    MethodFrame frame(m_log, method);
    m_log.LogData("DllDate", kDllDate);
    if (!checkEmail(m_log)) return false;
    return m_email->addRecipient(kind, name.getUtf8(), address.getUtf8(), m_log);
}

bool ClsEmail::AddRelatedFile(XString& path, XString& contentId) {
    MethodFrame frame(m_log, "AddRelatedFile");
    m_log.LogData("DllDate", kDllDate);
    return checkEmail(m_log) && m_email->addRelatedFile(path.getUtf8(), contentId.getUtf8(), m_log);
}

bool ClsEmail::AddRecipients(Email2::RecipientKind kind,
                             const std::vector<std::pair<std::string, std::string>>& people) {
    MethodFrame frame(m_log, "AddRecipients");
    m_log.LogData("DllDate", kDllDate);
    return checkEmail(m_log) && m_email->addRecipients(kind, people, m_log);
}

bool ClsEmail::AddTo(XString& name, XString& address) { return addRecipient(Email2::kTo, "AddTo", name, address); }
bool ClsEmail::AddCC(XString& name, XString& address) { return addRecipient(Email2::kCc, "AddCC", name, address); }
bool ClsEmail::AddBcc(XString& name, XString& address) { return addRecipient(Email2::kBcc, "AddBcc", name, address); }

bool ClsEmail::AddFileAttachment(XString& path, XString& contentTypeOut) {
    MethodFrame frame(m_log, "AddFileAttachment");
    m_log.LogData("DllDate", kDllDate);
    contentTypeOut.clear();
    if (!checkEmail(m_log)) return false;
    m_log.LogData("path", path.getUtf8());
    StringBuffer type;
    if (!m_email->addFileAttachment(path.getUtf8(), type, m_log)) {
        m_log.LogError("Failed to add file attachment");
        return false;
    }
    m_log.LogDataSb("contentType", type);
    contentTypeOut.setFromSb(type);
    return true;
}

void ClsEmail::AddHeaderField(XString& name, XString& value) {
    if (checkEmail(m_log)) m_email->setHeaderField(name.getUtf8(), value.getUtf8(), m_log);
}

void ClsEmail::RemoveHeaderField(XString& name) {
    if (checkEmail(m_log)) m_email->removeHeaderField(name.getUtf8());
}

bool ClsEmail::GetHeaderField(XString& name, XString& out) {
    out.clear();
    StringBuffer v;
    if (!checkEmail(m_log) || !m_email->getHeaderField(name.getUtf8(), v)) return false;
    out.setFromSb(v);
    return true;
}

int ClsEmail::NumTo() const { return m_email ? m_email->numRecipients(Email2::kTo) : 0; }
int ClsEmail::NumCC() const { return m_email ? m_email->numRecipients(Email2::kCc) : 0; }
int ClsEmail::NumBcc() const { return m_email ? m_email->numRecipients(Email2::kBcc) : 0; }

int ClsEmail::NumAttachments() const {
    if (!m_email) return 0;
    int n = 0;
    for (int32_t i = 0; i < m_email->numParts(); ++i) {
        if (MimeRenderer::countsAsAttachment(*m_email->partAt(i))) ++n;
    }
    return n;
}

std::unique_ptr<Email2> ClsEmail::cloneForSending(LogBase& log) const {
    if (!m_email) {
        log.LogError("Internal email is null");
        return nullptr;
    }
    std::unique_ptr<Email2> copy = m_email->clone(true);
    copy->prepareForSending(log);
    return copy;
}

bool ClsEmail::GetMime(XString& out) {
    MethodFrame frame(m_log, "GetMime");
    m_log.LogData("DllDate", kDllDate);
    out.clear();
    std::unique_ptr<Email2> copy = cloneForSending(m_log);
    if (!copy) return false;
    StringBuffer mime;
    MimeRenderer::render(*copy, mime, "VMX-", false, m_log);
    out.setFromSb(mime);
    return true;
}

}  // namespace ostmail
