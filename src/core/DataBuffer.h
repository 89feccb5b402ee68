#pragma once
#include "core/VelmoraObject.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

class LogBase;
class StringBuffer;

// Growable byte buffer, not zero-terminated. An allocation failure empties
// the buffer (size and capacity 0) instead of throwing.
//
// Growth: append of n bytes past capacity reallocates to size + max(n,
// 20,000); one byte to size + 10,000; a byte n times to size + n + 10,000.
// ensureCapacity() allocates exactly what is asked, so callers that know
// the final size should use it first.
class DataBuffer : public VelmoraObject {
public:
    static constexpr uint32_t kAppendStep = 20000;
    static constexpr uint32_t kByteStep = 10000;
    // Most that is read of a stream (pipe, FIFO, device, socket) or of a
    // file that reports size 0 (/proc), so /dev/zero cannot fill the memory.
    static constexpr uint32_t kStreamLimit = 64u << 20;

    DataBuffer();
    DataBuffer(const DataBuffer& other);
    DataBuffer& operator=(const DataBuffer& other);
    DataBuffer(DataBuffer&& other) noexcept;
    DataBuffer& operator=(DataBuffer&& other) noexcept;
    ~DataBuffer() override;

    const unsigned char* getData() const;  // may be null when empty
    unsigned char* getMutable();           // copies borrowed memory first
    uint32_t getSize() const;
    uint32_t capacity() const { return m_capacity; }
    bool isEmpty() const { return getSize() == 0; }

    bool append(const void* bytes, size_t n);
    bool append(const DataBuffer& other) { return append(other.getData(), other.getSize()); }
    bool append(const StringBuffer& sb);  // the text bytes, no terminator
    bool appendByte(unsigned char b);
    bool appendByteN(unsigned char b, size_t n);
    bool appendUInt16LE(uint16_t v);
    bool appendUInt32LE(uint32_t v);
    bool ensureCapacity(size_t n);  // total capacity of at least n bytes
    bool setSize(uint32_t n);       // false when n > capacity
    void shorten(uint32_t n);       // drop n bytes at the end
    void clear();                   // size 0, memory kept
    void minimize();                // capacity > size + 4: down to size + 4
    // Hands the memory to the caller (free() it) and leaves this empty.
    // Borrowed memory is copied first, since it is not ours to give.
    unsigned char* take(uint32_t* size = nullptr);
    void borrow(const void* mem, uint32_t size);  // foreign memory, never freed here
    bool borrowed() const { return m_borrowed != 0; }
    // Replaces the content with the file's bytes: a regular file up to the
    // size it had when opened, anything else up to kStreamLimit. False,
    // empty, with the reason in the log when it cannot be opened or read
    // or is over the bound.
    bool loadFile(const char* path, LogBase& log);
    bool equals(const DataBuffer& other) const;
    uint32_t replaceByte(unsigned char from, unsigned char to);
    void swap(DataBuffer& other) noexcept;

    // 16-bit code-unit edits on UTF-16LE content (whole units only).
    uint32_t removeUnit16(uint16_t unit);
    bool cutAtUnit16(uint16_t unit);  // false when absent
    uint32_t replaceUnit16(uint16_t from, uint16_t to);
    void toUpper16();

private:
    static constexpr uint8_t kMagic = 0xDB;

    void check() const {
        if (m_magic != kMagic) integrityFailure("DataBuffer");
    }
    bool reallocTo(size_t newCapacity);
    void release();

    uint8_t m_magic;
    uint8_t m_borrowed;
    unsigned char* m_data;
    uint32_t m_size;
    uint32_t m_capacity;
};

}  // namespace ostmail
