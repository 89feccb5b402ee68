#include "core/DataBuffer.h"

#include "core/StringBuffer.h"
#include "platform/CaseMap.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace ostmail {

namespace {
constexpr size_t kMaxBuffer = 0xFFFFFFFFu;
}

DataBuffer::DataBuffer() : m_magic(kMagic), m_borrowed(0), m_data(nullptr), m_size(0), m_capacity(0) {}

DataBuffer::DataBuffer(const DataBuffer& other)
    : VelmoraObject(other), m_magic(kMagic), m_borrowed(0), m_data(nullptr), m_size(0), m_capacity(0) {
    other.check();
    if (other.m_size && ensureCapacity(other.m_size)) append(other.m_data, other.m_size);
}

DataBuffer& DataBuffer::operator=(const DataBuffer& other) {
    check();
    if (this == &other) return *this;
    clear();
    if (other.getSize() && ensureCapacity(other.m_size)) append(other.m_data, other.m_size);
    return *this;
}

DataBuffer::DataBuffer(DataBuffer&& other) noexcept
    : VelmoraObject(other), m_magic(kMagic), m_borrowed(other.m_borrowed), m_data(other.m_data),
      m_size(other.m_size), m_capacity(other.m_capacity) {
    other.check();
    other.m_borrowed = 0;
    other.m_data = nullptr;
    other.m_size = other.m_capacity = 0;
}

DataBuffer& DataBuffer::operator=(DataBuffer&& other) noexcept {
    if (this != &other) {
        DataBuffer tmp(std::move(other));
        swap(tmp);
    }
    return *this;
}

DataBuffer::~DataBuffer() {
    check();
    release();
    // volatile: a plain store here would be dropped as dead.
    *static_cast<volatile uint8_t*>(&m_magic) = 0;
}

void DataBuffer::release() {
    if (m_data && !m_borrowed) std::free(m_data);
    m_data = nullptr;
    m_borrowed = 0;
    m_size = m_capacity = 0;
}

// realloc keeps the contract (copy the used bytes, free the old block) and
// lets large blocks move by remapping instead of copying.
bool DataBuffer::reallocTo(size_t newCapacity) {
    if (newCapacity > kMaxBuffer || newCapacity < m_size) {
        release();
        return false;
    }
    unsigned char* p;
    if (m_borrowed || !m_data) {
        p = static_cast<unsigned char*>(std::malloc(newCapacity ? newCapacity : 1));
        if (p && m_size) std::memcpy(p, m_data, m_size);
    } else {
        p = static_cast<unsigned char*>(std::realloc(m_data, newCapacity ? newCapacity : 1));
    }
    if (!p) {
        release();
        return false;
    }
    m_data = p;
    m_borrowed = 0;
    m_capacity = static_cast<uint32_t>(newCapacity);
    return true;
}

const unsigned char* DataBuffer::getData() const {
    check();
    return m_data;
}

unsigned char* DataBuffer::getMutable() {
    check();
    if (m_borrowed) reallocTo(m_size);
    return m_data;
}

uint32_t DataBuffer::getSize() const {
    check();
    return m_size;
}

bool DataBuffer::append(const void* bytes, size_t n) {
    check();
    if (n == 0) return true;
    if (!bytes) return false;
    const unsigned char* src = static_cast<const unsigned char*>(bytes);
    // A source inside this buffer moves with it when we grow.
    bool inside = m_data && src >= m_data && src < m_data + m_capacity;
    size_t offset = inside ? static_cast<size_t>(src - m_data) : 0;
    if (m_size + n > m_capacity) {
        if (!reallocTo(static_cast<size_t>(m_size) + (n > kAppendStep ? n : kAppendStep))) return false;
    } else if (m_borrowed && !reallocTo(m_capacity)) {
        return false;
    }
    if (inside) src = m_data + offset;
    std::memmove(m_data + m_size, src, n);
    m_size += static_cast<uint32_t>(n);
    return true;
}

bool DataBuffer::append(const StringBuffer& sb) { return append(sb.getString(), sb.getSize()); }

bool DataBuffer::appendByte(unsigned char b) {
    check();
    if (m_size + 1 > m_capacity || m_borrowed) {
        if (!reallocTo(static_cast<size_t>(m_size) + kByteStep)) return false;
    }
    m_data[m_size++] = b;
    return true;
}

