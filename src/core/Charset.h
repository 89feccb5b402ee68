#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

// A charset held as its Windows code page and canonical name.
class Charset {
public:
    Charset() = default;

    void setByName(const char* name);
    void setByCodePage(uint32_t codePage);
    uint32_t getCodePage() const { return m_codePage; }
    const char* getName() const { return m_name.getString(); }

    // Name vocabulary: 0 for an unknown name.
    static uint32_t codePageOfName(const char* name);
    static bool nameOfCodePage(uint32_t codePage, StringBuffer& out);  // appends
    static bool knownName(const char* name) { return codePageOfName(name) != 0; }

private:
    uint32_t m_codePage = 0;
    StringBuffer m_name;
};

}  // namespace ostmail
