#include "core/ExtPtrArray.h"

#include <cstdlib>
#include <cstring>

namespace ostmail {

ExtPtrArray::ExtPtrArray() : m_growBy(kDefaultSize), m_capacity(kDefaultSize) {}

ExtPtrArray::ExtPtrArray(int32_t initialCapacity, int32_t growBy)
    : m_growBy(growBy < 1 ? kDefaultSize : growBy), m_capacity(initialCapacity < 1 ? kDefaultSize : initialCapacity) {}

ExtPtrArray::~ExtPtrArray() { std::free(m_slots); }

// Makes room for `count` slots: allocates the first array lazily, then grows
// by grow-by (or straight to count when that is not enough).
bool ExtPtrArray::reserveFor(int32_t count) {
    if (!m_slots) {
        int32_t cap = count > m_capacity ? count : m_capacity;
        m_slots = static_cast<void**>(std::calloc(static_cast<size_t>(cap), sizeof(void*)));
        if (!m_slots) return false;
        m_capacity = cap;
        return true;
    }
    if (count <= m_capacity) return true;
    int64_t grown = static_cast<int64_t>(m_capacity) + m_growBy;
    int64_t newCap = grown > count ? grown : static_cast<int64_t>(count) + 1;
    if (newCap > 0x7FFFFFFF) return false;
    void** slots = static_cast<void**>(std::calloc(static_cast<size_t>(newCap), sizeof(void*)));
    if (!slots) return false;
    std::memcpy(slots, m_slots, static_cast<size_t>(m_count) * sizeof(void*));
    std::free(m_slots);
    m_slots = slots;
    m_capacity = static_cast<int32_t>(newCap);
    if (m_growBy < kMaxGrowBy) m_growBy = m_capacity < kMaxGrowBy ? m_capacity : kMaxGrowBy;
    return true;
}

bool ExtPtrArray::appendPtr(void* p) {
    if (m_count == 0x7FFFFFFF || !reserveFor(m_count + 1)) return false;
    m_slots[m_count++] = p;
    return true;
}

bool ExtPtrArray::insertAt(int32_t index, void* p) {
    if (index < 0) index = 0;
    if (index >= m_count) return appendPtr(p);
    if (!reserveFor(m_count + 1)) return false;
    std::memmove(m_slots + index + 1, m_slots + index, static_cast<size_t>(m_count - index) * sizeof(void*));
    m_slots[index] = p;
    ++m_count;
    return true;
}

void* ExtPtrArray::elementAt(int32_t index) const {
    if (index < 0 || index >= m_count) return nullptr;
    return m_slots[index];
}

void* ExtPtrArray::lastElement() const { return elementAt(m_count - 1); }

void* ExtPtrArray::removeAt(int32_t index) {
    if (index < 0 || index >= m_count) return nullptr;
    void* p = m_slots[index];
    std::memmove(m_slots + index, m_slots + index + 1, static_cast<size_t>(m_count - index - 1) * sizeof(void*));
    m_slots[--m_count] = nullptr;
    return p;
}

void* ExtPtrArray::pop() { return removeAt(m_count - 1); }

bool ExtPtrArray::setAt(int32_t index, void* p) {
    if (index < 0) return false;
    if (index >= m_count) {
        if (!reserveFor(index + 1)) return false;
        for (int32_t i = m_count; i < index; ++i) m_slots[i] = nullptr;
        m_count = index + 1;
    }
    m_slots[index] = p;
    return true;
}

int32_t ExtPtrArray::find(const void* p) const {
    for (int32_t i = 0; i < m_count; ++i)
        if (m_slots[i] == p) return i;
    return -1;
}

void ExtPtrArray::removeAllObjects() {
    for (int32_t i = 0; i < m_count; ++i) {
        delete static_cast<VelmoraObject*>(m_slots[i]);
        m_slots[i] = nullptr;
    }
    m_count = 0;
}

void ExtPtrArray::removeAllRaw() {
    for (int32_t i = 0; i < m_count; ++i) {
        std::free(m_slots[i]);
        m_slots[i] = nullptr;
    }
    m_count = 0;
}

}  // namespace ostmail
