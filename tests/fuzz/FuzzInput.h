#pragma once
// Reads a fuzz input as a few settings bytes followed by text fields.

#include "core/XString.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace ostmail {
namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t n) : m_p(data), m_end(data + n) {}

    // The next byte; 0 once the input is used up.
    uint8_t byte() { return m_p < m_end ? *m_p++ : 0; }

    // Bytes up to the next 0x01 (which is skipped) or the end.
    std::string field() {
        const uint8_t* start = m_p;
        while (m_p < m_end && *m_p != 0x01) ++m_p;
        std::string f(start, m_p);
        if (m_p < m_end) ++m_p;
        return f;
    }

    std::string rest() { return std::string(std::exchange(m_p, m_end), m_end); }
    bool empty() const { return m_p >= m_end; }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

// Text for the library's string type; bytes that are not UTF-8 stay as bad input.
inline XString utf8Text(const std::string& s) {
    XString x;
    x.setFromUtf8(s.data(), s.size());
    return x;
}

// For reading a repro: OSTMAIL_FUZZ_SHOW_LOG=1 prints what the run logged.
inline void showLog(const std::string& text) {
    if (getenv("OSTMAIL_FUZZ_SHOW_LOG")) fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace fuzz
}  // namespace ostmail
