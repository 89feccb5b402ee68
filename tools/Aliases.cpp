#include "Aliases.h"

#include "email/AddressList.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace ostmail {
namespace cli {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Targets split at commas outside double quotes.
std::vector<std::string> splitTargets(const std::string& list) {
    std::vector<std::string> out;
    std::string item;
    bool quoted = false;
    for (char c : list + ",") {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            if (!trim(item).empty()) out.push_back(trim(item));
            item.clear();
        } else {
            item += c;
        }
    }
    return out;
}

}  // namespace

bool Aliases::load(const std::string& path, std::string& error) {
    std::string text;
    if (!platform::readWholeFile(path.c_str(), text)) return error = "cannot read the aliases file " + path, false;
    m_path = path;
    std::istringstream in(text);
    std::string raw, entry;
    int number = 0, entryLine = 0;
    auto finish = [&]() {
        if (trim(entry).empty()) return true;
        size_t colon = entry.find(':');
        if (colon == std::string::npos || trim(entry.substr(0, colon)).empty())
            return error = path + ":" + std::to_string(entryLine) + ": no ':' after the name", false;
        std::vector<std::string>& t = m_targets[lower(trim(entry.substr(0, colon)))];
        for (const std::string& target : splitTargets(entry.substr(colon + 1))) t.push_back(target);
        return true;
    };
    while (std::getline(in, raw)) {
        ++number;
        if (trim(raw).empty() || trim(raw)[0] == '#') continue;
        if (raw[0] == ' ' || raw[0] == '\t') {
            entry += " " + raw;
            continue;
        }
        if (!finish()) return false;
        entry = raw, entryLine = number;
    }
    return finish();
}

bool Aliases::expandOne(const std::string& name, std::vector<std::string>& path, std::vector<std::string>& out,
                        std::vector<std::string>& warnings, std::string& error) const {
    auto it = name.find('@') == std::string::npos ? m_targets.find(lower(name)) : m_targets.end();
    if (it == m_targets.end()) {
        AddressList::addUnique(out, name);
        return true;
    }
    if (std::find(path.begin(), path.end(), lower(name)) != path.end()) {
        std::string loop;
        for (const std::string& p : path) loop += p + " -> ";
        return error = m_path + ": the aliases loop: " + loop + lower(name), false;
    }
    path.push_back(lower(name));
    for (const std::string& target : it->second) {
        std::string bare = target[0] == '\\' ? target.substr(1) : target;
        if (target[0] == '|' || target[0] == '/' || target.rfind(":include:", 0) == 0 || target[0] == '"') {
            warnings.push_back("alias " + name + ": cannot send to '" + target + "'; skipped");
        } else if (target[0] == '\\' || lower(bare) == lower(name)) {
            AddressList::addUnique(out, bare);  // the name itself, not its alias again
        } else if (!expandOne(bare, path, out, warnings, error)) {
            return false;
        }
    }
    path.pop_back();
    return true;
}

bool Aliases::expand(const std::vector<std::string>& in, std::vector<std::string>& out,
                     std::vector<std::string>& warnings, std::string& error) const {
    for (const std::string& name : in) {
        std::vector<std::string> path;
        if (!expandOne(name, path, out, warnings, error)) return false;
    }
    return true;
}

}  // namespace cli
}  // namespace ostmail
