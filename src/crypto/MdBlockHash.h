#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ostmail {

// Little-endian word access; memcpy keeps unaligned input legal.
inline uint32_t loadLe32(const unsigned char* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
#else
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
#endif
}

inline void storeLe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t rotl32(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// Buffering and padding shared by MD4 and MD5 (RFC 1320 / RFC 1321 section 3):
// same initial values, same 64-byte blocks, same little-endian length trailer.
// Derived supplies compress(state, blocks, blockCount).
template <class Derived>
class MdBlockHash {
public:
    static constexpr size_t kDigestSize = 16;
    static constexpr size_t kBlockSize = 64;

    void initialize()
    {
        m_state[0] = 0x67452301u;
        m_state[1] = 0xefcdab89u;
        m_state[2] = 0x98badcfeu;
        m_state[3] = 0x10325476u;
        m_byteCount = 0;
        m_used = 0;
    }

    void update(const void* data, size_t len)
    {
        if (len == 0)
            return;
        const unsigned char* p = static_cast<const unsigned char*>(data);
        m_byteCount += len;
        if (m_used != 0) {
            size_t take = kBlockSize - m_used;
            if (take > len)
                take = len;
            std::memcpy(m_block + m_used, p, take);
            m_used += take;
            p += take;
            len -= take;
            if (m_used < kBlockSize)
                return;
            Derived::compress(m_state, m_block, 1);
            m_used = 0;
        }
        // Whole blocks straight from the caller's memory, no copy.
        size_t blocks = len / kBlockSize;
        if (blocks != 0) {
            Derived::compress(m_state, p, blocks);
            p += blocks * kBlockSize;
            len -= blocks * kBlockSize;
        }
        if (len != 0)
            std::memcpy(m_block, p, len);
        m_used = len;
    }

    // Writes the digest and leaves the object ready for a new message.
    void finish(unsigned char out[kDigestSize])
    {
        const uint64_t bits = m_byteCount << 3;  // length modulo 2^64 bits
        m_block[m_used++] = 0x80;
        if (m_used > kBlockSize - 8) {
            std::memset(m_block + m_used, 0, kBlockSize - m_used);
            Derived::compress(m_state, m_block, 1);
            m_used = 0;
        }
        std::memset(m_block + m_used, 0, kBlockSize - 8 - m_used);
        storeLe32(m_block + 56, static_cast<uint32_t>(bits));
        storeLe32(m_block + 60, static_cast<uint32_t>(bits >> 32));
        Derived::compress(m_state, m_block, 1);
        for (int i = 0; i < 4; ++i)
            storeLe32(out + 4 * i, m_state[i]);
        std::memset(m_block, 0, sizeof m_block);
        initialize();
    }

protected:
    MdBlockHash() { initialize(); }
    ~MdBlockHash() = default;

private:
    uint32_t m_state[4];
    uint64_t m_byteCount;
    size_t m_used;
    unsigned char m_block[kBlockSize];
};

}  // namespace ostmail
