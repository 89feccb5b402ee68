#include "core/ContentCoding.h"
#include "email/Rfc822Address.h"

#include <memory>
#include <new>

namespace ostmail {

namespace {

bool appendPiece(const char* bytes, size_t n, ExtPtrArray& pieces) {
    std::unique_ptr<StringBuffer> piece(new (std::nothrow) StringBuffer());
    if (!piece) return false;
    if (n) piece->appendN(bytes, n);
    if (!pieces.appendObject(piece.get())) return false;
    piece.release();  // owned by the array now
    return true;
}

}  // namespace

// Every byte is kept, so each piece is a plain substring of the text.
void Rfc822ParseHelp::splitQuoteAware(const char* text, uint32_t n, char sep, ExtPtrArray& pieces) {
    if (!text) return;
    uint32_t start = 0;
    bool inQuotes = false;
    for (uint32_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++i;  // the escaped byte never toggles or splits
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == sep && !inQuotes) {
            appendPiece(text + start, i - start, pieces);
            start = i + 1;
        }
    }
    appendPiece(text + start, n > start ? n - start : 0, pieces);
}

void Rfc822ParseHelp::unfold(StringBuffer& text) {
    const char* s = text.getString();
    const uint32_t n = text.getSize();
    StringBuffer out;
    out.expectNumBytes(n);
    for (uint32_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (c == '\r' || c == '\n') continue;
        if (c == '\t' && i > 0 && s[i - 1] == '\n') {
            out.appendChar(' ');
        } else {
            out.appendN(&c, 1);
        }
    }
    text.swap(out);
}

bool Rfc822ParseHelp::isUndisclosed(const char* text) {
    if (!text) return false;
    StringBuffer sb(text);
    return sb.containsSubstringNoCase("undisclosed recipient") || sb.containsSubstringNoCase("undisclosed-recipient");
}

void Rfc822ParseHelp::decode8bitMarker(StringBuffer& name) {
    if (name.isEmpty()) return;
    StringBuffer decoded;
    ContentCoding::decodeWordsRaw(name, decoded);
    name.swap(decoded);
}

bool Rfc822ParseHelp::hasIso2022JpEscape(const StringBuffer& name) { return name.indexOf("\x1b$B") >= 0; }

void Rfc822ParseHelp::encodeJapaneseName(StringBuffer& name, const char* charset) {
    StringBuffer words;
    if (ContentCoding::encodeBWordsSplit(name.getString(), name.getSize(), charset, words) && !words.isEmpty()) {
        name.swap(words);
    }
}

}  // namespace ostmail
