#pragma once
#include <cstdint>

namespace ostmail {
namespace platform {

// Simple (one-to-one) case mapping of one UTF-16 code unit; surrogates and
// units without a single-unit mapping come back unchanged.
uint16_t upperUnit16(uint16_t unit);

}  // namespace platform
}  // namespace ostmail
