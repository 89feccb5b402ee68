// Email2: HTML bodies and multipart/alternative.
#include "core/Charset.h"
#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "email/Email2.h"
#include "email/HtmlCharset.h"
#include "email/MailIdentifiers.h"

#include <initializer_list>

namespace ostmail {

void Email2::setHtmlBody(const char* utf8, size_t n, LogBase& log) {
    DataBuffer html;
    html.append(utf8, n);
    StringBuffer name;
    if (m_charset == 0 || !Charset::nameOfCodePage(m_charset, name)) name.setString("utf-8");
    HtmlCharset::ensureDeclared(html, name.getString());
    Email2* leaf = setBodyBytes(html.getData(), html.getSize(), log);
    leaf->m_contentType.setString("text/html");
    leaf->rebuildContentType();
    if (leaf->m_charset != 0) leaf->setCharset(leaf->m_charset);
    else leaf->setTransferEncoding("quoted-printable");
    if (contentTypeIs("multipart/related") && numParts() > 0 && partAt(0)->contentType().beginsWithIgnoreCase("text")) {
        m_typeParam.setString("text/html");
        rebuildContentType();
    }
}

// The root, or the first part of a multipart/mixed root; inside a
// multipart/related node its first part.
Email2* Email2::alternativeTarget() {
    Email2* t = this;
    if (contentTypeIs("multipart/mixed") && numParts() > 0) t = partAt(0);
    if (t->contentTypeIs("multipart/related") && t->numParts() > 0) {
        t->m_typeParam.setString("multipart/alternative");
        t->rebuildContentType();
        t = t->partAt(0);
    }
    return t;
}

void Email2::convertToAlternative() {
    auto part = createNewPart();
    if (m_contentType.isEmpty()) m_contentType.setString("text/plain");
    part->copyContentFieldsFrom(*this);
    if (!m_transferEncoding.isEmpty()) part->setTransferEncoding(m_transferEncoding.getString());
    if (isMultipart()) part->takePartsFrom(*this);
    else part->m_body.swap(m_body);
    StringBuffer boundary;
    MailIdentifiers::newBoundary(boundary);
    boundary.append("_.ALT");
    m_charset = 0;
    m_header.setCodePage(0);
    for (StringBuffer* s : {&m_name, &m_protocol, &m_micalg, &m_smimeType, &m_typeParam}) s->clear();
    m_formatFlowed = false;
    setContentType("multipart/alternative", nullptr, nullptr, nullptr, 0, boundary.getString(), nullptr, nullptr);
    removeHeaderField("Content-Transfer-Encoding");
    appendPart(std::move(part));
}

void Email2::addAlternativeBody(const char* contentType, const char* utf8, size_t n, LogBase& log) {
    StringBuffer type(contentType ? contentType : "text/plain");
    type.trimWhitespace();
    Email2* target = alternativeTarget();
    if (!target->contentTypeIs("multipart/alternative")) target->convertToAlternative();
    target->applyBodyToAlternative(type.getString(), utf8, n, log);
}

}  // namespace ostmail
