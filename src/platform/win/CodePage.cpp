#include "platform/CodePage.h"
#include "platform/CodePageTables.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace ostmail {
namespace platform {

namespace {

// Converted by the library's own code, never through the system tables.
bool ownCode(uint32_t cp) {
    switch (cp) {
        case 1200: case 1201: case 12000: case 12001: case 65000: case 65001:
        case 50220: case 50221: case 50222: case 50225: case 10004:
            return true;
        default:
            return false;
    }
}

// Pages whose conversions refuse the "stop at a bad character" flags.
bool refusesFlags(uint32_t cp) {
    return cp == 42 || cp == 52936 || cp == 54936 || cp == 50227 || cp == 50229 || (cp >= 57002 && cp <= 57011);
}

// Shift states: such a text cannot be cut between characters.
bool stateful(uint32_t cp) { return cp == 50227 || cp == 50229 || cp == 52936 || (cp >= 50930 && cp <= 50939); }

bool installed(uint32_t cp) { return cp <= 0xFFFF && !ownCode(cp) && IsValidCodePage(cp); }

// Bytes of one character; 0 with usedDefault set when the page lacks it.
int encode(uint32_t cp, const char16_t* u, int n, char* out, int room, bool& lacks) {
    BOOL usedDefault = FALSE;
    bool strict = !refusesFlags(cp);
    int r = WideCharToMultiByte(cp, strict ? WC_NO_BEST_FIT_CHARS : 0, reinterpret_cast<LPCWCH>(u), n, out, room,
                                nullptr, strict ? &usedDefault : nullptr);
    lacks = r == 0 || usedDefault;
    return r;
}

int decode(uint32_t cp, const unsigned char* p, int n, char16_t* out, int room) {
    DWORD flags = refusesFlags(cp) ? 0 : MB_ERR_INVALID_CHARS;
    return MultiByteToWideChar(cp, flags, reinterpret_cast<LPCCH>(p), n, reinterpret_cast<LPWSTR>(out), room);
}

// The unit a byte maps to, when it also maps back to that byte; else -1.
int roundTrip(uint32_t cp, unsigned char byte) {
    char16_t u = 0;
    char back = 0;
    bool lacks = true;
    if (decode(cp, &byte, 1, &u, 1) == 1) encode(cp, &u, 1, &back, 1, lacks);
    return lacks || static_cast<unsigned char>(back) != byte ? -1 : u;
}

const PageInfo& pageInfo(uint32_t codePage) {
    return cachedPageInfo(codePage, [](uint32_t cp, PageInfo& info) {
        CPINFO cpi;
        if (installed(cp) && GetCPInfo(cp, &cpi)) {
            info.hasTable = true;
            if (cpi.MaxCharSize == 1)
                info.single = buildSingleByte([cp](unsigned char b) { return roundTrip(cp, b); });
        }
    });
}

bool highSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool lowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A block of whole characters from in, at most max units.
const char16_t* blockEnd(const char16_t* in, const char16_t* end, size_t max) {
    const char16_t* e = in + std::min<size_t>(max, static_cast<size_t>(end - in));
    if (e < end && e > in && highSurrogate(e[-1])) --e;
    return e;
}

}  // namespace

struct CodePage::Converter {
    uint32_t cp;
};

void CodePage::Closer::operator()(Converter* c) const { delete c; }

bool CodePage::hasTable(uint32_t codePage) { return pageInfo(codePage).hasTable; }

const SingleByteTable* CodePage::singleByte(uint32_t codePage) { return pageInfo(codePage).single.get(); }

bool CodePage::open(uint32_t codePage) {
    close();
    if (!hasTable(codePage)) return false;
    m_conv.reset(new Converter{codePage});
    return true;
}

void CodePage::close() { m_conv.reset(); }

// Stateful pages are converted whole, so no call here ends inside a
// double-byte run.
bool CodePage::shiftOut(unsigned char*& out, unsigned char* outEnd) {
    (void)out;
    (void)outEnd;
    return m_conv != nullptr;
}

CodePage::Status CodePage::fromUtf16(const char16_t*& in, const char16_t* end, unsigned char*& out,
                                     unsigned char* outEnd, char16_t bad[2], int& badLen) {
    badLen = 0;
    if (!m_conv) return Status::kError;
    const uint32_t cp = m_conv->cp;
    char* dst = reinterpret_cast<char*>(out);
    const int room = static_cast<int>(std::min<ptrdiff_t>(outEnd - out, 0x3FFFFFFF));
    if (in == end) return Status::kDone;
    if (stateful(cp)) {
        // Whole text in one call, shift sequences included.
        bool lacks = false;
        int need = encode(cp, in, static_cast<int>(end - in), nullptr, 0, lacks);
        if (need <= 0) return Status::kError;
        if (need > room) return Status::kOutputFull;
        encode(cp, in, static_cast<int>(end - in), dst, room, lacks);
        out += need;
        in = end;
        return Status::kDone;
    }
    const char16_t* slowUntil = in;
    while (in < end) {
        // Blocks first; one character at a time through a block that failed.
        bool lacks = false;
        int r = 0;
        if (in >= slowUntil) {
            const char16_t* e = blockEnd(in, end, 4096);
            int left = room - static_cast<int>(dst - reinterpret_cast<char*>(out));
            r = encode(cp, in, static_cast<int>(e - in), dst, left, lacks);
            if (r > 0 && !lacks) {
                dst += r;
                in = e;
                continue;
            }
            slowUntil = e;
        }
        int len = highSurrogate(in[0]) && in + 1 < end && lowSurrogate(in[1]) ? 2 : 1;
        char one[16];
        r = encode(cp, in, len, one, sizeof one, lacks);
        if (lacks) {
            bad[0] = in[0];
            if (len == 2) bad[1] = in[1];
            badLen = len;
            in += len;
            out = reinterpret_cast<unsigned char*>(dst);
            return Status::kBadChar;
        }
        if (r > reinterpret_cast<char*>(outEnd) - dst) {
            out = reinterpret_cast<unsigned char*>(dst);
            return Status::kOutputFull;
        }
        std::memcpy(dst, one, static_cast<size_t>(r));
        dst += r;
        in += len;
    }
    out = reinterpret_cast<unsigned char*>(dst);
    return Status::kDone;
}

CodePage::Status CodePage::toUtf16(const unsigned char*& in, const unsigned char* end, char16_t*& out,
                                   char16_t* outEnd, int& badLen) {
    badLen = 0;
    if (!m_conv) return Status::kError;
    const uint32_t cp = m_conv->cp;
    if (in == end) return Status::kDone;
    const int n = static_cast<int>(std::min<ptrdiff_t>(end - in, 0x3FFFFFFF));
    const int room = static_cast<int>(std::min<ptrdiff_t>(outEnd - out, 0x3FFFFFFF));
    int need = decode(cp, in, n, nullptr, 0);
    if (need > 0 && (need <= room || stateful(cp))) {
        if (need > room) return Status::kOutputFull;
        decode(cp, in, n, out, room);
        out += need;
        in += n;
        return in == end ? Status::kDone : Status::kOutputFull;
    }
    if (stateful(cp)) return Status::kError;
    // Character by character up to the first that does not convert: the
    // shortest prefix of 1 to 4 bytes that decodes is one character.
    while (in < end) {
        char16_t one[4];
        int len = 0, r = 0;
        for (int k = 1; k <= 4 && in + k <= end && r <= 0; ++k) {
            r = decode(cp, in, k, one, 4);
            len = k;
        }
        if (r <= 0) {
            badLen = 1;
            ++in;
            return Status::kBadChar;
        }
        if (r > outEnd - out) return Status::kOutputFull;
        std::memcpy(out, one, static_cast<size_t>(r) * sizeof(char16_t));
        out += r;
        in += len;
    }
    return Status::kDone;
}

}  // namespace platform
}  // namespace ostmail
