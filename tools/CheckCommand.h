#pragma once
#include "CliOptions.h"

namespace ostmail {

class VmMailMan;

namespace cli {

using ConfigureServer = void (*)(VmMailMan&, const SendOptions&);

// `ostmail check --server HOST [send's connection options]`: connects, logs
// in when --user is given, and prints what the server offers. Returns the
// exit status: 0 reached (and logged in), 1 not.
int runCheck(const SendOptions& opts, ConfigureServer configure);

}  // namespace cli
}  // namespace ostmail