bool DataBuffer::appendByteN(unsigned char b, size_t n) {
    check();
    if (n == 0) return true;
    if (m_size + n > m_capacity || m_borrowed) {
        if (!reallocTo(static_cast<size_t>(m_size) + n + kByteStep)) return false;
    }
    std::memset(m_data + m_size, b, n);
    m_size += static_cast<uint32_t>(n);
    return true;
}

bool DataBuffer::appendUInt16LE(uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    return append(b, 2);
}

bool DataBuffer::appendUInt32LE(uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return append(b, 4);
}

bool DataBuffer::ensureCapacity(size_t n) {
    check();
    if (n <= m_capacity && !m_borrowed) return true;
    return reallocTo(n > m_size ? n : m_size);
}

bool DataBuffer::setSize(uint32_t n) {
    check();
    if (n > m_capacity) return false;
    m_size = n;
    return true;
}

void DataBuffer::shorten(uint32_t n) {
    check();
    m_size = n >= m_size ? 0 : m_size - n;
}

void DataBuffer::clear() {
    check();
    if (m_borrowed) {
        release();
        return;
    }
    m_size = 0;
}

void DataBuffer::minimize() {
    check();
    if (m_data && !m_borrowed && m_capacity > static_cast<size_t>(m_size) + 4) reallocTo(static_cast<size_t>(m_size) + 4);
}

unsigned char* DataBuffer::take(uint32_t* size) {
    check();
    if (m_borrowed) reallocTo(m_size);
    if (size) *size = m_size;
    unsigned char* out = m_data;
    m_data = nullptr;
    m_size = m_capacity = 0;
    return out;
}

void DataBuffer::borrow(const void* mem, uint32_t size) {
    check();
    release();
    if (!mem) return;
    m_data = const_cast<unsigned char*>(static_cast<const unsigned char*>(mem));
    m_size = m_capacity = size;
    m_borrowed = 1;
}

bool DataBuffer::equals(const DataBuffer& other) const {
    check();
    return m_size == other.getSize() && (m_size == 0 || std::memcmp(m_data, other.m_data, m_size) == 0);
}

uint32_t DataBuffer::replaceByte(unsigned char from, unsigned char to) {
    unsigned char* d = getMutable();
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_size; ++i)
        if (d[i] == from) {
            d[i] = to;
            ++count;
        }
    return count;
}

void DataBuffer::swap(DataBuffer& other) noexcept {
    std::swap(m_borrowed, other.m_borrowed);
    std::swap(m_data, other.m_data);
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
}

namespace {
inline uint16_t unitAt(const unsigned char* d, uint32_t i) {
    return static_cast<uint16_t>(d[2 * i] | (d[2 * i + 1] << 8));
}
inline void setUnit(unsigned char* d, uint32_t i, uint16_t u) {
    d[2 * i] = static_cast<unsigned char>(u);
    d[2 * i + 1] = static_cast<unsigned char>(u >> 8);
}
}  // namespace

uint32_t DataBuffer::removeUnit16(uint16_t unit) {
    unsigned char* d = getMutable();
    uint32_t units = m_size / 2, out = 0;
    for (uint32_t i = 0; i < units; ++i) {
        uint16_t u = unitAt(d, i);
        if (u != unit) setUnit(d, out++, u);
    }
    uint32_t removed = units - out;
    if (removed) {
        std::memmove(d + 2 * out, d + 2 * units, m_size - 2 * units);  // odd tail byte
        m_size -= 2 * removed;
    }
    return removed;
}

bool DataBuffer::cutAtUnit16(uint16_t unit) {
    check();
    uint32_t units = m_size / 2;
    for (uint32_t i = 0; i < units; ++i)
        if (unitAt(m_data, i) == unit) {
            m_size = 2 * i;
            return true;
        }
    return false;
}

uint32_t DataBuffer::replaceUnit16(uint16_t from, uint16_t to) {
    unsigned char* d = getMutable();
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_size / 2; ++i)
        if (unitAt(d, i) == from) {
            setUnit(d, i, to);
            ++count;
        }
    return count;
}

void DataBuffer::toUpper16() {
    unsigned char* d = getMutable();
    for (uint32_t i = 0; i < m_size / 2; ++i) setUnit(d, i, platform::upperUnit16(unitAt(d, i)));
}

}  // namespace ostmail
