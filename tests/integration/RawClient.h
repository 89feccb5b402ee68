#pragma once
// A bare TCP client for checking test fixtures and servers without our own
// network code in the way.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace ostmail {
namespace testsupport {

class RawClient {
public:
    RawClient() = default;
    ~RawClient() { close(); }
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
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // One recv: what arrived within timeoutMs ("" on time-out or close;
    // closed() and lastErrno() tell which).
    std::string recvSome(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return "";
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            errno_ = n < 0 ? errno : 0;
            return "";
        }
        return std::string(buf, static_cast<size_t>(n));
    }
    // One line with its CRLF removed; "" on time-out or close.
    std::string readLine(int timeoutMs = 5000) {
        size_t eol;
        while ((eol = buf_.find('\n')) == std::string::npos) {
            std::string more = recvSome(timeoutMs);
            if (more.empty()) return "";
            buf_ += more;
        }
        std::string line = buf_.substr(0, eol);
        buf_.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    // A whole SMTP reply: continuation lines up to the last one ("250 ...").
    std::string readReply(int timeoutMs = 5000) {
        std::string all, line;
        do {
            line = readLine(timeoutMs);
            all += line + "\n";
        } while (line.size() >= 4 && line[3] == '-');
        return all;
    }
    // Sends a command line and returns the reply.
    std::string command(const std::string& line) {
        send(line + "\r\n");
        return readReply();
    }
    std::string& pending() { return buf_; }
    bool closed() const { return closed_; }
    int lastErrno() const { return errno_; }

private:
    int fd_ = -1;
    std::string buf_;
    bool closed_ = false;
    int errno_ = 0;
};

}  // namespace testsupport
}  // namespace ostmail
