#include "core/Japanese.h"

#include <cstring>

namespace ostmail {

namespace {

constexpr unsigned char kEsc = 0x1B, kSO = 0x0E, kSI = 0x0F;

enum class Set { kAscii, kJis0208, kKana, kJis0212 };

bool isLead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool isTrail(unsigned char b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// JIS X 0208 row/cell bytes (0x21-0x7E each) to Shift_JIS.
void jisToSjis(unsigned char j1, unsigned char j2, unsigned char out[2]) {
    out[0] = static_cast<unsigned char>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
    if (j1 & 1) {
        out[1] = static_cast<unsigned char>(j2 + (j2 <= 0x5F ? 0x1F : 0x20));
    } else {
        out[1] = static_cast<unsigned char>(j2 + 0x7E);
    }
}

// Shift_JIS to JIS X 0208; false when the character lies outside 94x94.
bool sjisToJis(unsigned char s1, unsigned char s2, unsigned char out[2]) {
    int row2 = (s1 - (s1 <= 0x9F ? 0x70 : 0xB0)) * 2;
    int j1, j2;
    if (s2 < 0x9F) {
        j1 = row2 - 1;
        j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
    } else {
        j1 = row2;
        j2 = s2 - 0x7E;
    }
    if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E) return false;
    out[0] = static_cast<unsigned char>(j1);
    out[1] = static_cast<unsigned char>(j2);
    return true;
}

// Full-width forms of the half-width katakana 0xA1-0xDF, as JIS X 0208.
const uint16_t kFullWidthKana[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529, 0x2563, 0x2565,
    0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F, 0x2531, 0x2533,
    0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C,
    0x254D, 0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564,
    0x2566, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};

// Full-width kana for a half-width one, folding a following (semi-)voiced
// mark into it where a combined kana exists. Returns the bytes consumed.
int fullWidthKana(const unsigned char* p, const unsigned char* end, uint16_t& jis) {
    unsigned char b = p[0];
    jis = kFullWidthKana[b - 0xA1];
    if (p + 1 >= end) return 1;
    bool voicedNext = p[1] == 0xDE, semiNext = p[1] == 0xDF;
    bool kaToTo = b >= 0xB6 && b <= 0xC4;  // KA..TO take the voiced mark
    bool haToHo = b >= 0xCA && b <= 0xCE;  // HA..HO take both marks
    if (voicedNext && (kaToTo || haToHo)) {
        jis = static_cast<uint16_t>(jis + 1);
        return 2;
    }
    if (semiNext && haToHo) {
        jis = static_cast<uint16_t>(jis + 2);
        return 2;
    }
    if (voicedNext && b == 0xB3) {  // U + voiced mark = VU
        jis = 0x2574;
        return 2;
    }
    return 1;
}

struct Escape {
    const char* seq;  // after ESC
    bool selects;     // false: announcer or SO designation, no set change
    Set set;
};

const Escape kEscapes[] = {
    {"(B", true, Set::kAscii},     {"(J", true, Set::kAscii},     {"(H", true, Set::kAscii},
    {"(I", true, Set::kKana},      {"$@", true, Set::kJis0208},   {"$B", true, Set::kJis0208},
    {"$(@", true, Set::kJis0208},  {"$(B", true, Set::kJis0208},  {"$(D", true, Set::kJis0212},
    {"&@", false, Set::kAscii},    {")I", false, Set::kAscii},
};

// Length of the escape sequence at p, updating set; known is false for an
// unknown or cut-off sequence, whose ISO 2022 length is returned instead
// (intermediate bytes 0x20-0x2F and one final byte).
size_t readEscape(const unsigned char* p, const unsigned char* end, Set& set, bool& known) {
    size_t left = static_cast<size_t>(end - p) - 1;
    known = true;
    for (const Escape& e : kEscapes) {
        size_t n = std::strlen(e.seq);
        if (left >= n && std::memcmp(p + 1, e.seq, n) == 0) {
            if (e.selects) set = e.set;
            return n + 1;
        }
    }
    known = false;
    size_t len = 1;
    while (len <= left && p[len] >= 0x20 && p[len] <= 0x2F) ++len;
    if (len <= left && p[len] >= 0x30 && p[len] <= 0x7E) ++len;
    return len;
}

// Writes the escape that selects a set, when it is not selected already.
class SetSwitch {
public:
    explicit SetSwitch(DataBuffer& out) : m_out(out) {}
    void select(Set s) {
        if (m_shifted) {
            m_out.appendByte(kSI);
            m_shifted = false;
        }
        if (s == m_set) return;
        m_set = s;
        m_out.append(s == Set::kAscii ? "\x1B(B" : s == Set::kKana ? "\x1B(I" : "\x1B$B", 3);
    }
    void shiftOut() {
        if (!m_kanaDesignated) {
            m_out.append("\x1B)I", 3);
            m_kanaDesignated = true;
        }
        if (!m_shifted) m_out.appendByte(kSO);
        m_shifted = true;
    }

private:
    DataBuffer& m_out;
    Set m_set = Set::kAscii;
    bool m_shifted = false;
    bool m_kanaDesignated = false;
};

}  // namespace

bool Japanese::toShiftJis(const unsigned char* in, size_t n, DataBuffer& out) {
    bool clean = true;
    Set set = Set::kAscii;
    bool shifted = false;
    const unsigned char* end = in + n;
    const unsigned char* p = in;
    while (p < end) {
        unsigned char b = *p;
        if (b == kEsc) {
            bool known = false;
            p += readEscape(p, end, set, known);
            if (!known) clean = false;
            continue;
        }
        ++p;
        if (b == kSO || b == kSI) {
            shifted = (b == kSO);
        } else if (b <= 0x20 || b == 0x7F) {
            out.appendByte(b);
        } else if (b >= 0x80) {
            // Raw 8-bit kana are seen in the wild; nothing else is allowed.
            if (b >= 0xA1 && b <= 0xDF) out.appendByte(b);
            else clean = false;
        } else if (shifted || set == Set::kKana) {
            if (b <= 0x5F) out.appendByte(static_cast<unsigned char>(b + 0x80));
            else clean = false;
        } else if (set == Set::kJis0208 || set == Set::kJis0212) {
            if (p >= end || *p < 0x21 || *p > 0x7E) {
                clean = false;
                continue;
            }
            unsigned char sj[2];
            jisToSjis(b, *p++, sj);
            if (set == Set::kJis0208) out.append(sj, 2);
            else clean = false;  // JIS X 0212 has no Shift_JIS form
        } else {
            out.appendByte(b);
        }
    }
    return clean;
}

bool Japanese::fromShiftJis(const unsigned char* in, size_t n, uint32_t codePage, bool markers,
                            DataBuffer& out) {
    bool clean = true;
    SetSwitch sw(out);
    const unsigned char* end = in + n;
    const unsigned char* p = in;
    while (p < end) {
        unsigned char b = *p;
        if (markers && b == 0xFD && end - p >= 3 && p[1] == 0xEF) {
            size_t len = 3 + (p[2] < 6 ? p[2] : 0);
            if (len > static_cast<size_t>(end - p)) len = static_cast<size_t>(end - p);
            sw.select(Set::kAscii);
            out.append(p, len);
            p += len;
        } else if (b < 0x80) {
            sw.select(Set::kAscii);
            out.appendByte(b);
            ++p;
        } else if (b >= 0xA1 && b <= 0xDF) {
            if (codePage == 50220) {
                uint16_t jis;
                p += fullWidthKana(p, end, jis);
                sw.select(Set::kJis0208);
                out.appendByte(static_cast<unsigned char>(jis >> 8));
                out.appendByte(static_cast<unsigned char>(jis & 0xFF));
                continue;
            }
            if (codePage == 50222) sw.shiftOut();
            else sw.select(Set::kKana);
            out.appendByte(static_cast<unsigned char>(b - 0x80));
            ++p;
        } else if (isLead(b) && end - p >= 2 && isTrail(p[1])) {
            unsigned char jis[2];
            if (sjisToJis(b, p[1], jis)) {
                sw.select(Set::kJis0208);
                out.append(jis, 2);
            } else {
                clean = false;
            }
            p += 2;
        } else {
            clean = false;
            ++p;
        }
    }
    sw.select(Set::kAscii);
    return clean;
}

}  // namespace ostmail
