#pragma once
// A delivered message as Python's email package sees it (mailcheck.py):
// an independent MIME parser to check what our renderer produced.
//
//   MailCheck m;
//   ASSERT_TRUE(m.loadFile(path)) << m.error();
//   EXPECT_EQ(m.get("to.0.addr"), "a@example.test");
//   EXPECT_EQ(m.attachmentBytes(0), fileBytes);
//
// The keys, with values unescaped:
//   header.<lower-case name>   decoded value of the first such field
//   header.names               every field name, lower case, in order
//   subject
//   from|to|cc|bcc .count, .N.name, .N.addr
//   body, html                 the text/plain and the text/html part
//   body.charset, html.charset their charset parameters
//   body.strict, html.strict, subject.strict
//                              decoded by the declared charsets with no error
//                              tolerated, or "!" and the error's name
//   defects                    the parser's complaints, space-separated
//   structure                  the content types of the tree, "multipart/mixed(text/plain,...)"
//   attachment.count, attachment.N.filename, .content_type, .content_id, .size, .hex
//                              (parts with a file name or disposition attachment)
//   error                      why Python could not read the message
// mailcheck.py escapes backslash, CR, LF and TAB in the values it prints.

#include "support/PythonRun.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

class MailCheck {
public:
    bool loadFile(const std::string& messagePath) {
        *this = loadFiles({messagePath})[0];
        return error_.empty();
    }
    // A message held in memory, parsed the same way.
    bool loadText(const std::string& message) {
        *this = parse(runPythonFile(kScript, message, {"/dev/stdin"}), {"the message text"})[0];
        return error_.empty();
    }
    // Several messages in one Python run (much faster); one result per path,
    // each with its error() set when it could not be read.
    static std::vector<MailCheck> loadFiles(const std::vector<std::string>& paths) {
        return parse(runPythonFile(kScript, "", paths), paths);
    }
    const std::string& error() const { return error_; }
    // The value, or "" when the key is absent.
    std::string get(const std::string& key) const { return values_.count(key) ? values_.at(key) : ""; }
    // A count key ("to.count", "attachment.count") as a number; 0 when absent.
    int count(const std::string& group) const { return std::atoi(get(group + ".count").c_str()); }
    // The decoded bytes of attachment n.
    std::string attachmentBytes(int n) const {
        const std::string hex = get("attachment." + std::to_string(n) + ".hex");
        std::string out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return out;
    }
    // Every key and value, for failure messages.
    std::string dump() const {
        std::string out;
        for (const auto& [key, value] : values_) out += key + "=" + value + "\n";
        return out;
    }

private:
    static constexpr const char* kScript = OSTMAIL_SOURCE_DIR "/tests/support/mailcheck.py";

    static std::vector<MailCheck> parse(const PythonResult& r, const std::vector<std::string>& paths) {
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
                m.error_ = "mailcheck.py exited " + std::to_string(r.exitCode) + " on " + paths[i] + ": " + r.err;
        }
        return all;
    }
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace testsupport
}  // namespace ostmail
