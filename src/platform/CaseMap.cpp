#include "platform/CaseMap.h"

#include <unicode/uchar.h>

namespace ostmail {
namespace platform {

namespace {
uint16_t mapped(uint16_t unit, UChar32 to) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    return to >= 0 && to <= 0xFFFF ? static_cast<uint16_t>(to) : unit;
}
}  // namespace

uint16_t upperUnit16(uint16_t unit) {
    if (unit < 0x80) return (unit >= 'a' && unit <= 'z') ? unit - 32 : unit;
    return mapped(unit, u_toupper(unit));
}

}  // namespace platform
}  // namespace ostmail
