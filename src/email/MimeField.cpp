#include "email/MimeField.h"

#include "core/ContentCoding.h"
#include "email/Rfc822Address.h"
#include "core/ExtPtrArray.h"

#include <cstring>

namespace ostmail {

namespace {

bool hasEncodedWordMarker(const StringBuffer& v) {
    return v.containsSubstringNoCase("?Q?") || v.containsSubstringNoCase("?B?");
}

bool isAddressField(const StringBuffer& name) {
    return name.equalsIgnoreCase("to") || name.equalsIgnoreCase("cc") || name.equalsIgnoreCase("from");
}

}  // namespace

void MimeField::unfold(StringBuffer& value) {
    if (!value.containsChar('\n') && !value.containsChar('\r')) return;
    value.replaceAllOccurrences("\r\n\t", "");
    value.replaceAllOccurrences("\r\n ", "");
    value.removeCharOccurrences('\r');
    value.removeCharOccurrences('\n');
}

void MimeField::setValue(const char* value) {
    m_value.setString(value ? value : "");
    if (hasEncodedWordMarker(m_value)) ContentCoding::decodeWordsToUtf8(m_value);
    unfold(m_value);
}

void MimeField::set(const char* name, const char* value) {
    m_name.setString(name ? name : "");
    setValue(value);
    m_noFold = m_name.equalsIgnoreCase("user-agent") || m_name.equalsIgnoreCase("accept") ||
               m_name.equalsIgnoreCase("accept-charset");
}

// Address lists are split before their words are decoded, so that a comma
// inside a decoded display name cannot split a mailbox in two.
void MimeField::parseAddressValue(const char* raw) {
    StringBuffer decoded(raw);
    bool hadComma = false;
    if (hasEncodedWordMarker(decoded)) ContentCoding::decodeWordsForAddressList(decoded, hadComma);
    ExtPtrArray list;
    Rfc822Address::parseAddressList(decoded.getString(), list, false);
    StringBuffer out;
    for (int32_t i = 0; i < list.getSize(); ++i) {
        Rfc822Address* a = list.at<Rfc822Address>(i);
        StringBuffer name(a->friendlyName());
        if (hadComma) name.replaceAllOccurrences("_COMMA_", ",");
        if (i > 0) out.appendChar(',');
        bool quote = name.containsChar(',') || name.containsChar(' ');
        if (!name.isEmpty()) {
            if (quote) out.appendChar('"');
            out.append(name);
            if (quote) out.appendChar('"');
            out.appendChar(' ');
        }
        out.appendChar('<');
        out.append(a->address());
        out.appendChar('>');
    }
    list.removeAllObjects();
    m_value.setString(out);
    unfold(m_value);
}

bool MimeField::parseLine(const char* line) {
    if (!line) return false;
    const char* colon = std::strchr(line, ':');
    if (!colon) return false;
    m_name.setString(line, static_cast<size_t>(colon - line));
    m_name.trim();
    for (char* p = m_name.getMutable(); *p; ++p) {
        if (*p == ' ' || *p == '<' || *p == '>' || *p == '"' || *p == '\'') *p = '-';
    }
    const char* v = colon + 1;
    if (*v == ' ' || *v == '\t') ++v;
    StringBuffer raw(v);
    raw.trimWhitespace();
    if (isAddressField(m_name) && hasEncodedWordMarker(raw)) {
        parseAddressValue(raw.getString());
    } else {
        setValue(raw.getString());
    }
    if (m_name.equalsIgnoreCase("to") || m_name.equalsIgnoreCase("cc")) m_value.replaceChar(';', ',');
    m_noFold = m_name.equalsIgnoreCase("user-agent") || m_name.equalsIgnoreCase("accept") ||
               m_name.equalsIgnoreCase("accept-charset");
    return true;
}

std::unique_ptr<MimeField> MimeField::clone() const {
    auto f = std::make_unique<MimeField>();
    f->m_noFold = m_noFold;
    f->m_name = m_name;
    f->m_value = m_value;
    return f;
}

void MimeField::emitPlain(StringBuffer& out) const {
    out.append(m_name);
    out.append(": ");
    out.append(m_value);
}

}  // namespace ostmail
