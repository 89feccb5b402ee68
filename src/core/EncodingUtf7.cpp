#include "core/EncodingUtf7.h"

namespace ostmail {

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// '+' is written as "+-"; '\' and '~' are left out of set O on purpose
// (RFC 2152 recommends encoding them).
bool isDirect(char16_t c) {
    if (c == '\t' || c == '\n' || c == '\r') return true;
    return c >= 0x20 && c <= 0x7E && c != '+' && c != '\\' && c != '~';
}

class Base64Run {
public:
    explicit Base64Run(DataBuffer& out) : m_out(out) {}
    void addUnit(char16_t u) {
        m_bits = (m_bits << 16) | u;
        m_count += 16;
        while (m_count >= 6) {
            m_count -= 6;
            m_out.appendByte(kBase64[(m_bits >> m_count) & 0x3F]);
        }
    }
    void flush() {
        if (m_count > 0) m_out.appendByte(kBase64[(m_bits << (6 - m_count)) & 0x3F]);
        m_count = 0;
        m_bits = 0;
    }

private:
    DataBuffer& m_out;
    uint32_t m_bits = 0;
    int m_count = 0;
};

}  // namespace

void EncodingUtf7::encode(const char16_t* in, size_t n, DataBuffer& out) {
    out.ensureCapacity(out.getSize() + n + n / 2 + 8);
    Base64Run run(out);
    bool shifted = false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = in[i];
        if (shifted && isDirect(c)) {
            run.flush();
            if (base64Value(static_cast<unsigned char>(c)) >= 0 || c == '-') out.appendByte('-');
            shifted = false;
        }
        if (shifted) {
            run.addUnit(c);
        } else if (c == '+') {
            out.append("+-", 2);
        } else if (isDirect(c)) {
            out.appendByte(static_cast<unsigned char>(c));
        } else {
            out.appendByte('+');
            shifted = true;
            run.addUnit(c);
        }
    }
    if (shifted) {
        run.flush();
        out.appendByte('-');
    }
}

bool EncodingUtf7::decode(const unsigned char* in, size_t n, std::u16string& out) {
    bool clean = true;
    bool shifted = false;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = in[i];
        if (shifted) {
            int v = base64Value(c);
            if (v >= 0) {
                bits = (bits << 6) | static_cast<uint32_t>(v);
                count += 6;
                if (count >= 16) {
                    count -= 16;
                    out.push_back(static_cast<char16_t>(bits >> count));
                }
                continue;
            }
            // Leftover bits must be fewer than six and all zero.
            if (count >= 6 || (bits & ((1u << count) - 1)) != 0) clean = false;
            shifted = false;
            if (c == '-') continue;
        }
        if (c == '+' && i + 1 < n && in[i + 1] == '-') {
            out.push_back(u'+');
            ++i;
        } else if (c == '+') {
            shifted = true;
            bits = 0;
            count = 0;
        } else if (c >= 0x80) {
            out.push_back(u'\xFFFD');
            clean = false;
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    if (shifted && (count >= 6 || (bits & ((1u << count) - 1)) != 0)) clean = false;
    return clean;
}

}  // namespace ostmail
