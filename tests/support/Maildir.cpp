#include "support/Maildir.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace ostmail {
namespace testsupport {

Maildir::Maildir(std::string root) : root_(std::move(root)) {}

std::vector<std::string> Maildir::find(const std::string& token) const {
    std::vector<std::string> found;
    std::error_code ec;
    // Only new/ and cur/: the MTA writes in tmp/ and renames when complete.
    for (const char* sub : {"/new", "/cur"})
        for (std::filesystem::directory_iterator it(root_ + sub, ec), end; !ec && it != end; it.increment(ec))
            if (readFile(it->path().string()).find(token) != std::string::npos) found.push_back(it->path().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> Maildir::waitForCount(const std::string& token, size_t count, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<std::string> found = find(token);
        if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string Maildir::waitFor(const std::string& token, int timeoutMs) const {
    std::vector<std::string> found = waitForCount(token, 1, timeoutMs);
    return found.empty() ? std::string() : found.front();
}

std::string Maildir::readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Maildir::uniqueToken(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return prefix + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + "-" +
           std::to_string(counter++);
}

}  // namespace testsupport
}  // namespace ostmail
