// The in-place edits and queries of StringBuffer.
#include "core/StringBuffer.h"

#include <cstring>
#include <string>

namespace ostmail {

namespace {

inline unsigned char asciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
inline unsigned char asciiUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

bool isSpaceTab(char c) { return c == ' ' || c == '\t'; }
bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isPunct(char c) { return c && std::strchr("-*/@'\"", c) != nullptr; }

// Case-insensitive strstr over ASCII letters.
const char* findNoCase(const char* hay, const char* needle) {
    size_t n = std::strlen(needle);
    if (n == 0) return hay;
    unsigned char first = asciiLower(static_cast<unsigned char>(needle[0]));
    for (; *hay; ++hay) {
        if (asciiLower(static_cast<unsigned char>(*hay)) != first) continue;
        size_t i = 1;
        while (i < n && hay[i] &&
               asciiLower(static_cast<unsigned char>(hay[i])) == asciiLower(static_cast<unsigned char>(needle[i])))
            ++i;
        if (i == n) return hay;
    }
    return nullptr;
}

}  // namespace

template <class Pred>
static void trimBy(StringBuffer& sb, Pred pred, bool front, bool back) {
    char* d = sb.getMutable();
    uint32_t end = sb.getSize();
    while (back && end > 0 && pred(d[end - 1])) --end;
    uint32_t start = 0;
    while (front && start < end && pred(d[start])) ++start;
    if (start == 0 && end == sb.getSize()) return;
    sb.setString(d + start, end - start);
}

void StringBuffer::trim() { trimBy(*this, isSpaceTab, true, true); }

void StringBuffer::trimWhitespace() { trimBy(*this, isWhite, true, true); }

void StringBuffer::trimTrailingWhitespace() { trimBy(*this, isWhite, false, true); }

void StringBuffer::trimPunctuation() { trimBy(*this, isPunct, true, true); }

void StringBuffer::removeControls() {
    check();
    uint32_t out = 0;
    for (uint32_t i = 0; i < m_dataSize; ++i) {
        unsigned char c = static_cast<unsigned char>(m_data[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
        m_data[out++] = static_cast<char>(c);
    }
    setLength(out);
}

void StringBuffer::zerosToSpaces() {
    check();
    for (uint32_t i = 0; i < m_dataSize; ++i)
        if (m_data[i] == '\0') m_data[i] = ' ';
}

uint32_t StringBuffer::removeCharOccurrences(char c, uint32_t fromIndex) {
    check();
    if (fromIndex >= m_dataSize) return 0;
    uint32_t out = fromIndex;
    for (uint32_t i = fromIndex; i < m_dataSize; ++i)
        if (m_data[i] != c) m_data[out++] = m_data[i];
    uint32_t removed = m_dataSize - out;
    setLength(out);
    return removed;
}

void StringBuffer::truncateAtChar(char c) {
    int32_t i = indexOfChar(c);
    if (i >= 0) setLength(static_cast<uint32_t>(i));
}

bool StringBuffer::dropThroughChar(char c, bool dropCharToo) {
    int32_t i = indexOfChar(c);
    if (i < 0) return false;
    eraseRange(0, static_cast<uint32_t>(i) + (dropCharToo ? 1 : 0));
    return true;
}

bool StringBuffer::cutAfterLastChar(char c, bool cutAtChar) {
    int32_t i = lastIndexOfChar(c);
    if (i < 0) return false;
    setLength(static_cast<uint32_t>(i) + (cutAtChar ? 0 : 1));
    return true;
}

uint32_t StringBuffer::replaceChar(char from, char to) {
    check();
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_dataSize; ++i)
        if (m_data[i] == from) {
            m_data[i] = to;
            ++count;
        }
    return count;
}

uint32_t StringBuffer::replaceAnyOf(const char* set, char to) {
    check();
    if (!set || !*set) return 0;
    bool inSet[256] = {};
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(set); *p; ++p) inSet[*p] = true;
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_dataSize; ++i)
        if (inSet[static_cast<unsigned char>(m_data[i])]) {
            m_data[i] = to;
            ++count;
        }
    return count;
}

bool StringBuffer::replaceFirstOccurrence(const char* find, const char* repl) {
    check();
    if (!find || !*find) return false;
    const char* hit = std::strstr(m_data, find);
    if (!hit) return false;
    std::string with(repl ? repl : "");  // repl may point into this buffer
    uint32_t pos = static_cast<uint32_t>(hit - m_data);
    uint32_t findLen = static_cast<uint32_t>(std::strlen(find));
    std::string tail(m_data + pos + findLen, m_dataSize - pos - findLen);
    setLength(pos);
    appendN(with.data(), with.size());
    appendN(tail.data(), tail.size());
    return true;
}

