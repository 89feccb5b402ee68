#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstdint>
#include <string>

namespace ostmail {

// One text held in up to three forms (ANSI, UTF-8, UTF-16LE), converted on
// demand and cached until the text changes. ANSI is the code page the
// platform reports at the moment of conversion.
class XString : public VelmoraObject {
public:
    XString();
    XString(const XString& other);
    XString& operator=(const XString& other);
    ~XString() override = default;

    // ANSI accuracy values
    enum { kAnsiUnknown = 0, kAnsiExact = 1, kAnsiLossy = 2 };

    void setFromAnsi(const char* s);
    void setFromAnsi(const char* s, size_t n);
    void setFromUtf8(const char* s);
    void setFromUtf8(const char* s, size_t n);
    void setFromSb(const StringBuffer& utf8) { setFromUtf8(utf8.getString(), utf8.getSize()); }
    void setFromUnicode(const uint16_t* utf16, size_t units);  // no terminator needed
    void setFromWide(const std::wstring& w);                   // UTF-32 wchar_t on Linux
    void setFrom8bit(const char* s, bool utf8) { utf8 ? setFromUtf8(s) : setFromAnsi(s); }
    void copyFrom(const XString& other);
    void clear();

    const char* getAnsi();
    const char* getUtf8();
    const uint16_t* getUnicode();               // zero-terminated UTF-16LE
    uint32_t getUnicodeUnits();                 // code units, terminator excluded
    std::wstring getWide();
    const StringBuffer& getUtf8Sb();
    StringBuffer& getUtf8SbRw();                // edit the UTF-8 form; other forms go stale
    bool copyAnsiTo(StringBuffer& out);         // re-converts next time when lossy
    const char* get8bit(bool utf8) { return utf8 ? getUtf8() : getAnsi(); }
    uint32_t getSizeUtf8();

    bool isEmpty();
    uint32_t numChars();
    int32_t indexOf(const char* utf8);          // character index or -1
    void appendUtf8(const char* s);
    void appendAnsi(const char* s);
    void appendX(XString& other);
    void truncateChars(uint32_t n);
    void trim();
    bool equalsUtf8(const char* s);
    int ansiAccuracy() const { return m_ansiAccuracy; }

private:
    void ensureUtf8();
    void ensureAnsi();
    void ensureUnicode();
    void onlyUtf8Valid();
    void unicodeTo(uint32_t codePage, StringBuffer& out, bool* lossy);

    int m_ansiAccuracy;
    bool m_unicodeValid;
    bool m_ansiValid;
    bool m_utf8Valid;
    DataBuffer m_unicode;
    StringBuffer m_ansi;
    StringBuffer m_utf8;
};

}  // namespace ostmail
