#pragma once
#include "core/StringBuffer.h"
#include "core/XString.h"

#include <cstdint>
#include <string>

namespace ostmail {

// The facade string: one XString plus the switch that says whether the
// facade's 8-bit text in and out is UTF-8 (on) or the ANSI code page (off,
// the default). Returned pointers stay valid until the next call on it.
class VmString {
public:
    VmString() = default;
    VmString(const VmString& other);
    VmString& operator=(const VmString& other);

    bool get_Utf8() const { return m_utf8; }
    void put_Utf8(bool on) { m_utf8 = on; }

    XString& x() { return m_x; }

    void clear() { m_x.clear(); }
    void setString(const char* text) { m_x.setFrom8bit(text, m_utf8); }
    void appendString(const char* text);
    void setFromWide(const std::wstring& text) { m_x.setFromWide(text); }

    // The text in the facade's 8-bit form (ANSI or UTF-8, per the switch).
    const char* getString();
    const char* getUtf8() { return m_x.getUtf8(); }
    const char* getAnsi() { return m_x.getAnsi(); }
    std::wstring getWide() { return m_x.getWide(); }
    uint32_t getNumChars() { return m_x.numChars(); }
    bool isEmpty() { return m_x.isEmpty(); }
    bool equals(const char* text);  // text in the facade's 8-bit form

private:
    XString m_x;
    bool m_utf8 = false;
    StringBuffer m_scratch;
};

}  // namespace ostmail
