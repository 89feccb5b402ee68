#pragma once
// Reads what the test MTA delivered. Every recipient of every message is
// delivered into one Maildir as a file of its own, so a test marks its
// message with a unique token (ASCII, somewhere the MTA leaves it readable,
// such as the subject or a plain body) and waits for the files holding it.
// Exim stores messages with LF line ends and adds Return-path, Envelope-to
// (the accepted RCPT addresses) and Delivery-date at the top.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ostmail {
namespace testsupport {

class Maildir {
public:
    explicit Maildir(std::string root) : root_(std::move(root)) {}

    // Path of a delivered message containing token, waiting up to timeoutMs;
    // "" when none arrived.
    std::string waitFor(const std::string& token, int timeoutMs = 10000) const {
        std::vector<std::string> found = waitForCount(token, 1, timeoutMs);
        return found.empty() ? std::string() : found.front();
    }
    // Paths of count messages containing token (one per recipient); fewer
    // when the time ran out.
    std::vector<std::string> waitForCount(const std::string& token, size_t count, int timeoutMs = 10000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (std::vector<std::string> found;; found.clear()) {
            std::error_code ec;
            // Only new/ and cur/: the MTA writes in tmp/ and renames when complete.
            for (const char* sub : {"/new", "/cur"})
                for (std::filesystem::directory_iterator it(root_ + sub, ec), end; !ec && it != end; it.increment(ec))
                    if (readFile(it->path().string()).find(token) != std::string::npos)
                        found.push_back(it->path().string());
            if (found.size() >= count || std::chrono::steady_clock::now() > deadline) {
                std::sort(found.begin(), found.end());
                return found;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // A token unlikely to appear anywhere else: prefix, pid, time, counter.
    static std::string uniqueToken(const std::string& prefix = "ostmail") {
        static std::atomic<unsigned> counter{0};
        auto now = std::chrono::system_clock::now().time_since_epoch();
        return prefix + "-" + std::to_string(::getpid()) + "-" +
               std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + "-" +
               std::to_string(counter++);
    }

private:
    std::string root_;
};

}  // namespace testsupport
}  // namespace ostmail
