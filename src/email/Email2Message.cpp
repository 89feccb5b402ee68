// Message-level operations of Email2: body, subject, sender, recipients.
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "email/Email2.h"
#include "email/Rfc822Address.h"
#include "email/TextCharset.h"

#include <cstring>

namespace ostmail {

namespace {

bool has8bit(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) return true;
    }
    return false;
}

bool convertsTo(uint32_t cp, const void* utf8, size_t n) {
    EncodingConvert conv;
    LogNull quiet;
    DataBuffer out;
    return conv.convert(65001, cp, utf8, n, out, quiet);
}

void trimAll(StringBuffer& s) { s.trimWhitespace(); }

}  // namespace

ExtPtrArray& Email2::list(RecipientKind kind) { return kind == kTo ? m_to : kind == kCc ? m_cc : m_bcc; }

const ExtPtrArray& Email2::list(RecipientKind kind) const {
    return kind == kTo ? m_to : kind == kCc ? m_cc : m_bcc;
}

const Rfc822Address* Email2::recipientAt(RecipientKind kind, int32_t i) const {
    return list(kind).at<Rfc822Address>(i);
}

void Email2::recipientAddresses(RecipientKind kind, ExtPtrArray& out) const {
    const ExtPtrArray& l = list(kind);
    for (int32_t i = 0; i < l.getSize(); ++i) out.appendObject(new StringBuffer(l.at<Rfc822Address>(i)->address()));
}

void Email2::clearRecipients(RecipientKind kind) {
    list(kind).removeAllObjects();
    if (kind != kBcc) m_header.removeField(kind == kTo ? "To" : "Cc");
}

void Email2::chooseCharsetFromText(const char* utf8, size_t n) {
    setCharset(TextCharset::choose(utf8, n));
}

void Email2::setBodyText(const char* utf8, size_t n, LogBase& log) {
    if (m_charset == 0 && n > 0) chooseCharsetFromText(utf8, n);
    if (m_contentType.equalsIgnoreCase("text/html")) {
        m_contentType.setString("text/plain");
        rebuildContentType();
    }
    setBodyBytes(utf8, n, log);
}

// Charset of a non-ASCII body that the script choice left open: the header's
// code page, ISO-8859-1 or ISO-8859-2 when the text fits, else UTF-8.
void Email2::chooseCharsetForBytes(const void* data, size_t n) {
    uint32_t cp = m_header.codePage();
    if (cp != 0 && convertsTo(cp, data, n)) setCharset(cp);
    else if (convertsTo(28591, data, n)) setCharset(28591);
    else if (convertsTo(28592, data, n)) setCharset(28592);
    else setCharset(65001);
}

Email2* Email2::setBodyBytes(const void* data, size_t n, LogBase& log) {
    if (m_charset == 0 && has8bit(static_cast<const char*>(data), n)) chooseCharsetForBytes(data, n);
    if (contentTypeIs("multipart/alternative")) return applyBodyToAlternative("text/plain", data, n, log);
    if (!isMultipart()) {
        setTransferEncoding("quoted-printable");
        DataBuffer fresh;  // never write into memory a sending copy borrowed
        fresh.append(data, n);
        m_body.swap(fresh);
        return this;
    }
    if (contentTypeIs("multipart/mixed") || contentTypeIs("multipart/related")) {
        return partAt(0)->setBodyBytes(data, n, log);
    }
    return setTextBodyOnPart(data, n, log);
}

Email2* Email2::setTextBodyOnPart(const void* data, size_t n, LogBase& log) {
    Email2* leaf = firstLeaf();
    if (leaf) return leaf->setBodyBytes(data, n, log);
    auto part = createNewPart();
    Email2* target = part->setBodyBytes(data, n, log);
    insertPart(0, std::move(part));
    return target;
}

