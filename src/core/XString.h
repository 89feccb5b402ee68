#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstdint>
#include <string>

namespace ostmail {

// One text held in up to three forms (ANSI, UTF-8, UTF-16LE), converted on
// demand and cached until the text changes. At least one form is current;
// an empty XString has all three. ANSI is the code page the platform
// reports at the moment of conversion.
class XString : public VelmoraObject {
public:
    XString();
    XString(const XString& other);
    XString& operator=(const XString& other);
    ~XString() override = default;

    // ANSI accuracy values
    enum { kAnsiUnknown = 0, kAnsiExact = 1, kAnsiLossy = 2 };

    // Null or empty input is the same as clear().
    void setFromAnsi(const char* s);
    void setFromAnsi(const char* s, size_t n);
    void setFromUtf8(const char* s);
    void setFromUtf8(const char* s, size_t n);
    void setFromSb(const StringBuffer& utf8) { setFromUtf8(utf8.getString(), utf8.getSize()); }
    void setFromUnicode(const uint16_t* utf16, size_t units);  // no terminator needed
    void setFromWide(const std::wstring& w);                   // UTF-32 wchar_t on Linux
    void setFrom8bit(const char* s, bool utf8) { utf8 ? setFromUtf8(s) : setFromAnsi(s); }
    void copyFrom(const XString& other);  // all current forms and the flags
    void clear();

    const char* getAnsi();  // keeps a lossy conversion cached
    const char* getUtf8();
    const uint16_t* getUnicode();  // zero-terminated UTF-16LE
    uint32_t getUnicodeUnits();    // code units, terminator excluded
    std::wstring getWide();
    const StringBuffer& getUtf8Sb();
    StringBuffer& getUtf8SbRw();  // for editing the UTF-8 form; other forms go stale
    // Appends the ANSI form to out; a lossy form is converted afresh next time.
    bool copyAnsiTo(StringBuffer& out);
    const char* get8bit(bool utf8) { return utf8 ? getUtf8() : getAnsi(); }
    uint32_t getSizeUtf8();
    uint32_t getSizeAnsi();

    bool isEmpty();
    // ANSI bytes when the ANSI form is current, otherwise UTF-16 units.
    uint32_t numChars();
    int32_t indexOf(const char* utf8);  // character index or -1
    void appendUtf8(const char* s);
    void appendUtf8(const char* s, size_t n);
    void appendAnsi(const char* s);
    void appendX(XString& other);
    void truncateChars(uint32_t n);
    void trim();
    bool replaceAllUtf8(const char* find, const char* repl);
    bool equalsUtf8(const char* s);
    int ansiAccuracy() const { return m_ansiAccuracy; }

private:
    void ensureUtf8();
    void ensureAnsi();
    void ensureUnicode();
    void onlyUtf8Valid();
    void onlyAnsiValid();
    void onlyUnicodeValid();
    void terminateUnicode();
    bool unicodeHasText() const { return m_unicode.getSize() > 3; }
    void convertToAnsi(uint32_t srcCodePage, const void* in, size_t n);
    bool convertFromAnsi(uint32_t dstCodePage, DataBuffer& out);

    int m_ansiAccuracy;
    bool m_unicodeValid;
    bool m_ansiValid;
    bool m_utf8Valid;
    DataBuffer m_unicode;
    StringBuffer m_ansi;
    StringBuffer m_utf8;
};

}  // namespace ostmail
