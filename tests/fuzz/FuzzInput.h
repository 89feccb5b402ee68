#pragma once
// Reads a fuzz input as a few settings bytes followed by text fields, and
// hands it to the target's fuzzTarget.

#include "core/XString.h"

#include <algorithm>
#include <cstdint>
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

    // Bytes up to the next 0x01 (which is skipped) or the end.
    std::string field() {
        const uint8_t* end = std::find(m_p, m_end, 0x01);
        return std::string(std::exchange(m_p, end + (end < m_end)), end);
    }

    std::string rest() { return std::string(std::exchange(m_p, m_end), m_end); }
    bool empty() const { return m_p >= m_end; }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

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
