#pragma once
#include <cstdint>
#include <string>

namespace ostmail {
namespace platform {

// ANSI code page from the locale's codeset (UTF-8 -> 65001, a known charset
// name -> its code page, anything else -> 1252); OEM is 437. Both can be
// overridden by the host (0 restores the default).
uint32_t ansiCodePage();
uint32_t oemCodePage();
void setAnsiCodePageOverride(uint32_t codePage);
void setOemCodePageOverride(uint32_t codePage);

std::string userName();      // effective user, empty when unknown
std::string computerName();  // host name, empty when unknown

// System message text for an error number ("" for 0).
std::string errorText(int err);

// Fills buf with n bytes from the system random source; false on failure.
bool systemRandom(void* buf, uint32_t n);

}  // namespace platform
}  // namespace ostmail