// The alternative of that type gets the body; a new text/plain one goes
// first, any other type last.
Email2* Email2::applyBodyToAlternative(const char* type, const void* data, size_t n, LogBase& log) {
    for (int32_t i = 0; i < numParts(); ++i) {
        Email2* p = partAt(i);
        if (p->contentTypeIs(type)) return p->setBodyBytes(data, n, log);
    }
    auto part = createNewPart();
    part->setContentType(type, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    Email2* target = part->setBodyBytes(data, n, log);
    insertPart(StringBuffer(type).equalsIgnoreCase("text/plain") ? 0 : numParts(), std::move(part));
    return target;
}

void Email2::setSubject(const char* utf8) {
    StringBuffer s(utf8 ? utf8 : "");
    s.removeCharOccurrences('\r');
    s.removeCharOccurrences('\n');
    if (m_charset == 0 && !s.isEmpty()) chooseCharsetFromText(s.getString(), s.getSize());
    m_header.replaceField("Subject", s.getString());
}

void Email2::rebuildFrom() {
    if (!m_sender) return;
    StringBuffer v;
    m_sender->toHeaderForm(v);
    m_header.replaceField("From", v.getString());
}

void Email2::setFromName(const char* utf8) {
    StringBuffer name(utf8 ? utf8 : "");
    trimAll(name);
    if (m_charset == 0 && has8bit(name.getString(), name.getSize()))
        chooseCharsetFromText(name.getString(), name.getSize());
    name.removeCharOccurrences('\r');
    name.removeCharOccurrences('\n');
    if (m_sender) {
        m_sender->setFriendlyName(name.getString());
        rebuildFrom();
    } else {
        m_pendingName.setString(name);
    }
}

void Email2::setFromAddress(const char* utf8) {
    StringBuffer addr(utf8 ? utf8 : "");
    trimAll(addr);
    addr.removeCharOccurrences('\r');
    addr.removeCharOccurrences('\n');
    if (!addr.containsChar('@')) return;
    if (!m_sender) {
        const char* name = m_pendingName.isEmpty() ? nullptr : m_pendingName.getString();
        m_sender = std::make_unique<Rfc822Address>(name, addr.getString());
    } else {
        m_sender->setAddress(addr.getString());
    }
    rebuildFrom();
    if (!m_header.hasField("return-path")) m_header.replaceField("Return-Path", m_sender->address().getString());
}

void Email2::rebuildRecipientField(RecipientKind kind) {
    if (kind == kBcc) return;
    const ExtPtrArray& l = list(kind);
    FormattedList& f = kind == kTo ? m_toText : m_ccText;
    if (l.getSize() > 0 && f.count == l.getSize() - 1) {
        StringBuffer one;
        l.at<Rfc822Address>(l.getSize() - 1)->toHeaderForm(one);
        if (!one.isEmpty() && !f.text.isEmpty()) f.text.append(", ");
        f.text.append(one);
    } else {
        f.text.clear();
        Rfc822Address::formatList(l, false, f.text);
    }
    f.count = l.getSize();
    m_header.replaceField(kind == kTo ? "To" : "Cc", f.text.getString());
}

bool Email2::addRecipient(RecipientKind kind, const char* name, const char* address, LogBase& log) {
    if (!appendRecipient(kind, name, address, log)) return false;
    rebuildRecipientField(kind);
    return true;
}

bool Email2::addRecipients(RecipientKind kind, const std::vector<std::pair<std::string, std::string>>& people,
                           LogBase& log) {
    bool ok = true;
    for (size_t i = 0; i < people.size() && ok; ++i)
        ok = appendRecipient(kind, people[i].first.c_str(), people[i].second.c_str(), log);
    if (!people.empty()) rebuildRecipientField(kind);
    return ok;
}

bool Email2::appendRecipient(RecipientKind kind, const char* nameIn, const char* addressIn, LogBase& log) {
    StringBuffer name(nameIn ? nameIn : ""), address(addressIn ? addressIn : "");
    trimAll(name);
    trimAll(address);
    name.removeCharOccurrences('\r');
    name.removeCharOccurrences('\n');
    address.removeCharOccurrences('\r');
    address.removeCharOccurrences('\n');
    if (kind != kBcc && m_charset == 0 && has8bit(name.getString(), name.getSize()))
        chooseCharsetFromText(name.getString(), name.getSize());
    log.LogDataSb("name", name);
    log.LogDataSb("address", address);
    if (address.isEmpty()) {
        log.LogError("No Email Address was provided");
        return false;
    }
    auto a = std::make_unique<Rfc822Address>(name.getString(), address.getString());
    if (!a->isValid() || !list(kind).appendObject(a.get())) {
        StringBuffer msg;
        msg.appendFormat("Invalid email address: name = [%s], address = [%s]", name.getString(), address.getString());
        log.LogError(msg.getString());
        return false;
    }
    a.release();
    return true;
}

}  // namespace ostmail
