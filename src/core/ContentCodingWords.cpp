// RFC 2047 encoded words: "=?" charset "?B?" or "?Q?" text "?=".
#include "core/CodingStage.h"
#include "core/ContentCoding.h"
#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {
namespace {

constexpr size_t kQStage = 2000;

// Bytes a Q word may carry as they are (RFC 2047 section 5 (3), minus '_').
struct QSafeTable {
    bool v[256];
    constexpr QSafeTable() : v() {
        for (int i = 33; i <= 126; ++i) v[i] = i != '=' && i != '?' && i != '_';
    }
};
constexpr QSafeTable kQSafe;

// Charsets whose text reads badly or breaks in Q form.
const char* const kBCharsets[] = {
    "shift_jis", "shift-jis",    "iso-2022-jp", "euc-jp",     "euc-kr",       "iso-2022-kr", "gb2312",
    "hz-gb-2312", "euc-cn",      "cp-936",      "euc-tw",     "big5",         "cp-950",      "cp-932",
    "tis-620",   "windows-874", "iso-8859-9",  "windows-1254", "iso-8859-6", "windows-1256", "cp-1256",
};

bool equalsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

const char* wordCharset(const char* charset) { return charset && *charset ? charset : "utf-8"; }

void appendQText(const unsigned char* s, size_t n, bool commas, bool quotes, StringBuffer& out) {
    CodingStage<kQStage> st(out);
    for (size_t i = 0; i < n; ++i) {
        st.need(3);
        const unsigned char c = s[i];
        if (c == ' ') {
            st.put('_');
        } else if (kQSafe.v[c] && !(commas && c == ',') && !(quotes && (c == '"' || c == '\\'))) {
            st.put(static_cast<char>(c));
        } else {
            coding::putHexEscape(st.cursor(), c);
            st.cursor() += 3;
        }
    }
    st.flush();
}

bool containsWordMarker(const unsigned char* s, size_t n) {
    if (n > 100) n = 100;
    for (size_t i = 0; i + 2 < n; ++i) {
        if (s[i] == '?' && s[i + 2] == '?' && (s[i + 1] == 'Q' || s[i + 1] == 'B')) return true;
    }
    return false;
}

}  // namespace

bool ContentCoding::isBWordCharset(const char* charset) {
    if (!charset) return false;
    for (const char* name : kBCharsets) {
        if (equalsNoCase(charset, name)) return true;
    }
    return false;
}

bool ContentCoding::encodeBWord(const void* data, size_t n, const char* charset, StringBuffer& out) {
    if (!data || n == 0) return false;
    out.append("=?");
    out.append(wordCharset(charset));
    out.append("?B?");
    encodeBase64Flat(data, n, out);
    out.append("?=");
    return true;
}

bool ContentCoding::encodeQWord(const void* data, size_t n, const char* charset, StringBuffer& out) const {
    if (!data || n == 0) return false;
    out.append("=?");
    out.append(wordCharset(charset));
    out.append("?Q?");
    appendQText(static_cast<const unsigned char*>(data), n, m_qEncodeCommas, m_qEncodeQuotes, out);
    out.append("?=");
    return true;
}

bool ContentCoding::encodeHeaderWord(const void* data, size_t n, const char* charset, StringBuffer& out) const {
    if (!data || n == 0) return false;
    if (containsWordMarker(static_cast<const unsigned char*>(data), n)) return out.appendN(data, n);
    if (isBWordCharset(charset)) return encodeBWord(data, n, charset, out);
    return encodeQWord(data, n, charset, out);
}

}  // namespace ostmail
