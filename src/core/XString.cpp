#include "core/XString.h"

#include "core/UtfForms.h"

#include <cstring>

namespace ostmail {

namespace {
const uint16_t kEmptyUnicode[1] = {0};
}

XString::XString()
    : m_ansiAccuracy(kAnsiExact), m_unicodeValid(true), m_ansiValid(true), m_utf8Valid(true) {}

XString::XString(const XString& other) : XString() { copyFrom(other); }

XString& XString::operator=(const XString& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

// The empty Unicode form is kept as size 0 (no allocation); getUnicode()
// still hands out a terminated empty text.
void XString::clear() {
    m_utf8.clear();
    m_ansi.clear();
    m_unicode.clear();
    m_unicodeValid = m_ansiValid = m_utf8Valid = true;
    m_ansiAccuracy = kAnsiExact;
}

void XString::copyFrom(const XString& other) {
    if (this == &other) return;
    m_ansiAccuracy = other.m_ansiAccuracy;
    m_unicodeValid = other.m_unicodeValid;
    m_ansiValid = other.m_ansiValid;
    m_utf8Valid = other.m_utf8Valid;
    m_utf8.clear();
    m_ansi.clear();
    m_unicode.clear();
    if (m_utf8Valid) m_utf8.append(other.m_utf8);
    if (m_ansiValid) m_ansi.append(other.m_ansi);
    if (m_unicodeValid) m_unicode.append(other.m_unicode);
}

void XString::onlyUtf8Valid() {
    m_utf8Valid = true;
    m_ansiValid = m_unicodeValid = false;
    m_ansiAccuracy = kAnsiUnknown;
}

void XString::onlyAnsiValid() {
    m_ansiValid = true;
    m_utf8Valid = m_unicodeValid = false;
}

void XString::onlyUnicodeValid() {
    m_unicodeValid = true;
    m_utf8Valid = m_ansiValid = false;
    m_ansiAccuracy = kAnsiUnknown;
}

void XString::terminateUnicode() { m_unicode.appendUInt16LE(0); }

void XString::setFromAnsi(const char* s) { setFromAnsi(s, s ? std::strlen(s) : 0); }

void XString::setFromAnsi(const char* s, size_t n) {
    if (!s || n == 0) return clear();
    m_ansi.setString(s, n);
    onlyAnsiValid();
    m_ansiAccuracy = kAnsiExact;
}

void XString::setFromUtf8(const char* s) { setFromUtf8(s, s ? std::strlen(s) : 0); }

void XString::setFromUtf8(const char* s, size_t n) {
    if (!s || n == 0) return clear();
    m_utf8.setString(s, n);
    onlyUtf8Valid();
}

void XString::setFromUnicode(const uint16_t* units, size_t count) {
    if (!units || count == 0) return clear();
    m_unicode.clear();
    if (!m_unicode.ensureCapacity(2 * count + 2)) return clear();
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    m_unicode.append(units, 2 * count);
#else
    for (size_t i = 0; i < count; ++i) m_unicode.appendUInt16LE(units[i]);
#endif
    terminateUnicode();
    onlyUnicodeValid();
}

void XString::setFromWide(const std::wstring& w) {
    if (w.empty()) return clear();
    m_unicode.clear();
    // A 16-bit wchar_t (Windows) already holds UTF-16 code units.
    if (sizeof(wchar_t) == 2) return setFromUnicode(reinterpret_cast<const uint16_t*>(w.data()), w.size());
    if (!m_unicode.ensureCapacity(4 * w.size() + 2)) return clear();
    for (wchar_t wc : w) {
        uint16_t units[2];
        int n = utf::encodeUtf16(static_cast<uint32_t>(wc), units);
        if (n == 0) units[n++] = 0xFFFD;
        for (int k = 0; k < n; ++k) m_unicode.appendUInt16LE(units[k]);
    }
    terminateUnicode();
    onlyUnicodeValid();
}

void XString::ensureUtf8() {
    if (m_utf8Valid) return;
    m_utf8.clear();
    if (m_ansiValid) {
        DataBuffer out;
        convertFromAnsi(65001, out);  // a partial result beats none
        out.appendByte(0);
        m_utf8.takeFrom(out);
    } else if (m_unicodeValid && unicodeHasText()) {
        utf::utf16ToUtf8(reinterpret_cast<const uint16_t*>(m_unicode.getData()), m_unicode.getSize() / 2 - 1, m_utf8);
    }
    m_utf8Valid = true;
}

void XString::ensureAnsi() {
    if (m_ansiValid) return;
    m_ansi.clear();
    m_ansiAccuracy = kAnsiExact;
    if (m_utf8Valid)
        convertToAnsi(65001, m_utf8.getString(), m_utf8.getSize());
    else if (m_unicodeValid && unicodeHasText())
        convertToAnsi(1200, m_unicode.getData(), m_unicode.getSize() - 2);
    m_ansiValid = true;
}

void XString::ensureUnicode() {
    if (m_unicodeValid) return;
    m_unicode.clear();
    if (m_utf8Valid) {
        utf::utf8ToUtf16(m_utf8.getString(), m_utf8.getSize(), m_unicode);
    } else if (m_ansiValid) {
        convertFromAnsi(1200, m_unicode);
    }
    if (m_unicode.getSize() > 0) terminateUnicode();
    m_unicodeValid = true;
}

const char* XString::getAnsi() {
    ensureAnsi();
    return m_ansi.getString();
}

const char* XString::getUtf8() {
    ensureUtf8();
    return m_utf8.getString();
}

const uint16_t* XString::getUnicode() {
    ensureUnicode();
    if (m_unicode.getSize() < 2) return kEmptyUnicode;
    return reinterpret_cast<const uint16_t*>(m_unicode.getData());
}

uint32_t XString::getUnicodeUnits() {
    ensureUnicode();
    uint32_t size = m_unicode.getSize();
    return size < 2 ? 0 : size / 2 - 1;
}

std::wstring XString::getWide() {
    const uint16_t* u = getUnicode();
    uint32_t count = getUnicodeUnits();
    std::wstring w;
    if (sizeof(wchar_t) == 2) return std::wstring(u, u + count);
    w.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp = u[i];
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            bool pair = cp <= 0xDBFF && i + 1 < count && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF;
            cp = pair ? 0x10000 + ((cp - 0xD800) << 10) + (u[++i] - 0xDC00) : 0xFFFD;
        }
        w.push_back(static_cast<wchar_t>(cp));
    }
    return w;
}

