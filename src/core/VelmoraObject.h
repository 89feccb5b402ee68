#pragma once
#include <cstdint>

namespace ostmail {

// Common base of the value types: a virtual destructor, so that arrays of
// owned objects can delete through it, and an informational serial number.
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

}  // namespace ostmail
