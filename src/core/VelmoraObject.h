#pragma once
#include <cstdint>

namespace ostmail {

// Common base of the value types: a virtual destructor, so that arrays of
// owned objects can delete through it, and an informational serial number
// from a process-wide counter (deliberately unsynchronised).
class VelmoraObject {
public:
    VelmoraObject();
    VelmoraObject(const VelmoraObject&);
    VelmoraObject& operator=(const VelmoraObject&) { return *this; }
    virtual ~VelmoraObject() = default;

    uint32_t serial() const { return m_serial; }

private:
    uint32_t m_serial;
};

// A damaged integrity marker means use after destruction: a programming
// error, so the process stops here instead of corrupting memory later.
[[noreturn]] void integrityFailure(const char* className);

}  // namespace ostmail