const StringBuffer& XString::getUtf8Sb() {
    ensureUtf8();
    return m_utf8;
}

StringBuffer& XString::getUtf8SbRw() {
    ensureUtf8();
    onlyUtf8Valid();
    return m_utf8;
}

bool XString::copyAnsiTo(StringBuffer& out) {
    ensureAnsi();
    bool ok = out.append(m_ansi);
    // A lossy form must not stand in for the text: convert afresh next time.
    if (m_ansiAccuracy == kAnsiLossy && (m_utf8Valid || m_unicodeValid)) m_ansiValid = false;
    return ok;
}

uint32_t XString::getSizeUtf8() {
    ensureUtf8();
    return m_utf8.getSize();
}

uint32_t XString::getSizeAnsi() {
    ensureAnsi();
    return m_ansi.getSize();
}

bool XString::isEmpty() {
    if (m_utf8Valid) return m_utf8.getSize() == 0;
    if (m_unicodeValid) return !unicodeHasText();
    if (m_ansiAccuracy != kAnsiLossy) return m_ansi.getSize() == 0;
    return getSizeUtf8() == 0;
}

uint32_t XString::numChars() {
    if (m_ansiValid) return m_ansi.getSize();
    if (m_unicodeValid) return getUnicodeUnits();
    return utf::utf16Length(m_utf8.getString(), m_utf8.getSize());
}

int32_t XString::indexOf(const char* utf8) {
    ensureUtf8();
    int32_t at = m_utf8.indexOf(utf8);
    if (at < 0) return -1;
    return static_cast<int32_t>(utf::utf16Length(m_utf8.getString(), static_cast<size_t>(at)));
}

void XString::appendUtf8(const char* s) { appendUtf8(s, s ? std::strlen(s) : 0); }

void XString::appendUtf8(const char* s, size_t n) {
    if (!s || n == 0) return;
    ensureUtf8();
    m_utf8.appendN(s, n);
    onlyUtf8Valid();
}

void XString::appendAnsi(const char* s) {
    if (!s || !*s) return;
    if (m_ansiValid && m_ansiAccuracy == kAnsiExact) {
        m_ansi.append(s);
        onlyAnsiValid();
        return;
    }
    XString tail;
    tail.setFromAnsi(s);
    appendX(tail);
}

void XString::appendX(XString& other) {
    if (&other == this) {
        XString copy(other);
        return appendX(copy);
    }
    const StringBuffer& tail = other.getUtf8Sb();
    appendUtf8(tail.getString(), tail.getSize());
}

void XString::truncateChars(uint32_t n) {
    if (m_ansiValid && m_ansiAccuracy == kAnsiExact) {
        if (n >= m_ansi.getSize()) return;
        m_ansi.truncateTo(n);
        onlyAnsiValid();
        return;
    }
    uint32_t units = getUnicodeUnits();
    if (n >= units) return;
    const uint16_t* u = getUnicode();
    if (n > 0 && u[n - 1] >= 0xD800 && u[n - 1] <= 0xDBFF) --n;  // keep pairs whole
    if (n == 0) return clear();
    m_unicode.setSize(2 * n);
    terminateUnicode();
    onlyUnicodeValid();
}

void XString::trim() {
    ensureUtf8();
    uint32_t before = m_utf8.getSize();
    m_utf8.trimWhitespace();
    if (m_utf8.getSize() != before) onlyUtf8Valid();
}

bool XString::replaceAllUtf8(const char* find, const char* repl) {
    ensureUtf8();
    if (m_utf8.replaceAllOccurrences(find, repl) == 0) return false;
    onlyUtf8Valid();
    return true;
}

bool XString::equalsUtf8(const char* s) {
    ensureUtf8();
    return m_utf8.equals(s);
}

}  // namespace ostmail
