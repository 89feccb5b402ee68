#include "email/MimeHeader.h"

#include "email/HeaderEncoder.h"

#include <cctype>
#include <cstring>
#include <memory>

namespace ostmail {

namespace {

bool trimmedEmpty(const char* value) {
    if (!value) return true;
    for (const char* p = value; *p; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
    }
    return true;
}

bool neverMerged(const StringBuffer& name) {
    static const char* const kNames[] = {"content-type", "content-transfer-encoding", "received",
                                         "message-id",   "content-disposition",       "content-id"};
    for (const char* n : kNames) {
        if (name.equalsIgnoreCase(n)) return true;
    }
    return false;
}

// Splits at sep outside double quotes; a backslash protects the next byte.
void splitQuoted(const char* s, char sep, ExtPtrArray& pieces) {
    auto piece = std::make_unique<StringBuffer>();
    bool inQuotes = false;
    for (const char* p = s; *p; ++p) {
        if (*p == '\\' && p[1]) {
            piece->appendN(p, 2);
            ++p;
            continue;
        }
        if (*p == '"') inQuotes = !inQuotes;
        if (*p == sep && !inQuotes) {
            pieces.appendObject(piece.release());
            piece = std::make_unique<StringBuffer>();
            continue;
        }
        piece->appendChar(*p);
    }
    pieces.appendObject(piece.release());
}

bool globMatch(const char* s, const char* pat, bool cs) {
    while (*pat) {
        if (*pat == '*') {
            while (*pat == '*') ++pat;
            if (!*pat) return true;
            for (const char* t = s; *t; ++t) {
                if (globMatch(t, pat, cs)) return true;
            }
            return false;
        }
        if (!*s) return false;
        unsigned char a = static_cast<unsigned char>(*s), b = static_cast<unsigned char>(*pat);
        if (cs ? a != b : std::tolower(a) != std::tolower(b)) return false;
        ++s;
        ++pat;
    }
    return *s == 0;
}

}  // namespace

MimeHeader::~MimeHeader() { m_fields.removeAllObjects(); }

bool MimeHeader::validName(const char* name) {
    if (!name || !*name) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (*p <= 0x20 || *p == ':' || *p == 0x7F) return false;
    }
    return true;
}

bool MimeHeader::nameAt(int32_t i, StringBuffer& out) const {
    const MimeField* f = fieldAt(i);
    return f && out.append(f->name());
}

bool MimeHeader::valueAt(int32_t i, StringBuffer& out) const {
    const MimeField* f = fieldAt(i);
    if (!f) return false;
    out.append(f->value());
    return true;
}

const MimeField* MimeHeader::findField(const char* name) const {
    if (!name || !*name) return nullptr;
    for (int32_t i = 0; i < count(); ++i) {
        const MimeField* f = fieldAt(i);
        if (f && f->nameEquals(name)) return f;
    }
    return nullptr;
}

bool MimeHeader::hasField(const char* name) const { return findField(name) != nullptr; }

bool MimeHeader::getValue(const char* name, StringBuffer& out) const {
    const MimeField* f = findField(name);
    if (!f) return false;
    out.append(f->value());
    return true;
}

bool MimeHeader::appendField(const char* name, const char* value) {
    auto f = std::make_unique<MimeField>();
    f->set(name, value);
    if (f->value().isEmpty()) return false;
    return m_fields.appendObject(f.release());
}

bool MimeHeader::replaceField(const char* name, const char* value) {
    if (!validName(name)) return false;
    removeField(name);
    if (trimmedEmpty(value)) return true;
    return appendField(name, value);
}

bool MimeHeader::addField(const char* name, const char* value) {
    if (!validName(name) || trimmedEmpty(value)) return false;
    return appendField(name, value);
}

bool MimeHeader::addParsedLine(const char* line) {
    auto f = std::make_unique<MimeField>();
    if (!f->parseLine(line) || !validName(f->name().getString())) return false;
    return m_fields.appendObject(f.release());
}

void MimeHeader::removeField(const char* name) {
    if (!name || !*name) return;
    for (int32_t i = count() - 1; i >= 0; --i) {
        if (fieldAt(i)->nameEquals(name)) delete static_cast<VelmoraObject*>(m_fields.removeAt(i));
    }
}

void MimeHeader::removeEmptyFields() {
    for (int32_t i = count() - 1; i >= 0; --i) {
        if (trimmedEmpty(fieldAt(i)->value().getString())) delete static_cast<VelmoraObject*>(m_fields.removeAt(i));
    }
}

