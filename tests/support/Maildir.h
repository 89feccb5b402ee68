#pragma once
// Reads what the test MTA delivered. Every recipient of every message is
// delivered into one Maildir as a file of its own, so a test marks its
// message with a unique token (ASCII, somewhere the MTA leaves it readable,
// such as the subject or a plain body) and waits for the files holding it.
// Exim stores messages with LF line ends and adds Return-path, Envelope-to
// (the accepted RCPT addresses) and Delivery-date at the top.

#include <string>
#include <vector>

namespace ostmail {
namespace testsupport {

class Maildir {
public:
    explicit Maildir(std::string root);

    // Path of a delivered message containing token, waiting up to timeoutMs;
    // "" when none arrived.
    std::string waitFor(const std::string& token, int timeoutMs = 10000) const;
    // Paths of count messages containing token (one per recipient); fewer
    // when the time ran out.
    std::vector<std::string> waitForCount(const std::string& token, size_t count, int timeoutMs = 10000) const;
    // Every delivered message containing token, now.
    std::vector<std::string> find(const std::string& token) const;

    static std::string readFile(const std::string& path);
    // A token unlikely to appear anywhere else: prefix, pid, time, counter.
    static std::string uniqueToken(const std::string& prefix = "ostmail");

private:
    std::string root_;
};

}  // namespace testsupport
}  // namespace ostmail
