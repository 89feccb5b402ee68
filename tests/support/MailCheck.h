#pragma once
// A delivered message as Python's email package sees it (mailcheck.py):
// an independent MIME parser to check what our renderer produced.
//
//   MailCheck m;
//   ASSERT_TRUE(m.loadFile(path)) << m.error();
//   EXPECT_EQ(m.get("to.0.addr"), "a@example.test");
//   EXPECT_EQ(m.attachmentBytes(0), fileBytes);
//
// Keys are listed at the top of tests/support/mailcheck.py.

#include <map>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

struct PythonResult;

class MailCheck {
public:
    bool loadFile(const std::string& messagePath);
    // A message held in memory, parsed the same way.
    bool loadText(const std::string& message);
    // Several messages in one Python run (much faster); one result per path,
    // each with its error() set when it could not be read.
    static std::vector<MailCheck> loadFiles(const std::vector<std::string>& paths);
    const std::string& error() const { return error_; }
    // The value, or "" when the key is absent.
    std::string get(const std::string& key) const;
    // A count key ("to.count", "attachment.count") as a number; 0 when absent.
    int count(const std::string& group) const;
    // The decoded bytes of attachment n.
    std::string attachmentBytes(int n) const;
    // Every key and value, for failure messages.
    std::string dump() const;

private:
    static std::vector<MailCheck> parse(const PythonResult& r, const std::vector<std::string>& paths);
    std::string error_;
    std::map<std::string, std::string> values_;
};

}  // namespace testsupport
}  // namespace ostmail
