// Email2: inline files beside the HTML body, in multipart/related (RFC 2387).
#include "core/LogBase.h"
#include "email/AttachmentFile.h"
#include "email/Email2.h"
#include "email/MailIdentifiers.h"

namespace ostmail {

// The HTML body as a leaf of this node, the alternative under it, or a
// related node already made for it; null when there is none.
Email2* Email2::htmlForRelated() {
    if (contentTypeIs("multipart/related") || (contentTypeIs("text/html") && !isMultipart())) return this;
    if (!contentTypeIs("multipart/alternative") && !contentTypeIs("multipart/mixed")) return nullptr;
    for (int32_t i = 0; i < numParts(); ++i)
        if (Email2* found = partAt(i)->htmlForRelated()) return found;
    return nullptr;
}

// A leaf becomes multipart/related with the leaf's content as its first part.
void Email2::makeRelated() {
    auto html = createNewPart();
    html->copyContentFieldsFrom(*this);
    html->setTransferEncoding(m_transferEncoding.getString());
    html->m_body.swap(m_body);
    m_header.removeField("Content-Transfer-Encoding");
    m_transferEncoding.clear();
    StringBuffer boundary;
    MailIdentifiers::newBoundary(boundary);
    m_charset = 0;
    m_header.setCodePage(0);
    setContentType("multipart/related", nullptr, nullptr, nullptr, 0, boundary.getString(), nullptr, "text/html");
    appendPart(std::move(html));
}

bool Email2::addRelatedFile(const char* path, const char* contentId, LogBase& log) {
    Email2* html = htmlForRelated();
    if (!html) {
        log.LogError("An inline file needs an HTML body.");
        return false;
    }
    AttachmentInfo info;
    if (!AttachmentFile::prepare(path, nullptr, info, log)) return false;
    if (!html->contentTypeIs("multipart/related")) html->makeRelated();
    auto part = createNewPart();
    part->setContentType(info.contentType.getString(), info.fileName.getString(), nullptr, nullptr, 0, nullptr,
                         nullptr, nullptr);
    part->setTransferEncoding(info.transferEncoding.getString());
    part->setDisposition("inline", info.fileName.getString());
    StringBuffer id("<");
    id.append(contentId);
    id.appendChar('>');
    part->setContentId(id.getString());
    part->m_body.swap(info.body);
    html->appendPart(std::move(part));
    return true;
}

}  // namespace ostmail
