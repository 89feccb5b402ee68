#include "core/Korean.h"

#include <cstring>

namespace ostmail {

namespace {

constexpr unsigned char kSO = 0x0E, kSI = 0x0F;
const char kDesignator[] = "\x1B$)C";

bool isKsByte(unsigned char b) { return b >= 0xA1 && b <= 0xFE; }

bool hasKsPair(const unsigned char* in, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) {
        if (in[i] >= 0x80) {
            if (isKsByte(in[i]) && isKsByte(in[i + 1])) return true;
            ++i;  // skip the trail byte of another pair
        }
    }
    return false;
}

}  // namespace

bool Korean::toEucKr(const unsigned char* in, size_t n, DataBuffer& out) {
    bool clean = true;
    bool shifted = false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = in[i];
        if (b == 0x1B) {
            if (n - i >= 4 && std::memcmp(in + i, kDesignator, 4) == 0) {
                i += 3;
                continue;
            }
            // Skip an unknown or cut-off ISO 2022 escape as a whole.
            clean = false;
            while (i + 1 < n && in[i + 1] >= 0x20 && in[i + 1] <= 0x2F) ++i;
            if (i + 1 < n && in[i + 1] >= 0x30 && in[i + 1] <= 0x7E) ++i;
        } else if (b == kSO || b == kSI) {
            shifted = (b == kSO);
        } else if (b == '\r' || b == '\n') {
            shifted = false;
            out.appendByte(b);
        } else if (shifted && b >= 0x21 && b <= 0x7E) {
            if (i + 1 < n && in[i + 1] >= 0x21 && in[i + 1] <= 0x7E) {
                out.appendByte(static_cast<unsigned char>(b | 0x80));
                out.appendByte(static_cast<unsigned char>(in[++i] | 0x80));
            } else {
                clean = false;
            }
        } else {
            out.appendByte(b);
        }
    }
    return clean;
}

bool Korean::fromEucKr(const unsigned char* in, size_t n, bool markers, DataBuffer& out, const Lacking& lacking) {
    bool clean = true;
    bool shifted = false;
    if (hasKsPair(in, n)) out.append(kDesignator, 4);
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = in[i];
        bool marked = markers && b == 0xFD && n - i >= 3 && in[i + 1] == 0xEF;
        if (marked || b < 0x80) {
            if (shifted) out.appendByte(kSI);
            shifted = false;
            if (!marked) {
                out.appendByte(b);
                continue;
            }
            size_t len = 3 + (in[i + 2] < 6 ? in[i + 2] : 0);
            if (len > n - i) len = n - i;
            out.append(in + i, len);
            i += len - 1;
        } else if (i + 1 < n && isKsByte(b) && isKsByte(in[i + 1])) {
            if (!shifted) out.appendByte(kSO);
            shifted = true;
            out.appendByte(static_cast<unsigned char>(b & 0x7F));
            out.appendByte(static_cast<unsigned char>(in[++i] & 0x7F));
        } else {
            // A UHC extension (or a broken pair) has no ISO-2022-KR form;
            // what the error action writes instead goes unshifted.
            bool pair = i + 1 < n && in[i + 1] >= 0x41;
            if (pair && lacking) {
                if (shifted) out.appendByte(kSI);
                shifted = false;
                if (!lacking(in + i, out)) clean = false;
            } else {
                clean = false;
            }
            if (pair) ++i;
        }
    }
    if (shifted) out.appendByte(kSI);
    return clean;
}

}  // namespace ostmail
