#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostmail {

class LogBase;

// Converts bytes between Windows code pages. The tables come from the
// platform's code-page module; UTF-7/8/16/32, ISO-2022-JP/KR and the Mac
// Arabic fix-up are the library's own code. Every conversion runs through
// UTF-16 (or goes straight between UTF-8 and a single-byte page).
class EncodingConvert {
public:
    // What to write for a character the target cannot hold.
    enum ErrorAction {
        kDrop = 0,         // nothing; the conversion reports failure
        kReplace = 1,      // the replacement bytes
        kHtmlRef = 2,      // "&#xHHHH;"
        kAltCodePage = 6,  // the character in the alternate code page
        kPassUnit = 7      // the UTF-16LE bytes of each code unit
    };

    // With the marker flag, every substituted piece is preceded by these two
    // bytes and a kind byte (kMarkPassUnit, kMarkHtmlRef or the replacement
    // length); on input, a marked piece of kind below 6 is copied through.
    static constexpr unsigned char kMarker1 = 0xFD;
    static constexpr unsigned char kMarker2 = 0xEF;
    static constexpr unsigned char kMarkPassUnit = 2;
    static constexpr unsigned char kMarkHtmlRef = 6;

    EncodingConvert() = default;

    void setErrorAction(int action) { m_errorAction = action; }
    int errorAction() const { return m_errorAction; }
    // 0 means the target itself, whose default character ('?') is written.
    void setAltCodePage(uint32_t cp) { m_altCodePage = cp; }
    // At most 255 bytes are kept (the marker's kind byte carries the length).
    void setReplacement(const void* bytes, size_t n);
    void setMarkerFlag(bool on) { m_marker = on; }
    bool markerFlag() const { return m_marker; }

    uint32_t srcCodePage() const { return m_srcCodePage; }
    uint32_t dstCodePage() const { return m_dstCodePage; }
    // One letter per step of the last conversion, for the log:
    // c copy, a Mac Arabic order, J/j ISO-2022-JP in/out, K/k ISO-2022-KR
    // in/out, B mark removed, 7/u UTF-7 in/out, W/w UTF-32 in/out, S swap,
    // 8/e UTF-8 in/out, T/t table in/out, F/f UTF-8 to/from a single-byte
    // page directly, M marked piece copied.
    const StringBuffer& trace() const { return m_trace; }

    // Appends the converted bytes to out. False when a step failed: no table
    // for a code page, malformed input (replaced by U+FFFD), or a character
    // dropped under kDrop. The output holds what could be converted.
    bool convert(uint32_t srcCodePage, uint32_t dstCodePage, const void* in, size_t n, DataBuffer& out,
                 LogBase& log);
    // False (and logged) when a name is not known.
    bool convertByNames(const char* srcName, const char* dstName, const void* in, size_t n, DataBuffer& out,
                        LogBase& log);

    // True when conversions from and to the code page are possible.
    static bool canConvert(uint32_t codePage);

private:
    bool sourceStep(uint32_t& src, const unsigned char*& p, size_t& n, DataBuffer& held);
    bool targetStep(uint32_t src, uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out);
    bool core(uint32_t src, uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out);
    bool segment(uint32_t src, uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out);
    bool toUtf16(uint32_t src, const unsigned char* p, size_t n, std::u16string& out);
    bool fromUtf16(uint32_t dst, const char16_t* u, size_t n, DataBuffer& out);
    bool fromUtf16Table(uint32_t dst, const char16_t* u, size_t n, DataBuffer& out);
    bool utf8ToSingleByte(uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out);
    bool singleByteToUtf8(uint32_t src, const unsigned char* p, size_t n, DataBuffer& out);
    bool badChar(uint32_t dst, const char16_t* units, int len, DataBuffer& out);
    bool writeAlternate(uint32_t dst, const char16_t* units, int len, DataBuffer& out);
    void mark(unsigned char kind, DataBuffer& out);

    int m_errorAction = kDrop;
    uint32_t m_altCodePage = 0;
    std::string m_replacement;
    uint32_t m_srcCodePage = 0;
    uint32_t m_dstCodePage = 0;
    bool m_marker = false;
    StringBuffer m_trace;
    uint32_t m_missingTable = 0;  // last code page found without a table
};

}  // namespace ostmail
