// Base64 (RFC 4648 section 4 alphabet, '=' padding) in the line layout of
// RFC 2045 section 6.8.
#include "core/ContentCoding.h"

#include "core/CodingStage.h"
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstring>

namespace ostmail {
namespace coding {
const char kBase64Alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHexUpper[17] = "0123456789ABCDEF";
}  // namespace coding

namespace {

constexpr size_t kBase64Stage = 256;
constexpr uint32_t kMaxOut = 0xFFFFFF00u;  // buffers carry 32-bit sizes

// Two output characters for every 12-bit value, so one lookup does half a group.
struct PairTable {
    char v[4096][2];
    constexpr PairTable() : v() {
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 4096; ++i) {
            v[i][0] = a[i >> 6];
            v[i][1] = a[i & 63];
        }
    }
};
constexpr PairTable kPairs;

// 0..63 for the alphabet, kSkip for anything to pass over, kStop for the
// characters that end the data.
constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kStop = 0x80;
struct DecodeTable {
    uint8_t v[256];
    constexpr DecodeTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = kSkip;
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(a[i])] = static_cast<uint8_t>(i);
        v[0] = kStop;
        v[static_cast<unsigned char>('=')] = kStop;
    }
};
constexpr DecodeTable kDecode;

inline void put12(char* out, uint32_t v12) { std::memcpy(out, kPairs.v[v12], 2); }

// Encodes whole groups; 'avail' is how many input bytes may be read, which
// lets the wide path load 8 bytes for 6 without reading past the input.
char* encodeGroups(const unsigned char* in, size_t groups, size_t avail, char* out) {
    while (groups >= 2 && avail >= 8) {
        uint64_t w;
        std::memcpy(&w, in, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        w = __builtin_bswap64(w);  // first input byte in the top bits
#endif
        put12(out, static_cast<uint32_t>(w >> 52) & 0xFFF);
        put12(out + 2, static_cast<uint32_t>(w >> 40) & 0xFFF);
        put12(out + 4, static_cast<uint32_t>(w >> 28) & 0xFFF);
        put12(out + 6, static_cast<uint32_t>(w >> 16) & 0xFFF);
        in += 6;
        out += 8;
        avail -= 6;
        groups -= 2;
    }
    for (; groups > 0; --groups, in += 3, out += 4) {
        uint32_t v = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
        put12(out, v >> 12);
        put12(out + 2, v & 0xFFF);
    }
    return out;
}

// The last 1 or 2 bytes: "xx==" or "xxx=".
char* encodeTail(const unsigned char* in, size_t rem, char* out) {
    const char* a = coding::kBase64Alphabet;
    uint32_t v = uint32_t(in[0]) << 16;
    if (rem == 2) v |= uint32_t(in[1]) << 8;
    out[0] = a[v >> 18];
    out[1] = a[(v >> 12) & 63];
    out[2] = rem == 2 ? a[(v >> 6) & 63] : '=';
    out[3] = '=';
    return out + 4;
}

bool sizeOk(uint64_t estimate, const StringBuffer& out) { return estimate + out.getSize() < kMaxOut; }

}  // namespace

bool ContentCoding::encodeBase64(const void* data, size_t n, StringBuffer& out) const {
    if (!data || n == 0) return false;
    const uint64_t body = (5 * uint64_t(n) + 10) / 3;
    const uint64_t estimate = 2 * body / uint64_t(m_lineLength) + body + 3;
    if (!sizeOk(estimate, out)) return false;
    out.expectNumBytes(static_cast<size_t>(estimate));

    const unsigned char* in = static_cast<const unsigned char*>(data);
    const size_t lineGroups = (static_cast<size_t>(m_lineLength) + 3) / 4;
    size_t groups = n / 3;
    size_t avail = n;
    size_t onLine = 0;
    CodingStage<kBase64Stage> st(out);
    while (groups > 0) {
        st.need(6);  // one group and a CRLF
        size_t take = lineGroups - onLine;
        if (take > groups) take = groups;
        const size_t fit = (st.room() - 2) / 4;
        if (take > fit) take = fit;
        st.cursor() = encodeGroups(in, take, avail, st.cursor());
        in += 3 * take;
        avail -= 3 * take;
        groups -= take;
        onLine += take;
        if (onLine == lineGroups) {
            st.putCrlf();
            onLine = 0;
        }
    }
    st.need(6);
    if (avail > 0) st.cursor() = encodeTail(in, avail, st.cursor());
    st.putCrlf();
    st.flush();
    return true;
}

