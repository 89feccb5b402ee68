#pragma once
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// `ostmail mx DOMAIN|ADDRESS [--all] [--dns-server HOST:PORT]`: prints the
// exchangers best first, one per line. Returns the exit status: 0 found,
// 1 none or the lookup failed, 2 usage error.
int runMx(const std::vector<std::string>& args);

}  // namespace cli
}  // namespace ostmail
