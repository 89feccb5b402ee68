#include "facade/VmString.h"

namespace ostmail {

VmString::VmString(const VmString& other) : m_utf8(other.m_utf8) { m_x.copyFrom(other.m_x); }

VmString& VmString::operator=(const VmString& other) {
    if (this != &other) {
        m_x.copyFrom(other.m_x);
        m_utf8 = other.m_utf8;
    }
    return *this;
}

void VmString::appendString(const char* text) {
    if (m_utf8)
        m_x.appendUtf8(text);
    else
        m_x.appendAnsi(text);
}

// ANSI goes through a copy so that a lossy conversion is redone from the
// exact text next time (the code page may have changed meanwhile).
const char* VmString::getString() {
    if (m_utf8) return m_x.getUtf8();
    m_scratch.clear();
    m_x.copyAnsiTo(m_scratch);
    return m_scratch.getString();
}

bool VmString::equals(const char* text) {
    XString other;
    other.setFrom8bit(text, m_utf8);
    return m_x.equalsUtf8(other.getUtf8());
}

}  // namespace ostmail
