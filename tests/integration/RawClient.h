#pragma once
// A bare TCP client for talking SMTP without our own network code in the way.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace ostmail {
namespace testsupport {

class RawClient {
public:
    RawClient() = default;
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // One line with its CRLF removed; "" on time-out or close.
    std::string readLine(int timeoutMs = 5000) {
        size_t eol;
        while ((eol = buf_.find('\n')) == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            char chunk[4096];
            ssize_t n = ::poll(&p, 1, timeoutMs) > 0 ? ::recv(fd_, chunk, sizeof chunk, 0) : 0;
            if (n <= 0) return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
        std::string line = buf_.substr(0, eol);
        buf_.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    // A whole SMTP reply: continuation lines up to the last one ("250 ...").
    std::string readReply() {
        std::string all, line;
        do {
            line = readLine();
            all += line + "\n";
        } while (line.size() >= 4 && line[3] == '-');
        return all;
    }
    // Sends a command line and returns the reply ("" when it cannot be sent).
    std::string command(const std::string& line) {
        std::string bytes = line + "\r\n";
        for (size_t off = 0; off < bytes.size();) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return "";
            off += static_cast<size_t>(n);
        }
        return readReply();
    }

private:
    int fd_ = -1;
    std::string buf_;
};

}  // namespace testsupport
}  // namespace ostmail
