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

void MimeField::appendQuoted(const char* value, size_t n, StringBuffer& out) {
    out.appendChar('"');
    for (size_t i = 0; i < n; ++i) {
        if (value[i] == '"' || value[i] == '\\') out.appendChar('\\');
        out.appendChar(value[i]);
    }
    out.appendChar('"');
}

void MimeField::unquote(const char* value, size_t n, StringBuffer& out) {
    size_t b = 0, e = n;
    while (b < e && (value[b] == ' ' || value[b] == '\t')) ++b;
    while (e > b && (value[e - 1] == ' ' || value[e - 1] == '\t')) --e;
    if (b == e || value[b] != '"') {
        out.appendN(value + b, e - b);
        return;
    }
    for (size_t i = b + 1; i < e && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < e) ++i;
        out.appendChar(value[i]);
    }
}

size_t MimeField::stepQuoted(const char* s, size_t n, size_t i, bool& inQuotes) {
    if (s[i] == '"') inQuotes = !inQuotes;
    else if (inQuotes && s[i] == '\\' && i + 1 < n) return i + 2;
    return i + 1;
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
