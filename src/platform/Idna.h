#pragma once
#include <string>

namespace ostmail {
namespace platform {

// A domain in UTF-8 to its A-labels (IDNA 2008 with the UTS 46 mapping,
// non-transitional). False with the library's reason when the name is not
// one that IDNA allows.
bool idnaToAscii(const std::string& utf8Domain, std::string& ascii, std::string& reason);

}  // namespace platform
}  // namespace ostmail
