#include "email/Email2.h"

#include "core/Charset.h"
#include "core/LogBase.h"
#include "email/EmailDate.h"
#include "email/MailIdentifiers.h"
#include "email/MimeField.h"
#include "email/Rfc822Address.h"

#include <initializer_list>

namespace ostmail {

namespace {

const char kMailerText[] = "Ostmail 1.0";

bool beginsWithText(const StringBuffer& s) { return s.beginsWithIgnoreCase("text"); }

void endWithSemicolon(StringBuffer& v) {
    if (v.lastChar() != ';') v.appendChar(';');
}

void appendParam(StringBuffer& v, const char* name, const StringBuffer& value, bool quoted) {
    if (value.isEmpty()) return;
    endWithSemicolon(v);
    v.append("\r\n\t");
    v.append(name);
    v.appendChar('=');
    if (quoted) MimeField::appendQuoted(value.getString(), value.getSize(), v);
    else v.append(value);
    v.appendChar(';');
}

void removeCrLf(StringBuffer& s) {
    s.removeCharOccurrences('\r');
    s.removeCharOccurrences('\n');
}

}  // namespace

Email2::Email2() = default;

Email2::~Email2() {
    m_parts.removeAllObjects();
    m_to.removeAllObjects();
    m_cc.removeAllObjects();
    m_bcc.removeAllObjects();
}

std::unique_ptr<Email2> Email2::createNewEmail(LogBase& log) {
    (void)log;
    auto e = std::make_unique<Email2>();
    e->m_header.replaceField("MIME-Version", "1.0");
    StringBuffer date;
    EmailDate::currentDateText(date);
    e->setDate(date.getString());
    e->m_header.replaceField("X-Mailer", kMailerText);
    e->newMessageId();
    e->setContentType("text/plain", nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    e->setTransferEncoding("7bit");
    e->m_header.replaceField("X-Mailer", kMailerText);
    e->m_header.replaceField("X-Priority", "3 (Normal)");
    e->m_origin = kOriginNew;
    return e;
}

std::unique_ptr<Email2> Email2::createNewPart() {
    auto e = std::make_unique<Email2>();
    e->setContentType("text/plain", nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    e->setTransferEncoding("7bit");
    e->m_origin = kOriginNew;
    return e;
}

void Email2::newMessageId() {
    StringBuffer id;
    MailIdentifiers::newMessageId(id);
    m_header.replaceField("Message-ID", id.getString());
}

void Email2::copyFrom(const Email2& other, bool shareBodies) {
    if (shareBodies && !other.m_body.isEmpty()) m_body.borrow(other.m_body.getData(), other.m_body.getSize());
    else m_body = other.m_body;
    m_header.copyFrom(other.m_header);
    m_header.setCodePage(other.m_header.codePage());
    for (int32_t i = 0; i < other.numParts(); ++i) appendPart(other.partAt(i)->clone(shareBodies));
    for (RecipientKind k : {kTo, kCc, kBcc}) {
        for (int32_t i = 0; i < other.numRecipients(k); ++i) {
            Rfc822Address* a = other.list(k).at<Rfc822Address>(i)->clone();
            if (a) list(k).appendObject(a);
        }
    }
    m_pendingName = other.m_pendingName;
    if (other.m_sender) m_sender = std::make_unique<Rfc822Address>(*other.m_sender);
    m_date = other.m_date;
    m_contentType = other.m_contentType;
    m_disposition = other.m_disposition;
    m_transferEncoding = other.m_transferEncoding;
    m_contentId = other.m_contentId;
    m_name = other.m_name;
    m_protocol = other.m_protocol;
    m_micalg = other.m_micalg;
    m_smimeType = other.m_smimeType;
    m_typeParam = other.m_typeParam;
    m_boundary = other.m_boundary;
    m_filename = other.m_filename;
    m_charset = other.m_charset;
    m_formatFlowed = other.m_formatFlowed;
    m_defaultCharset = other.m_defaultCharset;
    m_origin = other.m_origin;
    sendSigned = other.sendSigned;
    sendEncrypted = other.sendEncrypted;
}

std::unique_ptr<Email2> Email2::clone(bool shareBodies) const {
    auto e = std::make_unique<Email2>();
    e->copyFrom(*this, shareBodies);
    return e;
}

// --- header fields ---

void Email2::setHeaderField(const char* name, const char* value, LogBase& log) {
    (void)log;
    if (!name) return;
    StringBuffer v(value ? value : "");
    removeCrLf(v);
    StringBuffer n(name);
    if (n.equalsIgnoreCase("Content-Transfer-Encoding")) setTransferEncoding(v.getString());
    else if (n.equalsIgnoreCase("Content-ID")) setContentId(v.getString());
    else if (n.equalsIgnoreCase("Date")) setDate(v.getString());
    else if (n.equalsIgnoreCase("From")) setFromFieldText(v.getString());
    else if (n.equalsIgnoreCase("Reply-To")) setReplyTo(v.getString());
    else m_header.replaceField(name, v.getString());
}

void Email2::removeHeaderField(const char* name) {
    if (!name) return;
    m_header.removeField(name);
    StringBuffer n(name);
    if (n.equalsIgnoreCase("to")) {
        m_to.removeAllObjects();
    } else if (n.equalsIgnoreCase("cc")) {
        m_cc.removeAllObjects();
    } else if (n.equalsIgnoreCase("content-type")) {
        for (StringBuffer* s : {&m_contentType, &m_name, &m_protocol, &m_micalg, &m_smimeType, &m_typeParam,
                                &m_boundary})
            s->clear();
        m_charset = 0;
        m_header.setCodePage(0);
    } else if (n.equalsIgnoreCase("content-disposition")) {
        m_disposition.clear();
        m_filename.clear();
    } else if (n.equalsIgnoreCase("content-transfer-encoding")) {
        m_transferEncoding.clear();
    } else if (n.equalsIgnoreCase("content-id")) {
        m_contentId.clear();
    } else if (n.equalsIgnoreCase("from")) {
        m_sender.reset();
        m_pendingName.clear();
    }
}

void Email2::setFromFieldText(const char* text) {
    std::unique_ptr<Rfc822Address> a(Rfc822Address::createByParsing(text));
    if (!a) {
        m_header.replaceField("From", text);
        return;
    }
    m_sender = std::move(a);
    rebuildFrom();
}

void Email2::setReplyTo(const char* text) {
    std::unique_ptr<Rfc822Address> a(Rfc822Address::createByParsing(text));
    if (!a) {
        m_header.replaceField("Reply-To", text);
        return;
    }
    StringBuffer v;
    a->toHeaderForm(v);
    m_header.replaceField("Reply-To", v.getString());
}

// --- content description ---

void Email2::setContentType(const char* type, const char* name, const char* protocol, const char* micalg,
                            uint32_t charset, const char* boundary, const char* smimeType,
                            const char* typeParam) {
    StringBuffer t(type ? type : "");
    t.trimWhitespace();
    if (t.isEmpty()) t.setString(m_contentType.isEmpty() ? "text/plain" : m_contentType.getString());
    m_contentType.setString(t);
    m_name.setString(name ? name : "");
    m_protocol.setString(protocol ? protocol : "");
    m_micalg.setString(micalg ? micalg : "");
    m_boundary.setString(boundary ? boundary : "");
    m_smimeType.setString(smimeType ? smimeType : "");
    m_typeParam.setString(typeParam ? typeParam : "");
    for (StringBuffer* s : {&m_name, &m_protocol, &m_micalg, &m_boundary, &m_smimeType, &m_typeParam}) {
        removeCrLf(*s);
    }
    StringBuffer v(t);
    bool textLike = beginsWithText(t) || beginsWithText(m_typeParam) || t.containsSubstringNoCase("multipart/signed") ||
                    t.beginsWithIgnoreCase("message");
    StringBuffer csName;
    if (textLike && charset != 0 && Charset::nameOfCodePage(charset, csName)) {
        v.append("; charset=\"");
        v.append(csName);
        v.append("\";");
        m_charset = charset;
        m_header.setCodePage(charset);
    } else {
        v.appendChar(';');
    }
    if (!m_typeParam.isEmpty() && !m_typeParam.containsSubstringNoCase("multipart")) {
        endWithSemicolon(v);
        v.append(" type=\"");
        v.append(m_typeParam);
        v.append("\";");
    }
    appendParam(v, "boundary", m_boundary, true);
    appendParam(v, "name", m_name, true);
    appendParam(v, "protocol", m_protocol, true);
    appendParam(v, "micalg", m_micalg, false);
    appendParam(v, "smime-type", m_smimeType, false);
    if (m_formatFlowed && t.equalsIgnoreCase("text/plain")) v.append("\r\n\tformat=flowed;");
    v.trimWhitespace();
    if (v.lastChar() == ';') v.shorten(1);
    m_header.replaceField("Content-Type", v.getString());
}

void Email2::rebuildContentType() {
    StringBuffer t(m_contentType), n(m_name), p(m_protocol), m(m_micalg), b(m_boundary), s(m_smimeType),
        tp(m_typeParam);
    setContentType(t.getString(), n.getString(), p.getString(), m.getString(), m_charset, b.getString(),
                   s.getString(), tp.getString());
}

void Email2::setCharset(uint32_t codePage) {
    m_charset = codePage;
    m_header.setCodePage(codePage);
    rebuildContentType();
}

void Email2::setTransferEncoding(const char* value) {
    m_transferEncoding.setString(value ? value : "");
    removeCrLf(m_transferEncoding);
    m_transferEncoding.trimWhitespace();
    m_header.replaceField("Content-Transfer-Encoding", m_transferEncoding.getString());
}

void Email2::setDisposition(const char* disposition, const char* filename) {
    m_disposition.setString(disposition ? disposition : "");
    m_filename.setString(filename ? filename : "");
    removeCrLf(m_disposition);
    removeCrLf(m_filename);
    StringBuffer v(m_disposition);
    if (!m_filename.isEmpty()) {
        v.append("; filename=");
        MimeField::appendQuoted(m_filename.getString(), m_filename.getSize(), v);
    }
    m_header.replaceField("Content-Disposition", v.getString());
}

void Email2::setContentId(const char* value) {
    m_contentId.setString(value ? value : "");
    removeCrLf(m_contentId);
    m_contentId.trimWhitespace();
    m_header.replaceField("Content-ID", m_contentId.getString());
}

void Email2::setDate(const char* text) {
    EmailDateValue v;
    if (text && EmailDate::parse(text, v)) m_date = v.unixTime;
    m_header.replaceField("Date", text);
}

// --- tree ---

void Email2::insertPart(int32_t index, std::unique_ptr<Email2> part) {
    if (part && m_parts.insertAt(index, part.get())) part.release();
}

void Email2::takePartsFrom(Email2& from) {
    while (from.numParts() > 0) {
        m_parts.appendPtr(from.m_parts.removeAt(0));
    }
}

Email2* Email2::firstLeaf() {
    for (int32_t i = 0; i < numParts(); ++i) {
        Email2* p = partAt(i);
        if (!p->isMultipart()) return p;
    }
    return nullptr;
}

uint32_t Email2::sizeEstimate() const {
    uint32_t n = m_header.sizeEstimate() + m_body.getSize();
    for (int32_t i = 0; i < numParts(); ++i) n += partAt(i)->sizeEstimate();
    if (sendSigned) n += 2000;
    if (sendEncrypted) n = static_cast<uint32_t>(static_cast<uint64_t>(n) * 100 / 80);
    return n;
}

}  // namespace ostmail
