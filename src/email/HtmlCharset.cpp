#include "email/HtmlCharset.h"

#include "core/Charset.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cctype>
#include <cstring>

namespace ostmail {

namespace {

size_t findNoCase(const unsigned char* s, size_t n, const char* what, size_t from) {
    size_t m = std::strlen(what);
    for (size_t i = from; i + m <= n; ++i) {
        size_t k = 0;
        while (k < m && std::tolower(s[i + k]) == what[k]) ++k;
        if (k == m) return i;
    }
    return n;
}

// Position of the value after "charset=" inside the first <meta> tag that
// has one, and the end of that value; n when there is none.
size_t findDeclaration(const unsigned char* s, size_t n, size_t& valueEnd) {
    for (size_t meta = findNoCase(s, n, "<meta", 0); meta < n; meta = findNoCase(s, n, "<meta", meta + 5)) {
        const unsigned char* close = static_cast<const unsigned char*>(std::memchr(s + meta, '>', n - meta));
        size_t end = close ? static_cast<size_t>(close - s) : n;
        size_t cs = findNoCase(s, end, "charset=", meta);
        if (cs >= end) continue;
        size_t a = cs + 8;
        while (a < end && (s[a] == '"' || s[a] == '\'' || s[a] == ' ')) ++a;
        size_t b = a;
        while (b < end && (std::isalnum(s[b]) || s[b] == '-' || s[b] == '_' || s[b] == ':' || s[b] == '.')) ++b;
        valueEnd = b;
        return a;
    }
    return n;
}

void splice(DataBuffer& html, size_t at, size_t cut, const char* text, size_t len) {
    DataBuffer out;
    out.ensureCapacity(html.getSize() + len);
    out.append(html.getData(), at);
    out.append(text, len);
    out.append(html.getData() + at + cut, html.getSize() - at - cut);
    html.swap(out);
}

}  // namespace

void HtmlCharset::ensureDeclared(DataBuffer& html, const char* charsetName) {
    size_t end = 0;
    if (findDeclaration(html.getData(), html.getSize(), end) < html.getSize()) return;
    StringBuffer tag("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=");
    tag.append(charsetName);
    tag.append("\">");
    size_t head = findNoCase(html.getData(), html.getSize(), "<head>", 0);
    size_t at = head < html.getSize() ? head + 6 : 0;
    splice(html, at, 0, tag.getString(), tag.getSize());
}

bool HtmlCharset::declare(DataBuffer& html, uint32_t codePage) {
    StringBuffer name;
    if (!Charset::nameOfCodePage(codePage, name)) return false;
    size_t b = 0;
    size_t a = findDeclaration(html.getData(), html.getSize(), b);
    if (a >= html.getSize()) return false;
    StringBuffer current(reinterpret_cast<const char*>(html.getData() + a), b - a);
    if (!current.equalsIgnoreCase(name.getString())) splice(html, a, b - a, name.getString(), name.getSize());
    return true;
}

}  // namespace ostmail
