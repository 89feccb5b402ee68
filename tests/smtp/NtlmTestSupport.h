#pragma once
// Test-side NTLM message handling, written from MS-NLMP 2.2 without the
// library's helpers, so layout faults in the library cannot hide.

#include "crypto/TestBytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ntlmtest {

using Bytes = std::vector<unsigned char>;

inline uint32_t u16(const Bytes& m, size_t at) { return m[at] | (m[at + 1] << 8); }
inline uint32_t u32(const Bytes& m, size_t at) { return u16(m, at) | (u16(m, at + 2) << 16); }

inline void put16(Bytes& m, uint32_t v) { m.insert(m.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void put32(Bytes& m, uint32_t v) { put16(m, v), put16(m, v >> 16); }

inline std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline Bytes utf16(const std::string& ascii) {
    Bytes b;
    for (char c : ascii) put16(b, static_cast<unsigned char>(c));
    return b;
}

using testbytes::hex;
using testbytes::unhex;

// One security buffer as found in a message.
struct SecBuf {
    uint32_t len, maxLen, offset;
};

inline SecBuf secBuf(const Bytes& m, size_t at) { return {u16(m, at), u16(m, at + 2), u32(m, at + 4)}; }

// The payload a security buffer points at; the test fails earlier when it is out of range.
inline Bytes payload(const Bytes& m, size_t at) {
    SecBuf b = secBuf(m, at);
    return b.offset + b.len > m.size() ? Bytes{0xde, 0xad} : Bytes(m.begin() + b.offset, m.begin() + b.offset + b.len);
}

// A challenge message: target name and target info after the 48-byte header
// and an 8-byte version, so it is at least 60 bytes whenever either is set.
inline Bytes type2(uint32_t flags, const Bytes& challenge, const Bytes& target, const Bytes& info) {
    Bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    put32(m, 2);
    put16(m, target.size());
    put16(m, target.size());
    put32(m, 56);
    put32(m, flags);
    m.insert(m.end(), challenge.begin(), challenge.end());
    m.insert(m.end(), 8, 0);  // context
    put16(m, info.size());
    put16(m, info.size());
    put32(m, 56 + static_cast<uint32_t>(target.size()));
    m.insert(m.end(), {6, 1, 0xb1, 0x1d, 0, 0, 0, 0x0f});  // version
    m.insert(m.end(), target.begin(), target.end());
    m.insert(m.end(), info.begin(), info.end());
    return m;
}

// Target info of the MS-NLMP 4.2.4 example: NetBIOS domain "Domain",
// NetBIOS computer "Server", end of list.
inline Bytes exampleTargetInfo() {
    Bytes t;
    Bytes d = utf16("Domain"), s = utf16("Server");
    put16(t, 2);
    put16(t, d.size());
    t.insert(t.end(), d.begin(), d.end());
    put16(t, 1);
    put16(t, s.size());
    t.insert(t.end(), s.begin(), s.end());
    put32(t, 0);
    return t;
}

}  // namespace ntlmtest
