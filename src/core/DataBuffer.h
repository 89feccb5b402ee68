#pragma once
#include "core/VelmoraObject.h"

#include <cstddef>
#include <cstdint>

namespace ostmail {

class LogBase;
class StringBuffer;

// Growable byte buffer, not zero-terminated. An allocation failure empties
// the buffer (size and capacity 0) instead of throwing.
class DataBuffer : public VelmoraObject {
public:
    DataBuffer();
    DataBuffer(const DataBuffer& other);
    DataBuffer& operator=(const DataBuffer& other);
    DataBuffer(DataBuffer&& other) noexcept;
    DataBuffer& operator=(DataBuffer&& other) noexcept;
    ~DataBuffer() override;

    const unsigned char* getData() const;
    unsigned char* getMutable();
    uint32_t getSize() const;
    uint32_t capacity() const { return m_capacity; }
    bool isEmpty() const { return getSize() == 0; }

    bool append(const void* bytes, size_t n);
    bool append(const DataBuffer& other) { return append(other.getData(), other.getSize()); }
    bool append(const StringBuffer& sb);
    bool appendByte(unsigned char b);
    bool appendByteN(unsigned char b, size_t n);
    bool appendUInt16LE(uint16_t v);
    bool appendUInt32LE(uint32_t v);
    bool ensureCapacity(size_t n);   // exactly n bytes allocated at least
    bool setSize(uint32_t n);        // n <= capacity
    void shorten(uint32_t n);
    void clear();                    // size 0, memory kept
    void minimize();
    unsigned char* take(uint32_t* size = nullptr);  // caller frees with free()
    void borrow(const void* mem, uint32_t size);    // foreign memory, never freed here
    bool borrowed() const { return m_borrowed != 0; }
    bool loadFile(const char* path, LogBase& log);
    bool equals(const DataBuffer& other) const;
    uint32_t replaceByte(unsigned char from, unsigned char to);
    void swap(DataBuffer& other) noexcept;

    // 16-bit code-unit edits on UTF-16LE content.
    uint32_t removeUnit16(uint16_t unit);
    void cutAtUnit16(uint16_t unit);
    uint32_t replaceUnit16(uint16_t from, uint16_t to);
    void toUpper16();
    void toLower16();

private:
    void check() const;
    bool reallocTo(size_t newCapacity);
    void release();

    uint8_t m_magic;
    uint8_t m_borrowed;
    unsigned char* m_data;
    uint32_t m_size;
    uint32_t m_capacity;
};

}  // namespace ostmail
