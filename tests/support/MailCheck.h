#pragma once
// A delivered message as Python's email package sees it (mailcheck.py):
// an independent MIME parser to check what our renderer produced.
//
//   MailCheck m;
//   ASSERT_TRUE(m.loadFile(path)) << m.error();
//   EXPECT_EQ(m.get("subject"), "Hello");
//   EXPECT_EQ(m.get("to.0.addr"), "a@example.test");
//   EXPECT_EQ(m.attachmentBytes(0), fileBytes);
//
// Keys are listed at the top of tests/support/mailcheck.py.

#include <map>
#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

class MailCheck {
public:
    bool loadFile(const std::string& messagePath);
    bool loadText(const std::string& message);

    const std::string& error() const { return error_; }
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    // The value, or "" when the key is absent.
    std::string get(const std::string& key) const;
    // A count key ("to.count", "attachment.count") as a number; 0 when absent.
    int count(const std::string& group) const;
    // The decoded bytes of attachment n (or part n with part=true).
    std::string attachmentBytes(int n, bool part = false) const;
    // The whole analysis as pretty JSON, for failure messages.
    std::string json() const;
    const std::map<std::string, std::string>& all() const { return values_; }

    static std::string scriptPath();

private:
    bool parse(const std::string& flat);

    std::string error_;
    std::vector<std::string> source_;  // the file, for json()
    std::string input_;                 // or the text
    mutable std::string json_;
    std::map<std::string, std::string> values_;
};

// Standard base64 without line breaks (what mailcheck.py prints).
std::string base64Decode(const std::string& text);

}  // namespace testsupport
}  // namespace ostmail
