#pragma once
#include "core/StringBuffer.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

// Fixed block that encoders fill with plain pointer writes and hand to the
// output string in one append, so the hot loops never go through a checked
// per-byte call.
template <size_t N>
class CodingStage {
public:
    explicit CodingStage(StringBuffer& out) : m_out(out), m_pos(m_buf) {}
    CodingStage(const CodingStage&) = delete;
    CodingStage& operator=(const CodingStage&) = delete;

    size_t room() const { return N - static_cast<size_t>(m_pos - m_buf); }
    // Makes room for at least n more bytes (n <= N).
    void need(size_t n) {
        if (room() < n) flush();
    }
    void put(char c) { *m_pos++ = c; }
    void put(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) *m_pos++ = s[i];
    }
    void putCrlf() {
        m_pos[0] = '\r';
        m_pos[1] = '\n';
        m_pos += 2;
    }
    char*& cursor() { return m_pos; }
    void flush() {
        if (m_pos != m_buf) m_out.appendN(m_buf, static_cast<size_t>(m_pos - m_buf));
        m_pos = m_buf;
    }

private:
    StringBuffer& m_out;
    char m_buf[N];
    char* m_pos;
};

namespace coding {

extern const char kBase64Alphabet[65];
extern const char kHexUpper[17];

// Value of a hex digit of either case, or -1.
inline int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline void putHexEscape(char* out, unsigned char b) {
    out[0] = '=';
    out[1] = kHexUpper[b >> 4];
    out[2] = kHexUpper[b & 15];
}

}  // namespace coding
}  // namespace ostmail