// One pass into a fresh buffer, so CRLF->LF over megabytes stays linear.
uint32_t StringBuffer::replaceAllOccurrences(const char* find, const char* repl) {
    check();
    if (!find || !*find || !std::strstr(m_data, find)) return 0;
    std::string findCopy(find), with(repl ? repl : "");
    StringBuffer out;
    out.expectNumBytes(m_dataSize + 16);
    uint32_t count = 0;
    const char* p = m_data;
    for (const char* hit; (hit = std::strstr(p, findCopy.c_str())) != nullptr; p = hit + findCopy.size()) {
        out.appendN(p, static_cast<size_t>(hit - p));
        out.appendN(with.data(), with.size());
        ++count;
    }
    out.appendN(p, static_cast<size_t>(m_data + m_dataSize - p));
    uint32_t extend = m_extendSize;
    uint8_t mode = m_mode;
    swap(out);
    m_extendSize = extend;
    m_mode = mode;
    return count;
}

void StringBuffer::toLowerCase() {
    check();
    for (uint32_t i = 0; i < m_dataSize; ++i) {
        unsigned char c = static_cast<unsigned char>(m_data[i]);
        if (c >= 0xC0 && c <= 0xDF)
            c = static_cast<unsigned char>(c + 0x20);
        else
            c = asciiLower(c);
        m_data[i] = static_cast<char>(c);
    }
}

void StringBuffer::toUpperCase() {
    check();
    for (uint32_t i = 0; i < m_dataSize; ++i)
        m_data[i] = static_cast<char>(asciiUpper(static_cast<unsigned char>(m_data[i])));
}

bool StringBuffer::equals(const char* s) const {
    check();
    if (!s) return m_dataSize == 0;
    size_t n = std::strlen(s);
    return n == m_dataSize && std::memcmp(m_data, s, n) == 0;
}

bool StringBuffer::equals(const StringBuffer& s) const {
    check();
    return s.getSize() == m_dataSize && std::memcmp(m_data, s.getString(), m_dataSize) == 0;
}

bool StringBuffer::equalsIgnoreCase(const char* s) const {
    check();
    if (!s) return m_dataSize == 0;
    size_t n = std::strlen(s);
    if (n != m_dataSize) return false;
    for (size_t i = 0; i < n; ++i)
        if (asciiLower(static_cast<unsigned char>(m_data[i])) != asciiLower(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

bool StringBuffer::beginsWith(const char* s) const {
    check();
    if (!s) return true;
    size_t n = std::strlen(s);
    return n <= m_dataSize && std::memcmp(m_data, s, n) == 0;
}

bool StringBuffer::beginsWithIgnoreCase(const char* s) const {
    check();
    if (!s) return true;
    size_t n = std::strlen(s);
    if (n > m_dataSize) return false;
    for (size_t i = 0; i < n; ++i)
        if (asciiLower(static_cast<unsigned char>(m_data[i])) != asciiLower(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

bool StringBuffer::endsWith(const char* s) const {
    check();
    if (!s) return true;
    size_t n = std::strlen(s);
    return n <= m_dataSize && std::memcmp(m_data + m_dataSize - n, s, n) == 0;
}

bool StringBuffer::containsSubstring(const char* s) const {
    check();
    return s && std::strstr(m_data, s) != nullptr;
}

bool StringBuffer::containsSubstringNoCase(const char* s) const {
    check();
    return s && findNoCase(m_data, s) != nullptr;
}

bool StringBuffer::containsChar(char c) const { return indexOfChar(c) >= 0; }

int32_t StringBuffer::indexOf(const char* s, uint32_t from) const {
    check();
    if (!s || from > textLength()) return -1;
    const char* hit = std::strstr(m_data + from, s);
    return hit ? static_cast<int32_t>(hit - m_data) : -1;
}

int32_t StringBuffer::indexOfChar(char c, uint32_t from) const {
    check();
    if (from >= m_dataSize) return -1;
    const void* hit = std::memchr(m_data + from, c, m_dataSize - from);
    return hit ? static_cast<int32_t>(static_cast<const char*>(hit) - m_data) : -1;
}

int32_t StringBuffer::lastIndexOfChar(char c) const {
    check();
    for (uint32_t i = m_dataSize; i > 0; --i)
        if (m_data[i - 1] == c) return static_cast<int32_t>(i - 1);
    return -1;
}

uint32_t StringBuffer::countChar(char c) const {
    check();
    uint32_t n = 0;
    for (uint32_t i = 0; i < m_dataSize; ++i) n += (m_data[i] == c);
    return n;
}

bool StringBuffer::is7bit(uint32_t n) const {
    check();
    if (n == 0 || n > m_dataSize) n = m_dataSize;
    for (uint32_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(m_data[i]) & 0x80) return false;
    return true;
}

}  // namespace ostmail
