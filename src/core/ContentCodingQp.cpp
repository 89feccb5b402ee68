// Quoted-printable (RFC 2045 section 6.7) and the Q text of RFC 2047
// section 4.2.
#include "core/CodingStage.h"
#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {
namespace {

constexpr size_t kQpStage = 2000;
constexpr size_t kMaxIn = 0xFFFFFF00u;  // buffers carry 32-bit sizes
constexpr size_t kStepMax = 8;  // widest single step: "=XX" then "=\r\n"

// Byte classes for the quoted-printable encoder.
enum : uint8_t { kLit = 0, kBlank = 1, kEscape = 2 };
struct QpClassTable {
    uint8_t v[256];
    constexpr QpClassTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = (i >= 33 && i <= 126 && i != '=') ? kLit : kEscape;
        v[static_cast<unsigned char>(' ')] = kBlank;
        v[static_cast<unsigned char>('\t')] = kBlank;
    }
};
constexpr QpClassTable kQp;

// Blanks before a line break or at the very end would be stripped in transit.
inline bool blankNeedsEscape(const unsigned char* s, const unsigned char* end) {
    return s + 1 == end || (end - s >= 3 && s[1] == '\r' && s[2] == '\n');
}

// Eight bytes that are all printable, none '=' and none a control; a
// space inside may stay as it is because no CR can follow it in the block.
inline bool plainBlock(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    const uint64_t below20 = (w - ones * 0x20) & ~w & highs;
    const uint64_t above7e = ((w + ones * (127 - 126)) | w) & highs;
    const uint64_t eq = w ^ (ones * '=');
    const uint64_t hasEq = (eq - ones) & ~eq & highs;
    return (below20 | above7e | hasEq) == 0;
}

inline bool crlfAt(const unsigned char* s, const unsigned char* end) {
    return end - s >= 2 && s[0] == '\r' && s[1] == '\n';
}

struct QpState {
    const unsigned char* s;
    const unsigned char* end;
    size_t count;
};

// One byte (or one CRLF) at the slow path's pace.
void qpStep(QpState& q, char*& out) {
    const unsigned char c = *q.s;
    if (q.count == 0 && c == '.') {
        // a lone dot would end the SMTP data
        coding::putHexEscape(out, c);
        out += 3;
        q.count = 3;
    } else if (q.count == 0 && c == 'F' && q.end - q.s >= 5 && q.s[1] == 'r' && q.s[2] == 'o' &&
               q.s[3] == 'm' && q.s[4] == ' ') {
        // mbox readers would mangle "From " at a line start
        coding::putHexEscape(out, c);
        out += 3;
        q.count = 3;
    } else if (c == '\r' && q.s + 1 < q.end && q.s[1] == '\n') {
        *out++ = '\r';
        *out++ = '\n';
        q.count = 0;
        q.s += 2;
        return;
    } else if (kQp.v[c] == kLit || (kQp.v[c] == kBlank && !blankNeedsEscape(q.s, q.end))) {
        *out++ = static_cast<char>(c);
        ++q.count;
    } else {
        coding::putHexEscape(out, c);
        out += 3;
        q.count += 3;
    }
    ++q.s;
}

// Copies plain bytes while the line has room; stops before anything that
// the slow path must decide.
void qpRun(QpState& q, size_t limit, char*& out) {
    // Locals, not the referenced cursor: a char store may alias it and would
    // force a reload on every byte.
    const unsigned char* s = q.s;
    const unsigned char* const stop = q.s + limit;
    const unsigned char* const end = q.end;
    char* o = out;
    while (s < stop) {
        if (stop - s >= 8) {
            uint64_t w;
            std::memcpy(&w, s, 8);
            if (plainBlock(w)) {
                // a space in the last place may precede a CRLF: leave it to the byte path
                const size_t take = s[7] == ' ' ? 7 : 8;
                std::memcpy(o, s, 8);
                s += take;
                o += take;
                continue;
            }
        }
        const uint8_t k = kQp.v[*s];
        if (k != kLit && (k != kBlank || blankNeedsEscape(s, end))) break;
        *o++ = static_cast<char>(*s++);
    }
    out = o;
    q.count += static_cast<size_t>(s - q.s);
    q.s = s;
}

}  // namespace

bool ContentCoding::encodeQuotedPrintable(const void* data, size_t n, StringBuffer& out) const {
    if (!data || n == 0 || n >= kMaxIn) return false;
    out.expectNumBytes(n + n / 16 + 16);
    const size_t lineLen = static_cast<size_t>(m_lineLength);
    QpState q{static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + n, 0};
    CodingStage<kQpStage> st(out);
    while (q.s < q.end) {
        st.need(kStepMax);
        const unsigned char c = *q.s;
        const bool lineStart = q.count == 0 && (c == '.' || c == 'F');
        const unsigned char* before = q.s;
        if (!lineStart && q.count < lineLen) {
            size_t limit = lineLen - q.count;
            const size_t left = static_cast<size_t>(q.end - q.s);
            const size_t fit = st.room() - kStepMax;
            if (limit > left) limit = left;
            if (limit > fit) limit = fit;
            qpRun(q, limit, st.cursor());
        }
        if (q.s == before) qpStep(q, st.cursor());
        // soft break, unless a hard break follows at once
        if (q.count >= lineLen && !crlfAt(q.s, q.end)) {
            st.put("=\r\n", 3);
            q.count = 0;
        }
    }
    st.flush();
    return true;
}

namespace {

// One line without its break: "=XX" escapes, other bytes as they are.
unsigned char* qpDecodeLine(const unsigned char* s, const unsigned char* end, unsigned char* out) {
    while (s < end) {
        if (*s == '=' && end - s >= 3) {
            const int hi = coding::hexValue(s[1]);
            const int lo = coding::hexValue(s[2]);
            if (hi >= 0 && lo >= 0) {
                *out++ = static_cast<unsigned char>(hi * 16 + lo);
                s += 3;
                continue;
            }
        }
        *out++ = *s++;
    }
    return out;
}

inline bool isTrailingSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool ContentCoding::decodeQuotedPrintable(const void* data, size_t n, DataBuffer& out) {
    if (!data || n == 0) return false;
    const unsigned char* s = static_cast<const unsigned char*>(data);
    const unsigned char* nul = static_cast<const unsigned char*>(std::memchr(s, 0, n));
    const unsigned char* end = nul ? nul : s + n;
    const uint32_t had = out.getSize();
    // A hard break may grow from LF to CRLF: at most 2 bytes out per byte in.
    const uint64_t most = 2 * uint64_t(end - s) + 1;
    if (most + had >= 0xFFFFFF00u) return false;
    if (!out.ensureCapacity(static_cast<size_t>(had + most))) return false;
    unsigned char* base = out.getMutable();
    unsigned char* w = base + had;
    while (s < end) {
        const unsigned char* lf = static_cast<const unsigned char*>(std::memchr(s, '\n', end - s));
        const unsigned char* lineEnd = lf ? lf : end;
        while (lineEnd > s && isTrailingSpace(lineEnd[-1])) --lineEnd;
        const bool soft = lineEnd > s && lineEnd[-1] == '=';
        w = qpDecodeLine(s, soft ? lineEnd - 1 : lineEnd, w);
        if (lf && !soft) {
            *w++ = '\r';
            *w++ = '\n';
        }
        s = lf ? lf + 1 : end;
    }
    const uint32_t size = static_cast<uint32_t>(w - base);
    out.setSize(size);
    base[size] = 0;
    return true;
}

}  // namespace ostmail
