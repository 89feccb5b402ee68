#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

class LogBase;

// Converts bytes between Windows code pages. Tables come from the platform's
// code-page module; UTF-7/8/16/32, ISO-2022-JP/KR and the Mac Arabic fix-up
// are written out here.
class EncodingConvert {
public:
    // What to do with a character the target cannot hold.
    enum ErrorAction { kDrop = 0, kReplace = 1, kHtmlRef = 2, kAltCodePage = 6, kPassUnit = 7 };

    EncodingConvert();

    void setErrorAction(int action) { m_errorAction = action; }
    void setAltCodePage(uint32_t cp) { m_altCodePage = cp; }
    void setReplacement(const unsigned char* bytes, size_t n);
    void setMarkerFlag(bool on) { m_marker = on; }
    const StringBuffer& trace() const { return m_trace; }

    // Appends the converted bytes to out; false when any step failed
    // (an unconvertible character with the default action included).
    bool convert(uint32_t srcCodePage, uint32_t dstCodePage, const void* in, size_t n, DataBuffer& out,
                 LogBase& log);
    bool convertByNames(const char* srcName, const char* dstName, const void* in, size_t n, DataBuffer& out,
                        LogBase& log);

private:
    int m_errorAction = 0;
    uint32_t m_altCodePage = 0;
    DataBuffer m_replacement;
    uint32_t m_srcCodePage = 0;
    uint32_t m_dstCodePage = 0;
    bool m_marker = false;
    StringBuffer m_trace;
};

}  // namespace ostmail
