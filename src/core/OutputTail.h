#pragma once
#include "core/DataBuffer.h"

#include <cstddef>

namespace ostmail {

// Writes straight into the free end of a DataBuffer: reserve the worst case,
// write through the pointer, then commit what was written. A later reserve
// may move the memory, so pointers do not outlive the next reserve.
class OutputTail {
public:
    explicit OutputTail(DataBuffer& out) : m_out(out) {}

    // Null when the memory cannot be had. A buffer that already holds data
    // grows by half again at least, so repeated reserves stay linear.
    unsigned char* reserve(size_t extra) {
        size_t size = m_out.getSize(), cap = m_out.capacity();
        size_t need = size + extra;
        if (need > cap && size > 0 && need < cap + cap / 2) need = cap + cap / 2;
        // Also makes borrowed memory our own before it is written.
        if (!m_out.ensureCapacity(need)) return nullptr;
        return m_out.getMutable() + size;
    }
    void commit(const unsigned char* end) { m_out.setSize(static_cast<uint32_t>(end - m_out.getMutable())); }

private:
    DataBuffer& m_out;
};

}  // namespace ostmail
