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
//   defects                    the parser's complaints, space-separated
//   attachment.count, attachment.N.filename, .content_type, .size, .hex
//                              (parts with a file name or disposition attachment)
//   error                      why Python could not read the message
// mailcheck.py escapes backslash, CR, LF and TAB in the values it prints.

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

struct PythonResult;

class MailCheck {
public:
    bool loadFile(const std::string& messagePath) {
        *this = loadFiles({messagePath})[0];
        return error_.empty();
    }
    // A message held in memory, parsed the same way.
    bool loadText(const std::string& message);
    // Several messages in one Python run (much faster); one result per path,
    // each with its error() set when it could not be read.
    static std::vector<MailCheck> loadFiles(const std::vector<std::string>& paths);
    const std::string& error() const { return error_; }
    // The value, or "" when the key is absent.
    std::string get(const std::string& key) const { return values_.count(key) ? values_.at(key) : ""; }
    // A count key ("to.count", "attachment.count") as a number; 0 when absent.
    int count(const std::string& group) const { return std::atoi(get(group + ".count").c_str()); }
    // The decoded bytes of attachment n.
    std::string attachmentBytes(int n) const;
    // Every key and value, for failure messages.
    std::string dump() const {
        std::string out;
        for (const auto& [key, value] : values_) out += key + "=" + value + "\n";
        return out;
    }

private:
    static std::vector<MailCheck> parse(const PythonResult& r, const std::vector<std::string>& paths);
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace testsupport
}  // namespace ostmail
