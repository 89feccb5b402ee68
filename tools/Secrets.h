#pragma once
#include "CliOptions.h"

#include <string>

namespace ostmail {
namespace cli {

// Fills opts.password from password-command, password-file or
// $OSTMAIL_PASSWORD, in that order (the command gets the read time-out). False with a
// one-line reason when the command fails or hangs or the file is unreadable.
bool resolvePassword(SendOptions& opts, std::string& error);

}  // namespace cli
}  // namespace ostmail
