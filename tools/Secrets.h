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

// A fresh access token after the server refused one: the password command
// runs again (or its file is read again). False with a reason when it fails,
// or when there is no such source or it gives the refused token back.
bool refreshToken(const SendOptions& opts, std::string& token, std::string& error);

}  // namespace cli
}  // namespace ostmail
