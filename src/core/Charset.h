#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

// A charset held as its Windows code page and canonical name, plus the name
// vocabulary shared by the whole library (names and aliases to code pages).
class Charset {
public:
    Charset() = default;

    // "default" and "x-user-defined" (exact) and unknown names give code
    // page 0 and an empty name; "ansi" and "oem" (any case) the system's
    // pages; a known name or alias its code page and canonical name.
    void setByName(const char* name);
    // An unknown code page keeps its number and gets an empty name.
    void setByCodePage(uint32_t codePage);
    void clear();

    uint32_t getCodePage() const { return m_codePage; }
    const char* getName() const { return m_name.getString(); }
    const StringBuffer& getNameSb() const { return m_name; }

    // Code page of a charset name or alias; 0 when unknown. Leading and
    // trailing white space, case and '_' versus '-' do not matter.
    static uint32_t codePageOfName(const char* name);
    // Appends the canonical name; false (nothing appended) when unknown.
    static bool nameOfCodePage(uint32_t codePage, StringBuffer& out);
    static bool knownName(const char* name) { return codePageOfName(name) != 0; }

private:
    uint32_t m_codePage = 0;
    StringBuffer m_name;
};

}  // namespace ostmail
