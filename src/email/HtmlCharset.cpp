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

}  // namespace

bool HtmlCharset::declare(DataBuffer& html, uint32_t codePage) {
    StringBuffer name;
    if (!Charset::nameOfCodePage(codePage, name)) return false;
    const unsigned char* s = html.getData();
    size_t n = html.getSize();
    for (size_t meta = findNoCase(s, n, "<meta", 0); meta < n; meta = findNoCase(s, n, "<meta", meta + 5)) {
        const unsigned char* close = static_cast<const unsigned char*>(std::memchr(s + meta, '>', n - meta));
        size_t end = close ? static_cast<size_t>(close - s) : n;
        size_t cs = findNoCase(s, end, "charset=", meta);
        if (cs >= end) continue;
        size_t a = cs + 8;
        while (a < end && (s[a] == '"' || s[a] == '\'' || s[a] == ' ')) ++a;
        size_t b = a;
        while (b < end && (std::isalnum(s[b]) || s[b] == '-' || s[b] == '_' || s[b] == ':' || s[b] == '.')) ++b;
        StringBuffer current(reinterpret_cast<const char*>(s + a), b - a);
        if (current.equalsIgnoreCase(name.getString())) return true;
        DataBuffer out;
        out.ensureCapacity(n + name.getSize());
        out.append(s, a);
        out.append(name.getString(), name.getSize());
        out.append(s + b, n - b);
        html.swap(out);
        return true;
    }
    return false;
}

}  // namespace ostmail
