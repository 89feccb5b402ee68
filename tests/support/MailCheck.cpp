#include "support/MailCheck.h"

#include "support/PythonRun.h"

#include <sstream>

namespace ostmail {
namespace testsupport {

namespace {
const std::string kScript = std::string(OSTMAIL_TEST_SUPPORT_DIR) + "/mailcheck.py";
}

bool MailCheck::loadText(const std::string& message) {
    *this = parse(runPythonFile(kScript, message, {"/dev/stdin"}), {"the message text"})[0];
    return error_.empty();
}

std::vector<MailCheck> MailCheck::loadFiles(const std::vector<std::string>& paths) {
    return parse(runPythonFile(kScript, "", paths), paths);
}

std::vector<MailCheck> MailCheck::parse(const PythonResult& r, const std::vector<std::string>& paths) {
    std::vector<MailCheck> all(paths.size());
    size_t n = 0;  // sections begin with "file=PATH"
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value;
        for (size_t i = eq + 1; i < line.size(); ++i) {
            const bool escaped = line[i] == '\\' && i + 1 < line.size();
            const char c = escaped ? line[++i] : line[i];
            value += !escaped ? c : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
        if (line.compare(0, eq, "file") == 0) ++n;
        else if (n > 0 && n <= all.size()) all[n - 1].values_[line.substr(0, eq)] = value;
    }
    for (size_t i = 0; i < all.size(); ++i) {
        MailCheck& m = all[i];
        if (m.values_.count("error")) m.error_ = "Python could not read " + paths[i] + ": " + m.get("error");
        else if (r.exitCode != 0 || m.values_.empty())
            m.error_ = "mailcheck.py failed on " + paths[i] + " (exit " + std::to_string(r.exitCode) + "): " + r.err;
    }
    return all;
}

std::string MailCheck::attachmentBytes(int n) const {
    const std::string hex = get("attachment." + std::to_string(n) + ".hex");
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace testsupport
}  // namespace ostmail
