#pragma once
#include "CliOptions.h"

#include <string>

namespace ostmail {
namespace cli {

// Fills opts.password from password-command, password-file or
// $OSTMAIL_PASSWORD, in that order (the command gets the read time-out), and
// opts.proxyPassword the same way from the proxy-password keys and
// $OSTMAIL_PROXY_PASSWORD when a proxy user is set. False with a one-line
// reason when a command fails or hangs or a file is unreadable.
bool resolvePassword(SendOptions& opts, std::string& error);

}  // namespace cli
}  // namespace ostmail
