#include "email/Rfc822Address.h"

#include "core/ContentCoding.h"
#include "email/MimeField.h"

#include <memory>
#include <new>
#include <string>
#include <unordered_set>

namespace ostmail {

namespace {

bool hasHighByte(const StringBuffer& sb) { return !sb.is7bit(); }

bool hasX400Marker(const StringBuffer& sb) {
    return sb.containsSubstring("C=") || sb.containsSubstring("O=") || sb.containsSubstring("CN=") ||
           sb.containsSubstring("P=");
}

// The first c outside a quoted string (a quoted name may hold an angle
// bracket), else the first c at all, else -1.
int32_t indexOutsideQuotes(const StringBuffer& sb, char c) {
    const char* p = sb.getString();
    bool quoted = false;
    for (uint32_t i = 0, n = sb.getSize(); i < n; ++i) {
        if (quoted && p[i] == '\\') ++i;
        else if (p[i] == '"') quoted = !quoted;
        else if (!quoted && p[i] == c) return static_cast<int32_t>(i);
    }
    return sb.indexOfChar(c);
}

// Header text must never carry a bare CR or LF: only the CRLF that starts a
// folded continuation (followed by TAB or space) is kept.
void appendHeaderSafe(const StringBuffer& s, StringBuffer& out) {
    const char* p = s.getString();
    const uint32_t n = s.getSize();
    uint32_t run = 0;  // start of the pending run of plain bytes
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] != '\r' && p[i] != '\n') continue;
        const bool fold = p[i] == '\r' && i + 2 < n && p[i + 1] == '\n' && (p[i + 2] == '\t' || p[i + 2] == ' ');
        if (fold) {
            ++i;
            continue;
        }
        if (i > run) out.appendN(p + run, i - run);
        run = i + 1;
    }
    if (n > run) out.appendN(p + run, n - run);
}

// Address clean-up: cut to the text inside the angle brackets; drop spaces
// unless the local part is quoted. CR and LF never belong in an address.
void cleanAddress(StringBuffer& addr) {
    if (addr.containsChar('<')) addr.dropThroughChar('<', true);
    if (addr.containsChar('>')) addr.cutAfterLastChar('>', true);
    if (!addr.containsChar('"')) addr.removeCharOccurrences(' ');
    addr.removeCharOccurrences('\r');
    addr.removeCharOccurrences('\n');
}

std::string asciiLower(const StringBuffer& sb) {
    std::string s(sb.getString(), sb.getSize());
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return s;
}

}  // namespace

Rfc822Address::Rfc822Address() = default;

Rfc822Address::Rfc822Address(const char* name, const char* address) {
    m_valid = 1;
    m_name.append(name);
    if (m_name.containsSubstring("?8bit?")) decode8bitMarker(m_name);
    if (hasIso2022JpEscape(m_name)) encodeJapaneseName(m_name, "iso-2022-jp");

    m_address.append(address);
    cleanAddress(m_address);

    if (name) {
        m_fullText.appendChar('"');
        m_fullText.append(name);
        m_fullText.append("\" <");
        m_fullText.append(address);
        m_fullText.appendChar('>');
    } else {
        m_fullText.append(address);
    }
    m_name.trim();
    m_address.trim();
    if (m_address.equals(m_name)) m_name.clear();
}

Rfc822Address::Rfc822Address(const Rfc822Address& other) : Rfc822ParseHelp(), VelmoraObject(other) {
    copyFrom(other);
}

