// Decoding of RFC 2047 encoded words found anywhere in a header text.
#include "core/Charset.h"
#include "core/CodingStage.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {
namespace {

constexpr uint32_t kUtf8 = 65001;

enum class WordTarget { Utf8, Raw, AddressList };

// Bytes kept from Q text; the rest ('?', controls, DEL, 127-159) are dropped.
struct QKeepTable {
    bool v[256];
    constexpr QKeepTable() : v() {
        for (int i = 32; i <= 126; ++i) v[i] = i != '=' && i != '?' && i != '_';
        for (int i = 160; i <= 255; ++i) v[i] = true;
    }
};
constexpr QKeepTable kQKeep;

void decodeQ(const unsigned char* s, const unsigned char* end, DataBuffer& out) {
    for (; s < end; ++s) {
        const unsigned char c = *s;
        if (c == '_') {
            out.appendByte(' ');
        } else if (c == '=') {
            const int hi = end - s >= 3 ? coding::hexValue(s[1]) : -1;
            const int lo = end - s >= 3 ? coding::hexValue(s[2]) : -1;
            if (hi >= 0 && lo >= 0) {
                out.appendByte(static_cast<unsigned char>(hi * 16 + lo));
                s += 2;
            } else {
                out.appendByte('=');
            }
        } else if (kQKeep.v[c]) {
            out.appendByte(c);
        }
    }
}

const char* findPair(const char* p, const char* end, char a, char b) {
    for (; end - p >= 2; ++p) {
        if (p[0] == a && p[1] == b) return p;
    }
    return nullptr;
}

struct Word {
    StringBuffer charset;
    char letter;
    const char* text;
    const char* textEnd;
    const char* next;  // just after "?="
};

// Parses the word that starts with "=?" at p; false when it is malformed.
bool parseWord(const char* p, const char* end, Word& w) {
    const char* cs = p + 2;
    const char* q = static_cast<const char*>(std::memchr(cs, '?', static_cast<size_t>(end - cs)));
    if (!q || end - q < 4 || q[2] != '?') return false;
    w.charset.setString(cs, static_cast<size_t>(q - cs));
    w.letter = q[1];
    w.text = q + 3;
    const char* close = findPair(w.text, end, '?', '=');
    if (!close) return false;
    w.textEnd = close;
    w.next = close + 2;
    return true;
}

// Decoded bytes of a word in the form the target wants.
void emitWord(const Word& w, DataBuffer& bytes, WordTarget target, StringBuffer& out, bool* hadComma) {
    if (bytes.getSize() == 0) return;
    DataBuffer converted;
    const DataBuffer* text = &bytes;
    if (target != WordTarget::Raw && !w.charset.equalsIgnoreCase("utf-8") && !w.charset.equalsIgnoreCase("8bit")) {
        const uint32_t cp = Charset::codePageOfName(w.charset.getString());
        if (cp != 0 && cp != kUtf8) {
            EncodingConvert conv;
            LogNull log;
            // A charset without a table keeps its bytes, as an unknown one.
            if (conv.convert(cp, kUtf8, bytes.getData(), bytes.getSize(), converted, log) || !converted.isEmpty())
                text = &converted;
        }
    }
    const char* s = reinterpret_cast<const char*>(text->getData());
    const size_t n = text->getSize();
    if (target != WordTarget::AddressList || !std::memchr(s, ',', n)) {
        out.appendN(s, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == ',') out.append("_COMMA_");
        else out.appendChar(s[i]);
    }
    if (hadComma) *hadComma = true;
}

bool decodeWords(const char* s, size_t n, WordTarget target, StringBuffer& out, bool* hadComma) {
    const char* p = s;
    const char* end = s + n;
    Word w;
    DataBuffer bytes;
    while (p < end) {
        const char* start = findPair(p, end, '=', '?');
        if (!start) break;
        out.appendN(p, static_cast<size_t>(start - p));
        if (!parseWord(start, end, w)) return false;
        bytes.clear();
        if (w.letter == 'B' || w.letter == 'b') {
            ContentCoding::decodeBase64(w.text, static_cast<size_t>(w.textEnd - w.text), bytes);
        } else {
            decodeQ(reinterpret_cast<const unsigned char*>(w.text), reinterpret_cast<const unsigned char*>(w.textEnd),
                    bytes);
        }
        emitWord(w, bytes, target, out, hadComma);
        p = w.next;
    }
    if (p < end) out.appendN(p, static_cast<size_t>(end - p));
    return true;
}

bool decodeInPlace(StringBuffer& sb, WordTarget target, bool* hadComma) {
    if (!findPair(sb.getString(), sb.getString() + sb.getSize(), '=', '?')) return true;
    StringBuffer out;
    const bool whole = decodeWords(sb.getString(), sb.getSize(), target, out, hadComma);
    sb.swap(out);
    return whole;
}

}  // namespace

bool ContentCoding::decodeWordsToUtf8(StringBuffer& sb) { return decodeInPlace(sb, WordTarget::Utf8, nullptr); }

bool ContentCoding::decodeWordsRaw(const StringBuffer& in, StringBuffer& out) {
    return decodeWords(in.getString(), in.getSize(), WordTarget::Raw, out, nullptr);
}

bool ContentCoding::decodeWordsForAddressList(StringBuffer& sb, bool& hadComma) {
    hadComma = false;
    return decodeInPlace(sb, WordTarget::AddressList, &hadComma);
}

}  // namespace ostmail
