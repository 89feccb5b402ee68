#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testbytes {

inline std::string hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

inline std::string hex(const std::vector<unsigned char>& v) { return hex(v.data(), v.size()); }

inline std::vector<unsigned char> unhex(const std::string& s) {
    std::vector<unsigned char> v;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        v.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return v;
}

// Deterministic filler; the reference digests were made from the same sequence.
inline std::vector<unsigned char> lcgBytes(uint32_t seed, size_t n) {
    std::vector<unsigned char> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = (x * 1103515245u + 12345u) & 0x7fffffffu;
        b = static_cast<unsigned char>(x >> 16);
    }
    return v;
}

inline std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace testbytes
