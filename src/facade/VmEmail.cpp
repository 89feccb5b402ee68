#include "facade/VmEmail.h"

#include "email/ClsEmail.h"

namespace ostmail {

VmEmail::VmEmail() : m_impl(std::make_unique<ClsEmail>()) {}

VmEmail::~VmEmail() = default;

void VmEmail::in(XString& x, const char* text) const { x.setFrom8bit(text ? text : "", m_utf8); }

VmString& VmEmail::nextResult() {
    VmString& s = m_results[m_next];
    m_next = (m_next + 1) % kNumResults;
    s.clear();
    s.put_Utf8(m_utf8);
    return s;
}

const char* VmEmail::out(VmString& s, XString& x) {
    s.x().copyFrom(x);
    return s.getString();
}

void VmEmail::put_Body(const char* text) {
    XString x;
    in(x, text);
    m_impl->put_Body(x);
}

const char* VmEmail::body() {
    XString x;
    m_impl->get_Body(x);
    return out(nextResult(), x);
}

void VmEmail::put_Subject(const char* text) {
    XString x;
    in(x, text);
    m_impl->put_Subject(x);
}

const char* VmEmail::subject() {
    XString x;
    m_impl->get_Subject(x);
    return out(nextResult(), x);
}

void VmEmail::put_FromName(const char* name) {
    XString x;
    in(x, name);
    m_impl->put_FromName(x);
}

const char* VmEmail::fromName() {
    XString x;
    m_impl->get_FromName(x);
    return out(nextResult(), x);
}

void VmEmail::put_FromAddress(const char* address) {
    XString x;
    in(x, address);
    m_impl->put_FromAddress(x);
}

const char* VmEmail::fromAddress() {
    XString x;
    m_impl->get_FromAddress(x);
    return out(nextResult(), x);
}

void VmEmail::put_Charset(const char* name) {
    XString x;
    in(x, name);
    m_impl->put_Charset(x);
}

const char* VmEmail::charset() {
    XString x;
    m_impl->get_Charset(x);
    return out(nextResult(), x);
}

void VmEmail::SetHtmlBody(const char* html) {
    XString x;
    in(x, html);
    m_impl->SetHtmlBody(x);
}

void VmEmail::AddPlainTextAlternativeBody(const char* text) {
    XString x;
    in(x, text);
    m_impl->AddPlainTextAlternativeBody(x);
}

void VmEmail::AddHtmlAlternativeBody(const char* html) {
    XString x;
    in(x, html);
    m_impl->AddHtmlAlternativeBody(x);
}

bool VmEmail::AddRelatedFile(const char* path, const char* contentId) {
    XString p, id;
    in(p, path);
    in(id, contentId);
    return m_impl->AddRelatedFile(p, id);
}

bool VmEmail::AddRecipients(int kind, const std::vector<std::pair<std::string, std::string>>& people) {
    static const Email2::RecipientKind kKinds[] = {Email2::kTo, Email2::kCc, Email2::kBcc};
    if (kind < 0 || kind > 2) return false;
    std::vector<std::pair<std::string, std::string>> utf8;
    utf8.reserve(people.size());
    for (const auto& p : people) {
        XString n, a;
        in(n, p.first.c_str());
        in(a, p.second.c_str());
        utf8.emplace_back(n.getUtf8(), a.getUtf8());
    }
    return m_impl->AddRecipients(kKinds[kind], utf8);
}

bool VmEmail::AddTo(const char* name, const char* address) {
    XString n, a;
    in(n, name);
    in(a, address);
    return m_impl->AddTo(n, a);
}

bool VmEmail::AddCC(const char* name, const char* address) {
    XString n, a;
    in(n, name);
    in(a, address);
    return m_impl->AddCC(n, a);
}

bool VmEmail::AddBcc(const char* name, const char* address) {
    XString n, a;
    in(n, name);
    in(a, address);
    return m_impl->AddBcc(n, a);
}

bool VmEmail::AddFileAttachment(const char* path, VmString& contentType) {
    XString p;
    in(p, path);
    contentType.clear();
    return m_impl->AddFileAttachment(p, contentType.x());
}

const char* VmEmail::addFileAttachment(const char* path) {
    VmString& s = nextResult();
    if (!AddFileAttachment(path, s)) return nullptr;
    return s.getString();
}

void VmEmail::AddHeaderField(const char* name, const char* value) {
    XString n, v;
    in(n, name);
    in(v, value);
    m_impl->AddHeaderField(n, v);
}

void VmEmail::RemoveHeaderField(const char* name) {
    XString n;
    in(n, name);
    m_impl->RemoveHeaderField(n);
}

const char* VmEmail::getHeaderField(const char* name) {
    XString n, v;
    in(n, name);
    if (!m_impl->GetHeaderField(n, v)) return nullptr;
    return out(nextResult(), v);
}

int VmEmail::get_NumTo() const { return m_impl->NumTo(); }
int VmEmail::get_NumCC() const { return m_impl->NumCC(); }
int VmEmail::get_NumBcc() const { return m_impl->NumBcc(); }
int VmEmail::get_NumAttachments() const { return m_impl->NumAttachments(); }

bool VmEmail::GetMime(VmString& outStr) {
    outStr.clear();
    return m_impl->GetMime(outStr.x());
}

const char* VmEmail::getMime() {
    VmString& s = nextResult();
    if (!GetMime(s)) return nullptr;
    return s.getString();
}

const char* VmEmail::lastErrorText() {
    XString x;
    m_impl->LastErrorText(x);
    return out(nextResult(), x);
}

bool VmEmail::SaveLastError(const char* path) {
    XString p;
    in(p, path);
    return m_impl->SaveLastError(p.getUtf8());
}

}  // namespace ostmail

namespace ostmail {

bool VmEmail::AddFileAttachmentOfType(const char* path, const char* contentType) {
    XString p, t;
    in(p, path);
    in(t, contentType);
    return m_impl->AddFileAttachmentOfType(p, t);
}

bool VmEmail::AddDataAttachment(const char* fileName, const char* contentType, const void* data, size_t n) {
    XString f, t;
    in(f, fileName);
    in(t, contentType);
    return m_impl->AddDataAttachment(f, t, data, n);
}

}  // namespace ostmail
