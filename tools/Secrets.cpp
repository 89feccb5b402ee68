#include "Secrets.h"

#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace ostmail {
namespace cli {

namespace {





bool firstLineOfFile(const std::string& path, std::string& out) {
    std::string text;
    bool ok = path == "-" ? platform::readStdin(text) : platform::readWholeFile(path.c_str(), text);
    out = text.substr(0, text.find('\n'));
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return ok;
}

}  // namespace

bool resolvePassword(SendOptions& opts, std::string& error) {
    if (!opts.passwordCommand.empty()) {
        std::string why;
        if (platform::runShellFirstLine(opts.passwordCommand, opts.readTimeout * 1000, opts.password, why)) return true;
        error = "password-command '" + opts.passwordCommand + "' " + why;
        return false;
    }
    if (!opts.passwordFile.empty()) {
        if (firstLineOfFile(opts.passwordFile, opts.password)) return true;
        error = "cannot read the password file " + opts.passwordFile;
        return false;
    }
    if (opts.password.empty()) opts.password = platform::envValue("OSTMAIL_PASSWORD");
    return true;
}

}  // namespace cli
}  // namespace ostmail