bool ContentCoding::encodeBase64Flat(const void* data, size_t n, StringBuffer& out) {
    if (!data || n == 0) return false;
    const uint64_t estimate = (uint64_t(n) + 2) / 3 * 4;
    if (!sizeOk(estimate, out)) return false;
    out.expectNumBytes(static_cast<size_t>(estimate));

    const unsigned char* in = static_cast<const unsigned char*>(data);
    size_t groups = n / 3;
    size_t avail = n;
    CodingStage<kBase64Stage> st(out);
    while (groups > 0) {
        st.need(4);
        size_t take = st.room() / 4;
        if (take > groups) take = groups;
        st.cursor() = encodeGroups(in, take, avail, st.cursor());
        in += 3 * take;
        avail -= 3 * take;
        groups -= take;
    }
    st.need(4);
    if (avail > 0) st.cursor() = encodeTail(in, avail, st.cursor());
    st.flush();
    return true;
}

namespace {

// Decodes into out (room for 3 bytes per 4 characters checked by the caller);
// returns the end of the written bytes.
unsigned char* decodeInto(const unsigned char* s, const unsigned char* end, unsigned char* out) {
    const uint8_t* t = kDecode.v;
    uint32_t acc = 0;
    int pending = 0;
    while (s < end) {
        if (pending == 0 && end - s >= 4) {
            const uint32_t a = t[s[0]], b = t[s[1]], c = t[s[2]], d = t[s[3]];
            if (((a | b | c | d) & (kSkip | kStop)) == 0) {
                const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
                out[0] = static_cast<unsigned char>(v >> 16);
                out[1] = static_cast<unsigned char>(v >> 8);
                out[2] = static_cast<unsigned char>(v);
                out += 3;
                s += 4;
                continue;
            }
        }
        const uint8_t x = t[*s++];
        if (x & kStop) break;
        if (x & kSkip) continue;
        acc = (acc << 6) | x;
        if (++pending == 4) {
            out[0] = static_cast<unsigned char>(acc >> 16);
            out[1] = static_cast<unsigned char>(acc >> 8);
            out[2] = static_cast<unsigned char>(acc);
            out += 3;
            acc = 0;
            pending = 0;
        }
    }
    // A short final group yields the whole bytes it completes.
    if (pending == 2) {
        *out++ = static_cast<unsigned char>(acc >> 4);
    } else if (pending == 3) {
        *out++ = static_cast<unsigned char>(acc >> 10);
        *out++ = static_cast<unsigned char>(acc >> 2);
    }
    return out;
}

}  // namespace

bool ContentCoding::decodeBase64(const char* text, size_t n, DataBuffer& out) {
    if (!text || n == 0) return false;
    const uint64_t most = uint64_t(n) / 4 * 3 + 3;
    const uint32_t had = out.getSize();
    if (most + had + 1 >= kMaxOut) return false;
    if (!out.ensureCapacity(static_cast<size_t>(had + most + 1))) return false;

    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    unsigned char* base = out.getMutable();
    unsigned char* end = decodeInto(s, s + n, base + had);
    const uint32_t size = static_cast<uint32_t>(end - base);
    out.setSize(size);
    base[size] = 0;
    return true;
}

bool ContentCoding::isBase64(const char* text, size_t n) {
    if (!text || n == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '=' || c == '\0') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c < '+' || c > 'z') return false;
    }
    return true;
}

}  // namespace ostmail
