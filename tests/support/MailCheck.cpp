#include "support/MailCheck.h"

#include "support/PythonRun.h"

#include <cstdlib>

namespace ostmail {
namespace testsupport {

namespace {

std::string unescape(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        char c = v[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

}  // namespace

std::string MailCheck::scriptPath() { return std::string(OSTMAIL_TEST_SUPPORT_DIR) + "/mailcheck.py"; }

bool MailCheck::loadFile(const std::string& messagePath) {
    values_.clear();
    PythonResult flat = runPythonFile(scriptPath(), "", {"--flat", messagePath});
    if (flat.exitCode != 0) {
        error_ = "mailcheck.py failed on " + messagePath + " (exit " + std::to_string(flat.exitCode) + "): " + flat.err;
        return false;
    }
    source_ = {messagePath};
    input_.clear();
    json_.clear();
    return parse(flat.out);
}

bool MailCheck::loadText(const std::string& message) {
    values_.clear();
    PythonResult flat = runPythonFile(scriptPath(), message, {"--flat"});
    if (flat.exitCode != 0) {
        error_ = "mailcheck.py failed (exit " + std::to_string(flat.exitCode) + "): " + flat.err;
        return false;
    }
    source_.clear();
    input_ = message;
    json_.clear();
    return parse(flat.out);
}

bool MailCheck::parse(const std::string& flat) {
    size_t pos = 0;
    while (pos < flat.size()) {
        size_t eol = flat.find('\n', pos);
        if (eol == std::string::npos) eol = flat.size();
        std::string line = flat.substr(pos, eol - pos);
        pos = eol + 1;
        size_t eq = line.find('=');
        if (eq != std::string::npos) values_[line.substr(0, eq)] = unescape(line.substr(eq + 1));
    }
    if (values_.empty()) {
        error_ = "mailcheck.py printed nothing";
        return false;
    }
    return true;
}

std::string MailCheck::json() const {
    if (json_.empty()) json_ = runPythonFile(scriptPath(), input_, source_).out;
    return json_;
}

std::string MailCheck::get(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

int MailCheck::count(const std::string& group) const {
    return std::atoi(get(group + ".count").c_str());
}

std::string MailCheck::attachmentBytes(int n, bool part) const {
    return base64Decode(get((part ? "part." : "attachment.") + std::to_string(n) + ".base64"));
}

std::string base64Decode(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int nbits = 0;
    for (char c : text) {
        size_t v = alphabet.find(c);
        if (v == std::string::npos) continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out += static_cast<char>((bits >> nbits) & 0xFF);
        }
    }
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