Rfc822Address& Rfc822Address::operator=(const Rfc822Address& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

void Rfc822Address::copyFrom(const Rfc822Address& other) {
    if (this == &other) return;
    m_valid = other.m_valid;
    m_fullText.setString(other.m_fullText);
    m_name.setString(other.m_name);
    m_address.setString(other.m_address);
}

Rfc822Address* Rfc822Address::clone() const {
    Rfc822Address* copy = new (std::nothrow) Rfc822Address();
    if (copy) copy->copyFrom(*this);
    return copy;
}

void Rfc822Address::reset() {
    m_valid = 0;
    m_fullText.clear();
    m_name.clear();
    m_address.clear();
}

void Rfc822Address::setFriendlyName(const char* name) { m_name.setString(name ? name : ""); }

void Rfc822Address::setAddress(const char* address) {
    m_address.setString(address ? address : "");
    cleanAddress(m_address);
    m_address.trim();
}

bool Rfc822Address::parse(const char* text) {
    reset();
    if (!text || !*text || isUndisclosed(text)) return false;
    m_fullText.append(text);
    m_fullText.trim();
    if (parseX400(m_fullText)) return true;
    parseGeneral(m_fullText);
    return isValid();
}

// X.400 addresses carry '=' attributes and no '@'; they are taken whole.
bool Rfc822Address::parseX400(const StringBuffer& text) {
    if (!hasX400Marker(text)) return false;
    const int32_t lt = indexOutsideQuotes(text, '<');
    if (lt < 0) {
        m_address.setString(text);
    } else {
        m_name.setString(text.getString(), static_cast<uint32_t>(lt));
        m_address.setString(text.getString() + lt + 1);
        m_address.truncateAtChar('>');
        m_name.removeCharOccurrences('<');
        m_name.removeCharOccurrences('>');
        m_name.removeCharOccurrences('"');
        m_address.removeCharOccurrences('<');
        m_name.trimWhitespace();
        m_address.trimWhitespace();
    }
    m_address.removeCharOccurrences('\r');
    m_address.removeCharOccurrences('\n');
    m_valid = 1;
    return true;
}

void Rfc822Address::parseGeneral(const StringBuffer& text) {
    const char* s = text.getString();
    const int32_t n = static_cast<int32_t>(text.getSize());
    if (n == 0) return;
    int32_t pivot = text.lastIndexOfChar('@');
    if (pivot < 0) pivot = n >= 2 ? n - 2 : 0;

    int32_t start = pivot;
    while (start > 0 && s[start - 1] != ' ' && s[start - 1] != '<') --start;
    int32_t end = pivot + 1;
    while (end < n && s[end] != ' ' && s[end] != '>') ++end;
    m_address.setString(s + start, static_cast<uint32_t>(end - start));
    m_valid = 1;

    const bool hadNameStretch = start > 0;
    if (hadNameStretch) {
        int32_t p = 0;
        while (p < start && (s[p] == '"' || s[p] == '\'')) ++p;
        int32_t e = p;
        while (e < start && s[e] != '"') e += s[e] == '\\' && e + 1 < start ? 2 : 1;
        const bool closed = e < start;
        if (e > start) e = start;
        while (!closed && e > p) {
            const char c = s[e - 1];
            if (c == '<' || c == ' ' || c == '\'') {
                --e;
            } else {
                if (c == '"') --e;
                break;
            }
        }
        // A quoted name is kept without its escapes, so it is escaped once on output.
        if (p > 0 && s[p - 1] == '"') {
            for (int32_t i = p; i < e; ++i) m_name.appendChar(s[i] == '\\' && i + 1 < e ? s[++i] : s[i]);
        } else {
            m_name.setString(s + p, static_cast<uint32_t>(e - p));
        }
        m_name.trim();
        if (m_name.equals(m_address)) m_name.clear();
    }
    finishParsedName(hadNameStretch);
}

void Rfc822Address::finishParsedName(bool hadNameStretch) {
    if (m_name.containsSubstring("?8bit?")) decode8bitMarker(m_name);
    if (hadNameStretch) m_address.removeCharOccurrences(' ');
    m_address.removeCharOccurrences('"');
    m_address.removeCharOccurrences('\r');
    m_address.removeCharOccurrences('\n');

    if (hasHighByte(m_name)) {
        StringBuffer word;
        ContentCoding coder;
        if (coder.encodeHeaderWord(m_name.getString(), m_name.getSize(), "utf-8", word)) m_name.swap(word);
    } else if (hasIso2022JpEscape(m_name)) {
        encodeJapaneseName(m_name, "iso-2022-jp");
    }
}

Rfc822Address* Rfc822Address::createByParsing(const char* text) {
    std::unique_ptr<Rfc822Address> addr(new (std::nothrow) Rfc822Address());
    if (!addr || !addr->parse(text)) return nullptr;
    return addr.release();
}

int Rfc822Address::parseAddressList(const char* text, ExtPtrArray& out, bool dropDuplicates) {
    if (!text) return 0;
    StringBuffer list(text);
    list.trim();
    unfold(list);

    // Addresses already in out count as seen; a set keeps long lists linear.
    std::unordered_set<std::string> seen;
    if (dropDuplicates) {
        for (int32_t j = 0; j < out.getSize(); ++j) seen.insert(asciiLower(out.at<Rfc822Address>(j)->m_address));
    }
    ExtPtrArray pieces;
    splitQuoteAware(list.getString(), list.getSize(), ',', pieces);
    int count = 0;
    for (int32_t i = 0; i < pieces.getSize(); ++i) {
        std::unique_ptr<Rfc822Address> addr(createByParsing(pieces.at<StringBuffer>(i)->getString()));
        if (!addr) continue;
        ++count;
        if (dropDuplicates && !seen.insert(asciiLower(addr->m_address)).second) continue;
        if (out.appendObject(addr.get())) addr.release();
    }
    pieces.removeAllObjects();
    return count;
}

void Rfc822Address::toHeaderForm(StringBuffer& out) const {
    if (!m_name.isEmpty()) {
        // A quote in the name is escaped: it must not end the name and let
        // the rest of the name pass for the address.
        StringBuffer name;
        appendHeaderSafe(m_name, name);
        MimeField::appendQuoted(name.getString(), name.getSize(), out);
        out.append(" <");
        appendHeaderSafe(m_address, out);
        out.appendChar('>');
    } else if (m_address.containsChar(' ')) {
        out.appendChar('<');
        appendHeaderSafe(m_address, out);
        out.appendChar('>');
    } else {
        appendHeaderSafe(m_address, out);
    }
}

void Rfc822Address::toDisplayForm(StringBuffer& out) const {
    if (m_name.isEmpty()) {
        appendHeaderSafe(m_address, out);
        return;
    }
    StringBuffer name(m_name);
    if (name.containsSubstringNoCase("?Q?") || name.containsSubstringNoCase("?B?")) {
        ContentCoding::decodeWordsToUtf8(name);
    }
    out.appendChar('"');
    appendHeaderSafe(name, out);
    out.append("\" <");
    appendHeaderSafe(m_address, out);
    out.appendChar('>');
}

StringBuffer* Rfc822Address::toPlainForm() const {
    StringBuffer* sb = new (std::nothrow) StringBuffer();
    if (!sb) return nullptr;
    if (m_name.isEmpty()) {
        appendHeaderSafe(m_address, *sb);
    } else {
        toHeaderForm(*sb);
    }
    return sb;
}

bool Rfc822Address::replaceInAll(const char* find, const char* repl) {
    if (!find || !*find) return false;
    const char* with = repl ? repl : "";
    uint32_t n = m_fullText.replaceAllOccurrences(find, with);
    n += m_name.replaceAllOccurrences(find, with);
    n += m_address.replaceAllOccurrences(find, with);
    return n > 0;
}

void Rfc822Address::formatList(const ExtPtrArray& list, bool display, StringBuffer& out) {
    bool first = true;
    for (int32_t i = 0; i < list.getSize(); ++i) {
        const Rfc822Address* addr = list.at<Rfc822Address>(i);
        if (!addr) continue;
        StringBuffer one;
        if (display) {
            addr->toDisplayForm(one);
        } else {
            addr->toHeaderForm(one);
        }
        if (one.isEmpty()) continue;
        if (!first) out.append(", ");
        out.append(one);
        first = false;
    }
}

}  // namespace ostmail
