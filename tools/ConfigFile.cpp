#include "ConfigFile.h"

#include "platform/FileSystem.h"
#include "platform/Process.h"

#include <sstream>
#include <vector>

namespace ostmail {
namespace cli {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool exists(const std::string& path) {
    uint64_t size = 0;
    return !path.empty() && platform::fileSize(path.c_str(), size);
}

struct Parse {
    const std::string& path;
    const std::string& account;
    SendOptions& opts;
    std::string& error;
    bool found = false;
    bool hasPassword = false;
    std::vector<std::string> sections;

    bool fail(int line, const std::string& key, const std::string& why) {
        error = path + ":" + std::to_string(line) + ": " + (key.empty() ? "" : "key '" + key + "': ") + why;
        return false;
    }

    bool line(int number, const std::string& raw, std::string& section) {
        std::string text = trim(raw);
        if (text.empty() || text[0] == '#' || text[0] == ';') return true;
        if (text[0] == '[') {
            if (text.back() != ']' || text.size() < 3) return fail(number, "", "bad section line");
            section = trim(text.substr(1, text.size() - 2));
            sections.push_back(section);
            found = found || section == account;
            return true;
        }
        size_t eq = text.find('=');
        std::string key = trim(text.substr(0, eq));
        if (eq == std::string::npos) return fail(number, key, "no '=' after the key");
        if (section.empty()) return fail(number, key, "outside of any [section]");
        std::string value = trim(text.substr(eq + 1));
        // Every secret key, so no proxy password sits in a file others read.
        if (key == "password" || key == "proxy-password" || key == "socks-password") hasPassword = true;
        if (section != account) return true;
        if (key == "password" || key == "aliases" || key == "qualify-domain") {
            (key == "password" ? opts.password : key == "aliases" ? opts.aliasesFile : opts.qualifyDomain) = value;
            return true;
        }
        std::string why;
        return applyConfigValue(key, value, opts, why) || fail(number, key, why);
    }
};

}  // namespace

std::string ConfigFile::locate() {
    std::string env = platform::envValue("OSTMAIL_CONFIG");
    if (!env.empty()) return env;
    std::string xdg = platform::envValue("XDG_CONFIG_HOME");
    std::string home = platform::envValue("HOME");
    std::string user = !xdg.empty() ? xdg + "/ostmail/config" : !home.empty() ? home + "/.config/ostmail/config" : "";
    if (exists(user)) return user;
    return exists("/etc/ostmail.conf") ? "/etc/ostmail.conf" : "";
}

bool ConfigFile::load(const std::string& explicitPath, const std::string& account, SendOptions& opts,
                      std::string& error, bool requireDefault) {
    std::string path = explicitPath.empty() ? locate() : explicitPath;
    std::string wanted = account.empty() ? "default" : account;
    if (path.empty()) {
        if (account.empty()) return true;
        error = "no configuration file holds the account [" + wanted + "]";
        return false;
    }
    std::string text;
    if (!platform::readWholeFile(path.c_str(), text)) {
        error = "cannot read the configuration file " + path;
        return false;
    }
    bool hasPassword = false;
    if (!parse(text, path, account, opts, hasPassword, error, requireDefault)) return false;
    if (hasPassword && platform::readableByOthers(path.c_str())) {
        error = path + " holds a password and can be read by others (chmod 600 it, or 640 owned by root)";
        return false;
    }
    return true;
}

bool ConfigFile::parse(const std::string& text, const std::string& name, const std::string& account,
                       SendOptions& opts, bool& hasPassword, std::string& error, bool requireDefault) {
    std::string wanted = account.empty() ? "default" : account;
    Parse parse{name, wanted, opts, error, false, false, {}};
    std::istringstream in(text);
    std::string raw, section;
    for (int number = 1; std::getline(in, raw); ++number)
        if (!parse.line(number, raw, section)) return false;
    hasPassword = parse.hasPassword;
    if (!parse.found && !account.empty()) {
        error = name + ": no section [" + wanted + "]";
        return false;
    }
    if (!parse.found && requireDefault && !parse.sections.empty()) {
        error = name + ": no [default] account; use --account " + parse.sections[0];
        return false;
    }
    return true;
}

}  // namespace cli
}  // namespace ostmail
