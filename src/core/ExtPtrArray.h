#pragma once
#include <utility>
#include "core/VelmoraObject.h"

#include <cstdint>

namespace ostmail {

// Growable array of pointers. Destroying the array frees only its slots;
// owners delete the objects with removeAllObjects() in their destructors.
//
// Growth: new capacity = capacity + grow-by, then grow-by becomes the new
// capacity (at most 100,000): doubling until steps of 100,000 slots.
class ExtPtrArray {
public:
    static constexpr int32_t kDefaultSize = 5;
    static constexpr int32_t kMaxGrowBy = 100000;

    ExtPtrArray();
    ExtPtrArray(int32_t initialCapacity, int32_t growBy);  // values below 1 become 5
    ExtPtrArray(const ExtPtrArray&) = delete;
    ExtPtrArray& operator=(const ExtPtrArray&) = delete;
    virtual ~ExtPtrArray();

    int32_t getSize() const { return m_count; }
    int32_t capacity() const { return m_capacity; }
    int32_t growBy() const { return m_growBy; }

    bool appendPtr(void* p);  // false (content kept) when memory runs out
    bool appendObject(VelmoraObject* obj) { return appendPtr(obj); }
    bool insertAt(int32_t index, void* p);  // index clamped to 0..count
    void* elementAt(int32_t index) const;   // null when out of range
    void* lastElement() const;
    void* removeAt(int32_t index);  // closes the gap; null when out of range
    void* pop();
    bool setAt(int32_t index, void* p);  // grows with null slots
    int32_t find(const void* p) const;   // -1 when absent
    void clearCount() { m_count = 0; }   // keeps the objects alive
    void swap(ExtPtrArray& other) {
        std::swap(m_growBy, other.m_growBy);
        std::swap(m_capacity, other.m_capacity);
        std::swap(m_count, other.m_count);
        std::swap(m_slots, other.m_slots);
    }
    void removeAllObjects();             // deletes the VelmoraObjects
    void removeAllRaw();                 // free()s plain blocks

    // Elements stored through appendObject().
    template <class T>
    T* at(int32_t index) const {
        return static_cast<T*>(static_cast<VelmoraObject*>(elementAt(index)));
    }

private:
    bool reserveFor(int32_t count);

    int32_t m_growBy;
    int32_t m_capacity;
    int32_t m_count = 0;
    void** m_slots = nullptr;
};

}  // namespace ostmail
