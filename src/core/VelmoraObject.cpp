#include "core/VelmoraObject.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ostmail {

namespace {
// Relaxed: the number only has to be distinct enough to read in a dump.
std::atomic<uint32_t> g_objectSerial{0};
}

VelmoraObject::VelmoraObject() : m_serial(g_objectSerial.fetch_add(1, std::memory_order_relaxed) + 1) {}

VelmoraObject::VelmoraObject(const VelmoraObject&) : m_serial(g_objectSerial.fetch_add(1, std::memory_order_relaxed) + 1) {}

void integrityFailure(const char* className) {
    std::fprintf(stderr, "ostmail: %s used after destruction\n", className);
    std::abort();
}

}  // namespace ostmail
