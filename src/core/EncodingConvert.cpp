#include "core/EncodingConvert.h"

#include "core/Charset.h"
#include "core/EncodingUtf32.h"
#include "core/EncodingUtf7.h"
#include "core/EncodingUtf8.h"
#include "core/Japanese.h"
#include "core/Korean.h"
#include "core/LogBase.h"
#include "core/MacArabic.h"
#include "core/OutputTail.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ostmail {

using platform::CodePage;
using platform::SingleByteTable;

namespace {

bool isIso2022Jp(uint32_t cp) { return cp >= 50220 && cp <= 50222; }

// Code pages converted by the library's own code, without a table.
bool isOwnForm(uint32_t cp) {
    return cp == 1200 || cp == 1201 || cp == 65000 || cp == 65001 || cp == 65005 || cp == 65006 ||
           isIso2022Jp(cp) || cp == 50225;
}

// Marked pieces are looked for only in byte-oriented input.
bool isByteOriented(uint32_t cp) { return cp != 1200 && cp != 1201 && cp != 65005 && cp != 65006; }

size_t markedPieceLength(const unsigned char* p, size_t left) {
    if (left < 3 || p[0] != EncodingConvert::kMarker1 || p[1] != EncodingConvert::kMarker2 || p[2] >= 6) return 0;
    size_t len = 3u + p[2];
    return len <= left ? len : 0;
}

// Arabic-Indic and extended Arabic-Indic digits are written as ASCII digits
// in ISO-8859-6, which has no digits of its own.
uint32_t foldArabicDigit(uint32_t c) {
    if (c >= 0x0660 && c <= 0x0669) return '0' + (c - 0x0660);
    if (c >= 0x06F0 && c <= 0x06F9) return '0' + (c - 0x06F0);
    return c;
}

inline bool allAscii8(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return (v & 0x8080808080808080ULL) == 0;
}

int toUnits(uint32_t cp, char16_t units[2]) {
    if (cp < 0x10000) {
        units[0] = static_cast<char16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

std::u16string unitsOf(const DataBuffer& le) {
    std::u16string u(le.getSize() / 2, u'\0');
    const unsigned char* b = le.getData();
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return u;
}

}  // namespace

void EncodingConvert::setReplacement(const void* bytes, size_t n) {
    if (n > 255) n = 255;
    m_replacement.assign(bytes ? static_cast<const char*>(bytes) : "", bytes ? n : 0);
}

bool EncodingConvert::canConvert(uint32_t codePage) {
    return isOwnForm(codePage) || (codePage != 0 && CodePage::hasTable(codePage));
}

bool EncodingConvert::convertByNames(const char* srcName, const char* dstName, const void* in, size_t n,
                                     DataBuffer& out, LogBase& log) {
    uint32_t src = Charset::codePageOfName(srcName);
    uint32_t dst = Charset::codePageOfName(dstName);
    if (src == 0 || dst == 0) {
        log.LogError("Unknown charset.");
        log.LogData("charset", src == 0 ? (srcName ? srcName : "") : (dstName ? dstName : ""));
        return false;
    }
    return convert(src, dst, in, n, out, log);
}

bool EncodingConvert::convert(uint32_t srcCodePage, uint32_t dstCodePage, const void* in, size_t n,
                              DataBuffer& out, LogBase& log) {
    m_srcCodePage = srcCodePage;
    m_dstCodePage = dstCodePage;
    m_trace.clear();
    m_missingTable = 0;
    const unsigned char* p = static_cast<const unsigned char*>(in);
    if (!p) n = 0;
    if (dstCodePage == 0 || dstCodePage == srcCodePage) {
        m_trace.appendChar('c');
        return n == 0 || out.append(p, n);
    }
    DataBuffer held;  // the source after a pre-step
    uint32_t src = srcCodePage;
    bool ok = sourceStep(src, p, n, held);
    ok = targetStep(src, dstCodePage, p, n, out) && ok;
    if (m_missingTable != 0) {
        log.LogError("No conversion table for the code page.");
        log.LogDataLong("codePage", static_cast<int32_t>(m_missingTable));
    }
    return ok;
}

bool EncodingConvert::sourceStep(uint32_t& src, const unsigned char*& p, size_t& n, DataBuffer& held) {
    bool ok = true;
    if (src == 10004) {
        m_trace.appendChar('a');
        held.append(p, n);
        MacArabic::toLogical(held.getMutable(), held.getSize());
    } else if (isIso2022Jp(src)) {
        m_trace.appendChar('J');
        ok = Japanese::toShiftJis(p, n, held);
        src = 932;
    } else if (src == 50225) {
        m_trace.appendChar('K');
        ok = Korean::toEucKr(p, n, held);
        src = 949;
    } else {
        return true;
    }
    p = held.getData();
    n = held.getSize();
    return ok;
}

bool EncodingConvert::targetStep(uint32_t src, uint32_t dst, const unsigned char* p, size_t n,
                                 DataBuffer& out) {
    DataBuffer mid;
    bool ok;
    if (dst == 65000) {
        ok = core(src, 1200, p, n, mid);
        m_trace.appendChar('u');
        std::u16string u = unitsOf(mid);
        EncodingUtf7::encode(u.data(), u.size(), out);
    } else if (dst == 65005 || dst == 65006) {
        ok = core(src, 65001, p, n, mid);
        m_trace.appendChar('w');
        ok = EncodingUtf32::fromUtf8(mid.getData(), mid.getSize(), dst == 65006, out) && ok;
    } else if (dst == 1201) {
        ok = core(src, 1200, p, n, mid);
        m_trace.appendChar('S');
        ok = EncodingUtf32::swapPairs(mid.getData(), mid.getSize(), out) && ok;
    } else if (isIso2022Jp(dst)) {
        ok = core(src, 932, p, n, mid);
        m_trace.appendChar('j');
        ok = Japanese::fromShiftJis(mid.getData(), mid.getSize(), dst, m_marker, out) && ok;
    } else if (dst == 50225) {
        ok = core(src, 949, p, n, mid);
        m_trace.appendChar('k');
        auto lacking = [this](const unsigned char* pair, DataBuffer& to) {
            DataBuffer units;
            EncodingConvert back;
            LogNull quiet;
            back.convert(949, 1200, pair, 2, units, quiet);
            char16_t u[2] = {0, 0};
            int len = static_cast<int>(std::min<uint32_t>(units.getSize() / 2, 2));
            for (int k = 0; k < len; ++k)
                u[k] = static_cast<char16_t>(units.getData()[2 * k] | (units.getData()[2 * k + 1] << 8));
            return len > 0 && badChar(50225, u, len, to);
        };
        ok = Korean::fromEucKr(mid.getData(), mid.getSize(), m_marker, out, lacking) && ok;
    } else {
        ok = core(src, dst, p, n, out);
    }
    return ok;
}

// Removes a byte-order mark, then converts, copying marked pieces through.
bool EncodingConvert::core(uint32_t src, uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out) {
    if (src == 65001 && n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        m_trace.appendChar('B');
        p += 3;
        n -= 3;
    } else if ((src == 1200 || src == 1201) && n >= 2 && (p[0] ^ p[1]) == 0x01 && (p[0] & 0xFE) == 0xFE) {
        m_trace.appendChar('B');
        src = p[0] == 0xFE ? 1201 : 1200;
        p += 2;
        n -= 2;
    }
    if (n == 0) return true;
    if (src == dst) {
        m_trace.appendChar('c');
        return out.append(p, n);
    }
    if (!m_marker || !isByteOriented(src)) return segment(src, dst, p, n, out);
    bool ok = true;
    size_t start = 0, i = 0;
    while (i < n) {
        size_t len = markedPieceLength(p + i, n - i);
        if (len == 0) {
            ++i;
            continue;
        }
        if (i > start) ok = segment(src, dst, p + start, i - start, out) && ok;
        m_trace.appendChar('M');
        out.append(p + i, len);
        i += len;
        start = i;
    }
    if (start < n) ok = segment(src, dst, p + start, n - start, out) && ok;
    return ok;
}

bool EncodingConvert::segment(uint32_t src, uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out) {
    if (!canConvert(src) || !canConvert(dst)) {
        m_missingTable = canConvert(src) ? dst : src;
        return false;
    }
    if (src == 65001 && dst == 1200) {
        m_trace.appendChar('8');
        return EncodingUtf8().toUtf16Le(p, n, out);
    }
    if (src == 65001 && CodePage::singleByte(dst)) return utf8ToSingleByte(dst, p, n, out);
    if (dst == 65001 && CodePage::singleByte(src)) return singleByteToUtf8(src, p, n, out);
    std::u16string u;
    bool ok = toUtf16(src, p, n, u);
    return fromUtf16(dst, u.data(), u.size(), out) && ok;
}

bool EncodingConvert::toUtf16(uint32_t src, const unsigned char* p, size_t n, std::u16string& out) {
    if (src == 65001) {
        m_trace.appendChar('8');
        return EncodingUtf8().toUtf16(p, n, out);
    }
    if (src == 1200 || src == 1201) {
        if (src == 1201) m_trace.appendChar('S');
        int hi = src == 1201 ? 0 : 1;
        out.resize(n / 2);
        for (size_t i = 0; i < n / 2; ++i) {
            out[i] = static_cast<char16_t>(p[2 * i + hi] << 8 | p[2 * i + 1 - hi]);
        }
        return n % 2 == 0;
    }
    if (src == 65005 || src == 65006) {
        m_trace.appendChar('W');
        return EncodingUtf32::toUtf16(p, n, src == 65006, out);
    }
    if (src == 65000) {
        m_trace.appendChar('7');
        return EncodingUtf7::decode(p, n, out);
    }
    m_trace.appendChar('T');
    if (const SingleByteTable* t = CodePage::singleByte(src)) {
        bool ok = true;
        out.resize(n);
        for (size_t i = 0; i < n; ++i) {
            uint16_t u = t->toUnit[p[i]];
            if (u == SingleByteTable::kNone) {
                u = 0xFFFD;
                ok = false;
            }
            out[i] = static_cast<char16_t>(u);
        }
        return ok;
    }
    CodePage table;
    if (!table.open(src)) {
        m_missingTable = src;
        return false;
    }
    bool ok = true;
    out.resize(n + 16);
    char16_t* w = &out[0];
    const unsigned char* r = p;
    const unsigned char* end = p + n;
    for (;;) {
        char16_t* wEnd = &out[0] + out.size();
        int badLen = 0;
        CodePage::Status st = table.toUtf16(r, end, w, wEnd, badLen);
        if (st == CodePage::Status::kDone) break;
        if (st == CodePage::Status::kError) {
            ok = false;
            break;
        }
        if (st == CodePage::Status::kOutputFull || w == wEnd) {
            size_t used = static_cast<size_t>(w - out.data());
            out.resize(out.size() * 2);
            w = &out[0] + used;
        }
        if (st == CodePage::Status::kBadChar) {
            *w++ = u'\xFFFD';
            ok = false;
        }
    }
    out.resize(static_cast<size_t>(w - out.data()));
    return ok;
}

bool EncodingConvert::fromUtf16(uint32_t dst, const char16_t* u, size_t n, DataBuffer& out) {
    if (dst == 1200) {
        OutputTail tail(out);
        unsigned char* w = tail.reserve(2 * n);
        if (!w) return false;
        for (size_t i = 0; i < n; ++i) {
            *w++ = static_cast<unsigned char>(u[i]);
            *w++ = static_cast<unsigned char>(u[i] >> 8);
        }
        tail.commit(w);
        return true;
    }
    if (dst == 65001) {
        m_trace.appendChar('e');
        return EncodingUtf8().fromUtf16(u, n, out);
    }
    m_trace.appendChar('t');
    std::u16string folded;
    if (dst == 28596) {
        folded.assign(u, n);
        for (char16_t& c : folded) c = static_cast<char16_t>(foldArabicDigit(c));
        u = folded.data();
    }
    return fromUtf16Table(dst, u, n, out);
}

bool EncodingConvert::fromUtf16Table(uint32_t dst, const char16_t* u, size_t n, DataBuffer& out) {
    bool ok = true;
    OutputTail tail(out);
    if (const SingleByteTable* t = CodePage::singleByte(dst)) {
        unsigned char* w = tail.reserve(n);
        if (!w) return false;
        for (size_t i = 0; i < n; ++i) {
            char16_t c = u[i];
            int b = (c < 0x80 && t->asciiSame) ? c : t->fromUnit(c);
            if (b >= 0) {
                *w++ = static_cast<unsigned char>(b);
                continue;
            }
            int len = (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) ? 2 : 1;
            tail.commit(w);
            ok = badChar(dst, u + i, len, out) && ok;
            i += static_cast<size_t>(len - 1);
            if (!(w = tail.reserve(n - i))) return false;
        }
        tail.commit(w);
        return ok;
    }
    CodePage table;
    if (!table.open(dst)) {
        m_missingTable = dst;
        return false;
    }
    const char16_t* r = u;
    const char16_t* end = u + n;
    size_t room = 2 * n + 16;
    for (;;) {
        unsigned char* w = tail.reserve(room);
        if (!w) return false;
        char16_t bad[2];
        int badLen = 0;
        CodePage::Status st = table.fromUtf16(r, end, w, w + room, bad, badLen);
        tail.commit(w);
        if (st == CodePage::Status::kDone) break;
        if (st == CodePage::Status::kError) return false;
        if (st == CodePage::Status::kOutputFull) room *= 2;
        if (st == CodePage::Status::kBadChar) {
            // What the error action writes goes in the table's single-byte
            // state; dropping the character keeps the state as it is.
            DataBuffer instead;
            ok = (badLen > 0 && badChar(dst, bad, badLen, instead)) && ok;
            if (instead.isEmpty()) continue;
            unsigned char* s = tail.reserve(16);
            if (!s) return false;
            table.shiftOut(s, s + 16);
            tail.commit(s);
            if (!out.append(instead)) return false;
        }
    }
    return ok;
}

bool EncodingConvert::utf8ToSingleByte(uint32_t dst, const unsigned char* p, size_t n, DataBuffer& out) {
    m_trace.appendChar('F');
    const SingleByteTable* t = CodePage::singleByte(dst);
    bool ok = true;
    OutputTail tail(out);
    unsigned char* w = tail.reserve(n);
    if (!w) return false;
    const unsigned char* end = p + n;
    while (p < end) {
        if (t->asciiSame && end - p >= 8 && allAscii8(p)) {
            std::memcpy(w, p, 8);
            w += 8;
            p += 8;
            continue;
        }
        if (*p < 0x80 && t->asciiSame) {
            *w++ = *p++;
            continue;
        }
        bool bad = false;
        uint32_t c = EncodingUtf8::next(p, end, bad);
        if (bad) ok = false;
        if (dst == 28596) c = foldArabicDigit(c);
        int b = c < 0x10000 ? t->fromUnit(static_cast<uint16_t>(c)) : -1;
        if (b >= 0) {
            *w++ = static_cast<unsigned char>(b);
            continue;
        }
        char16_t units[2];
        int len = toUnits(c, units);
        tail.commit(w);
        ok = badChar(dst, units, len, out) && ok;
        if (!(w = tail.reserve(static_cast<size_t>(end - p)))) return false;
    }
    tail.commit(w);
    return ok;
}

bool EncodingConvert::singleByteToUtf8(uint32_t src, const unsigned char* p, size_t n, DataBuffer& out) {
    m_trace.appendChar('f');
    const SingleByteTable* t = CodePage::singleByte(src);
    bool ok = true;
    OutputTail tail(out);
    unsigned char* w = tail.reserve(3 * n);
    if (!w) return false;
    for (size_t i = 0; i < n; ++i) {
        if (t->asciiSame && n - i >= 8 && allAscii8(p + i)) {
            std::memcpy(w, p + i, 8);
            w += 8;
            i += 7;
            continue;
        }
        unsigned char b = p[i];
        if (b < 0x80 && t->asciiSame) {
            *w++ = b;
            continue;
        }
        uint16_t u = t->toUnit[b];
        if (u == SingleByteTable::kNone) {
            u = 0xFFFD;
            ok = false;
        }
        w += EncodingUtf8::put(u, w);
    }
    tail.commit(w);
    return ok;
}

void EncodingConvert::mark(unsigned char kind, DataBuffer& out) {
    if (!m_marker) return;
    const unsigned char m[3] = {kMarker1, kMarker2, kind};
    out.append(m, 3);
}

// Writes what the error action asks for a character (one or two code units)
// that table dst cannot hold; false when the character is lost.
bool EncodingConvert::badChar(uint32_t dst, const char16_t* units, int len, DataBuffer& out) {
    switch (m_errorAction) {
    case kReplace:
        if (m_replacement.empty()) return true;
        mark(static_cast<unsigned char>(m_replacement.size()), out);
        return out.append(m_replacement.data(), m_replacement.size());
    case kHtmlRef: {
        uint32_t cp = units[0];
        if (len == 2) cp = 0x10000 + ((cp - 0xD800u) << 10) + (units[1] - 0xDC00u);
        char ref[16];
        int n = std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(cp));
        mark(kMarkHtmlRef, out);
        return out.append(ref, static_cast<size_t>(n));
    }
    case kAltCodePage:
        return writeAlternate(dst, units, len, out);
    case kPassUnit:
        for (int i = 0; i < len; ++i) {
            mark(kMarkPassUnit, out);
            out.appendByte(static_cast<unsigned char>(units[i]));
            out.appendByte(static_cast<unsigned char>(units[i] >> 8));
        }
        return true;
    default:
        return false;
    }
}

// The character in the alternate code page; with none set, the target's
// default character instead.
bool EncodingConvert::writeAlternate(uint32_t dst, const char16_t* units, int len, DataBuffer& out) {
    static const char16_t kDefaultChar[1] = {u'?'};
    uint32_t alt = m_altCodePage;
    if (alt == 0 || alt == dst) {
        alt = dst;
        units = kDefaultChar;
        len = 1;
    }
    unsigned char le[4];
    for (int i = 0; i < len; ++i) {
        le[2 * i] = static_cast<unsigned char>(units[i]);
        le[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    EncodingConvert inner;
    LogNull quiet;
    return inner.convert(1200, alt, le, 2 * static_cast<size_t>(len), out, quiet);
}

}  // namespace ostmail
