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

// One secret from its command, its file or its environment variable.
bool resolveSecret(const std::string& command, const std::string& file, const char* envName, int timeoutSecs,
                   const char* what, std::string& secret, std::string& error) {
    if (!command.empty()) {
        std::string why;
        // A helper that printed nothing has failed too, whatever its status.
        if (platform::runShellFirstLine(command, timeoutSecs * 1000, secret, why) && !secret.empty()) return true;
        if (why.empty()) why = "printed nothing";
        error = std::string(what) + "-command '" + command + "' " + why;
        return false;
    }
    if (!file.empty()) {
        if (firstLineOfFile(file, secret)) return true;
        error = std::string("cannot read the ") + what + " file " + file;
        return false;
    }
    if (secret.empty()) secret = platform::envValue(envName);
    return true;
}

}  // namespace

bool resolvePassword(SendOptions& opts, std::string& error) {
    if (!resolveSecret(opts.passwordCommand, opts.passwordFile, "OSTMAIL_PASSWORD", opts.readTimeout, "password",
                       opts.password, error))
        return false;
    // The proxy's password is read only when it has a login to go with.
    return opts.proxyUser.empty() ||
           resolveSecret(opts.proxyPasswordCommand, opts.proxyPasswordFile, "OSTMAIL_PROXY_PASSWORD",
                         opts.readTimeout, "proxy-password", opts.proxyPassword, error);
}

bool refreshToken(const SendOptions& opts, std::string& token, std::string& error) {
    token.clear();
    if (opts.passwordCommand.empty() && opts.passwordFile.empty()) return false;
    if (!resolveSecret(opts.passwordCommand, opts.passwordFile, "OSTMAIL_PASSWORD", opts.readTimeout, "password",
                       token, error))
        return false;
    return !token.empty() && token != opts.password;
}

}  // namespace cli
}  // namespace ostmail
