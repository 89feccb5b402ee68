#include "platform/CaseMap.h"

#include <windows.h>

namespace ostmail {
namespace platform {

namespace {
// The invariant locale's simple mapping; a result other than one unit
// leaves the unit as it was.
uint16_t mapped(uint16_t unit, DWORD flag) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    WCHAR in = static_cast<WCHAR>(unit), out = 0;
    return LCMapStringW(LOCALE_INVARIANT, flag, &in, 1, &out, 1) == 1 ? static_cast<uint16_t>(out) : unit;
}
}  // namespace

uint16_t upperUnit16(uint16_t unit) {
    if (unit < 0x80) return (unit >= 'a' && unit <= 'z') ? unit - 32 : unit;
    return mapped(unit, LCMAP_UPPERCASE);
}

}  // namespace platform
}  // namespace ostmail
