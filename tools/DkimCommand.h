#pragma once
#include "CliOptions.h"

#include <string>
#include <vector>

namespace ostmail {
class VmMailMan;
namespace cli {

// Hands every signature of opts to the mail manager.
void applyDkim(VmMailMan& mm, const SendOptions& opts);
// Loads each signature's key as a send would; false with the reason (the
// program then exits 78, before it connects).
bool checkDkim(const SendOptions& opts, std::string& error);
// `ostmail dkim-keygen`: writes a new private key (mode 0600) and prints
// the DNS TXT record that publishes it. Exit status 0, 2 usage, 73 cannot create.
int runDkimKeygen(const std::vector<std::string>& args);

}  // namespace cli
}  // namespace ostmail
