#pragma once
// Reads a fuzz input as a few settings bytes followed by text fields, and
// hands it to the target's fuzzTarget.

#include "core/XString.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace ostmail {
namespace fuzz {

// Text for the library's string type; bytes that are not UTF-8 stay as bad input.
inline XString utf8Text(const std::string& s) {
    XString x;
    x.setFromUtf8(s.data(), s.size());
    return x;
}

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t n) : m_p(data), m_end(data + n) {}

    // The next byte; 0 once the input is used up.
    uint8_t byte() { return m_p < m_end ? *m_p++ : 0; }
    // One of the values, chosen by the next byte.
    template <class T, size_t N>
    const T& pick(const T (&values)[N]) { return values[byte() % N]; }

    // Bytes up to the next 0x01 (which is skipped) or the end.
    std::string field() {
        const uint8_t* start = m_p;
        while (m_p < m_end && *m_p != 0x01) ++m_p;
        std::string f(start, m_p);
        if (m_p < m_end) ++m_p;
        return f;
    }
    // A field as wide text, two or four bytes a character, so that any wchar_t value can occur.
    std::wstring wideField(bool fourBytes) {
        const std::string bytes = field();
        const size_t step = fourBytes ? 4 : 2;
        std::wstring out;
        for (size_t i = 0; i + step <= bytes.size(); i += step) {
            uint32_t v = 0;
            std::memcpy(&v, bytes.data() + i, step);
            out.push_back(static_cast<wchar_t>(v));
        }
        return out;
    }

    std::string rest() { return std::string(std::exchange(m_p, m_end), m_end); }
    bool empty() const { return m_p >= m_end; }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

// For reading a repro: OSTMAIL_FUZZ_SHOW_LOG=1 prints what the run logged.
inline void showLog(const std::string& text) {
    if (getenv("OSTMAIL_FUZZ_SHOW_LOG")) fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace fuzz
}  // namespace ostmail

// Each target's body; the entry point hands it the input. The entry point is
// defined here, so only the target's one source file includes this header.
void fuzzTarget(ostmail::fuzz::FuzzInput& in);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ostmail::fuzz::FuzzInput in(data, size);
    fuzzTarget(in);
    return 0;
}
