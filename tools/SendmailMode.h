#pragma once
#include "CliOptions.h"

#include <string>
#include <vector>

namespace ostmail {
class VmMailMan;
namespace cli {

// Exit statuses of sysexits.h.
enum SysExit { kExOk = 0, kExUsage = 64, kExDataErr = 65, kExNoUser = 67, kExNoHost = 68, kExUnavailable = 69,
               kExTempFail = 75, kExNoPerm = 77, kExConfig = 78 };

// `ostmail sendmail ARGS`: reads a message from standard input and sends it
// as it is with the account's server. Returns a SysExit; one line on
// stderr says why when nothing was sent.
int runSendmail(const std::vector<std::string>& args,
                void (*configure)(VmMailMan&, const SendOptions&));

}  // namespace cli
}  // namespace ostmail
