// XString conversions to and from the system ANSI code page.
#include "core/EncodingConvert.h"
#include "core/LogBase.h"
#include "core/UtfForms.h"
#include "core/XString.h"
#include "platform/SysInfo.h"

#include <cstring>

namespace ostmail {

namespace {

constexpr uint32_t kUtf8 = 65001;
constexpr uint32_t kUtf16 = 1200;

// Code pages whose bytes 0x00-0x7F are ASCII, so 7-bit text passes as is.
bool asciiCompatible(uint32_t cp) {
    if ((cp >= 1250 && cp <= 1258) || (cp >= 28591 && cp <= 28605)) return true;
    switch (cp) {
        case 437: case 850: case 866: case 874: case 932: case 936: case 949: case 950:
        case 20127: case 20866: case 21866: case 51932: case 51936: case 51949: case 54936:
        case kUtf8:
            return true;
        default:
            return false;
    }
}

bool is7bit(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] & 0x80) return false;
    return true;
}

bool unitsAre7bit(const unsigned char* p, size_t bytes) {
    for (size_t i = 0; i + 1 < bytes; i += 2)
        if (p[i] >= 0x80 || p[i + 1] != 0) return false;
    return true;
}

}  // namespace

// Fills m_ansi from UTF-8 or UTF-16LE bytes and records whether the
// converter had to drop anything.
void XString::convertToAnsi(uint32_t srcCodePage, const void* in, size_t n) {
    uint32_t acp = platform::ansiCodePage();
    const unsigned char* src = static_cast<const unsigned char*>(in);
    m_ansiAccuracy = kAnsiExact;
    if (srcCodePage == kUtf8 && (acp == kUtf8 || (asciiCompatible(acp) && is7bit(src, n)))) {
        m_ansi.appendN(src, n);
        return;
    }
    if (srcCodePage == kUtf16 && asciiCompatible(acp) && unitsAre7bit(src, n)) {
        m_ansi.expectNumBytes(n / 2);
        char buf[512];
        for (size_t i = 0; i < n;) {
            size_t k = 0;
            for (; k < sizeof buf && i < n; ++k, i += 2) buf[k] = static_cast<char>(src[i]);
            m_ansi.appendN(buf, k);
        }
        return;
    }
    DataBuffer out;
    LogNull quiet;
    EncodingConvert conv;
    bool exact = conv.convert(srcCodePage, acp, src, n, out, quiet);
    out.appendByte(0);
    m_ansi.takeFrom(out);
    m_ansiAccuracy = exact ? kAnsiExact : kAnsiLossy;
}

// Appends the ANSI form converted to dstCodePage (UTF-8 or UTF-16LE).
bool XString::convertFromAnsi(uint32_t dstCodePage, DataBuffer& out) {
    uint32_t acp = platform::ansiCodePage();
    const unsigned char* src = reinterpret_cast<const unsigned char*>(m_ansi.getString());
    size_t n = m_ansi.getSize();
    if (n == 0) return true;
    bool ascii = asciiCompatible(acp) && is7bit(src, n);
    if (dstCodePage == kUtf8 && (ascii || acp == kUtf8)) return out.append(src, n);
    if (dstCodePage == kUtf16 && acp == kUtf8) return utf::utf8ToUtf16(m_ansi.getString(), n, out);
    if (dstCodePage == kUtf16 && ascii) {
        if (!out.ensureCapacity(static_cast<size_t>(out.getSize()) + 2 * n + 2)) return false;
        for (size_t i = 0; i < n; ++i) out.appendUInt16LE(src[i]);
        return true;
    }
    LogNull quiet;
    EncodingConvert conv;
    return conv.convert(acp, dstCodePage, src, n, out, quiet);
}

}  // namespace ostmail
