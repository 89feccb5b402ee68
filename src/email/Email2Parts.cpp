// Email2: attachments, the conversion to multipart/mixed, and the header
// adjustments of the copy that is sent.
#include "core/ExtPtrArray.h"
#include "core/LogBase.h"
#include "email/AttachmentFile.h"
#include "email/Email2.h"
#include "email/MailIdentifiers.h"
#include "email/Rfc822Address.h"

namespace ostmail {

namespace {

void stripAddress(StringBuffer& s) {
    s.removeCharOccurrences('<');
    s.removeCharOccurrences('>');
    s.trimWhitespace();
}

void newMixedBoundary(StringBuffer& out) {
    MailIdentifiers::newBoundary(out);
    out.append("_.MIX");
}

}  // namespace

void Email2::copyContentFieldsFrom(const Email2& o) {
    m_formatFlowed = o.m_formatFlowed;
    m_charset = o.m_charset;
    m_header.setCodePage(o.m_header.codePage());
    setContentType(o.m_contentType.getString(), o.m_name.getString(), o.m_protocol.getString(),
                   o.m_micalg.getString(), o.m_charset, o.m_boundary.getString(), o.m_smimeType.getString(),
                   o.m_typeParam.getString());
}

void Email2::wrapRelatedInMixed() {
    auto related = createNewPart();
    related->m_header.removeField("Content-Transfer-Encoding");
    related->m_transferEncoding.clear();
    related->copyContentFieldsFrom(*this);
    related->takePartsFrom(*this);
    StringBuffer boundary;
    newMixedBoundary(boundary);
    m_charset = 0;
    m_header.setCodePage(0);
    setContentType("multipart/mixed", nullptr, nullptr, nullptr, 0, boundary.getString(), nullptr, nullptr);
    appendPart(std::move(related));
}

void Email2::convertToMixed() {
    if (contentTypeIs("multipart/mixed")) return;
    if (contentTypeIs("multipart/related")) {
        wrapRelatedInMixed();
        return;
    }
    auto part = createNewPart();
    part->copyContentFieldsFrom(*this);
    if (!m_transferEncoding.isEmpty()) part->setTransferEncoding(m_transferEncoding.getString());
    if (!isMultipart()) part->m_body.swap(m_body);
    else part->takePartsFrom(*this);
    StringBuffer boundary;
    newMixedBoundary(boundary);
    m_charset = 0;
    m_header.setCodePage(0);
    m_name.clear();
    m_protocol.clear();
    m_micalg.clear();
    m_smimeType.clear();
    m_typeParam.clear();
    m_formatFlowed = false;
    setContentType("multipart/mixed", nullptr, nullptr, nullptr, 0, boundary.getString(), nullptr, nullptr);
    removeHeaderField("Content-Transfer-Encoding");
    appendPart(std::move(part));
}

// The part takes over the file bytes, so a large file is held once.
bool Email2::addAttachmentPart(AttachmentInfo& info, LogBase& log) {
    (void)log;
    auto part = createNewPart();
    part->setContentType(info.contentType.getString(), info.fileName.getString(), nullptr, nullptr, 0, nullptr,
                         nullptr, nullptr);
    part->setTransferEncoding(info.transferEncoding.getString());
    part->setDisposition("attachment", info.fileName.getString());
    part->m_body.swap(info.body);
    convertToMixed();
    appendPart(std::move(part));
    return true;
}

bool Email2::addFileAttachment(const char* path, StringBuffer& contentTypeOut, LogBase& log) {
    AttachmentInfo info;
    if (!AttachmentFile::prepare(path, nullptr, info, log)) return false;
    contentTypeOut.append(info.contentType);
    return addAttachmentPart(info, log);
}

void Email2::envelopeSender(StringBuffer& out) const {
    StringBuffer v;
    if (m_header.getValue("return-path", v)) stripAddress(v);
    if (v.isEmpty() && m_sender) {
        v.setString(m_sender->address());
        stripAddress(v);
    }
    if (v.isEmpty()) {
        StringBuffer from;
        ExtPtrArray list;
        if (m_header.getValue("from", from) && Rfc822Address::parseAddressList(from.getString(), list, false) > 0) {
            v.setString(list.at<Rfc822Address>(0)->address());
            stripAddress(v);
        }
        list.removeAllObjects();
    }
    if (v.isEmpty() && m_header.getValue("reply-to", v)) stripAddress(v);
    out.append(v);
}

void Email2::prepareForSending(LogBase& log) {
    (void)log;
    StringBuffer receipt;
    if (m_header.getValue("VMX-ReturnReceipt", receipt) && receipt.equals("YES")) {
        if (!m_header.hasField("Disposition-Notification-To") && m_sender) {
            StringBuffer v("<");
            v.append(m_sender->address());
            v.appendChar('>');
            m_header.replaceField("Disposition-Notification-To", v.getString());
        }
    }
    m_header.removeField("VMX-ReturnReceipt");
    m_header.removeField("Return-Path");
    StringBuffer bcc;
    if (m_header.getValue("VMX-Bcc", bcc) && !bcc.isEmpty()) m_header.replaceField("Bcc", bcc.getString());
    m_header.removeField("VMX-Bcc");
}

}  // namespace ostmail
