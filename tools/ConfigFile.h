#pragma once
#include "CliOptions.h"

#include <string>

namespace ostmail {
namespace cli {

// The accounts file: "[name]" sections of "key = value" lines, '#' comments.
class ConfigFile {
public:
    // Finds the file (--config, $OSTMAIL_CONFIG, the user's config folder,
    // /etc/ostmail.conf) and applies the chosen account (--account, else
    // "default") to opts. No file at all is fine unless one was named or an
    // account was asked for. False with a one-line reason in error, opts
    // partly filled, for a missing file or section or a bad line; with
    // requireDefault also for a file whose sections are all named others.
    static bool load(const std::string& explicitPath, const std::string& account, SendOptions& opts,
                     std::string& error, bool requireDefault = false);

    // The text of such a file (name stands in its reasons): applies the
    // section account ("" for "default", which may then be missing) to
    // opts. hasPassword tells whether any section holds a secret. False
    // with a one-line reason, as load.
    static bool parse(const std::string& text, const std::string& name, const std::string& account,
                      SendOptions& opts, bool& hasPassword, std::string& error, bool requireDefault = false);

    // Where load looks when no file is named; "" when nothing is there.
    static std::string locate();
};

}  // namespace cli
}  // namespace ostmail