void MimeHeader::removeAllButContentFields() {
    for (int32_t i = count() - 1; i >= 0; --i) {
        const MimeField* f = fieldAt(i);
        if (f->nameEquals("content-type") || f->nameEquals("content-disposition") ||
            f->nameEquals("content-transfer-encoding"))
            continue;
        delete static_cast<VelmoraObject*>(m_fields.removeAt(i));
    }
}

void MimeHeader::mergeDuplicates(const char* name) {
    int32_t first = -1;
    StringBuffer joined;
    for (int32_t i = 0; i < count(); ++i) {
        if (!fieldAt(i)->nameEquals(name)) continue;
        if (first < 0) first = i;
        else joined.appendChar(',');
        joined.append(fieldAt(i)->value());
    }
    if (first < 0) return;
    StringBuffer fieldName(fieldAt(first)->name());
    for (int32_t i = count() - 1; i > first; --i) {
        if (fieldAt(i)->nameEquals(name)) delete static_cast<VelmoraObject*>(m_fields.removeAt(i));
    }
    m_fields.at<MimeField>(first)->set(fieldName.getString(), joined.getString());
}

void MimeHeader::copyFrom(const MimeHeader& other) {
    if (&other == this) return;
    clear();
    m_codePage = 0;
    for (int32_t i = 0; i < other.count(); ++i) m_fields.appendObject(other.fieldAt(i)->clone().release());
}

void MimeHeader::mergeFrom(const MimeHeader& other) {
    if (&other == this) return;
    for (int32_t i = 0; i < other.count(); ++i) {
        const MimeField* f = other.fieldAt(i);
        if (neverMerged(f->name()) || hasField(f->name().getString())) continue;
        m_fields.appendObject(f->clone().release());
    }
}

bool MimeHeader::getParam(const char* name, const char* param, StringBuffer& out) const {
    const MimeField* f = findField(name);
    if (!f || !param) return false;
    ExtPtrArray pieces;
    splitQuoted(f->value().getString(), ';', pieces);
    bool found = false;
    for (int32_t i = 0; i < pieces.getSize() && !found; ++i) {
        StringBuffer* piece = pieces.at<StringBuffer>(i);
        int32_t eq = piece->indexOfChar('=');
        if (eq < 0) continue;
        StringBuffer key(piece->getString(), static_cast<size_t>(eq));
        key.trimWhitespace();
        if (!key.equalsIgnoreCase(param)) continue;
        MimeField::unquote(piece->getString() + eq + 1, piece->getSize() - eq - 1, out);
        found = true;
    }
    pieces.removeAllObjects();
    return found;
}

bool MimeHeader::valueMatches(const char* name, const char* pattern, bool caseSensitive) const {
    const MimeField* f = findField(name);
    return f && pattern && globMatch(f->value().getString(), pattern, caseSensitive);
}

void MimeHeader::emit(StringBuffer& out, const char* skipPrefix, uint32_t codePage, LogBase& log) const {
    emitFields(out, skipPrefix, codePage, false, log);
}

void MimeHeader::emitUnfolded(StringBuffer& out, const char* skipPrefix, uint32_t codePage, LogBase& log) const {
    emitFields(out, skipPrefix, codePage, true, log);
}

void MimeHeader::emitFields(StringBuffer& out, const char* skipPrefix, uint32_t codePage, bool unfolded,
                            LogBase& log) const {
    if (codePage == 0 && m_codePage != 0) codePage = m_codePage;
    size_t prefixLen = skipPrefix ? std::strlen(skipPrefix) : 0;
    const uint32_t start = out.getSize();
    StringBuffer line;
    for (int32_t i = 0; i < count(); ++i) {
        const MimeField* f = fieldAt(i);
        if (prefixLen && f->name().beginsWithIgnoreCase(skipPrefix)) continue;
        line.clear();
        line.append(f->name());
        line.append(": ");
        HeaderEncoder::encodeValue(*f, codePage, line, log);
        if (unfolded) line.replaceAllOccurrences("\r\n\t", "");
        line.trimTrailingWhitespace();
        out.append(line);
        out.append("\r\n");
    }
    while (out.getSize() > start && out.lastChar() == '\n') out.shorten(out.getSize() - start >= 2 ? 2 : 1);
}

}  // namespace ostmail
