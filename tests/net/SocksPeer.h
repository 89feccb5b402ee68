#pragma once
// A scripted SOCKS proxy for what a real one will not do on demand: odd
// replies, refusals, a close after a few bytes. It reads fixed byte counts
// and records them, so tests can check the requests byte for byte.

#include "NetPeers.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace ostmail {
namespace nettest {

class SocksPeer {
public:
    ~SocksPeer() { stop_ = true; }

    // Reads exactly n bytes and records them as one request.
    SocksPeer& read(size_t n) { return add({n, ""}); }
    SocksPeer& send(const std::string& bytes) { return add({0, bytes}); }
    SocksPeer& close() { return add({0, "", true}); }

    void start() { peer_.reset(new PeerThread([this](int fd) { run(fd); })); }
    // Waits for the script's end; false on time-out.
    bool waitDone(int timeoutMs = 10000) {
        for (int waited = 0; !done_ && waited < timeoutMs; waited += 10) ::usleep(10000);
        return done_;
    }
    uint16_t port() const { return peer_->port(); }
    const std::vector<std::string>& requests() const { return requests_; }

private:
    struct Step {
        size_t readCount;
        std::string bytes;
        bool close = false;
    };
    SocksPeer& add(Step s) {
        steps_.push_back(std::move(s));
        return *this;
    }
    bool waitIn(int fd) {
        pollfd p{fd, POLLIN, 0};
        for (int waited = 0; waited < 10000 && !stop_; waited += 50)
            if (::poll(&p, 1, 50) > 0) return true;
        return false;
    }
    // Up to n bytes; fewer when the client closes or goes silent.
    std::string readN(int fd, size_t n) {
        std::string out;
        char buf[512];
        for (ssize_t got = 1; out.size() < n && got > 0 && waitIn(fd);) {
            got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got > 0) out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }
    void run(int fd) {
        for (const Step& s : steps_) {
            if (s.close) {
                ::shutdown(fd, SHUT_RDWR);
                break;
            }
            if (s.readCount) {
                requests_.push_back(readN(fd, s.readCount));
                if (requests_.back().size() < s.readCount) break;
            } else {
                ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
            }
        }
        // Hold the connection until the client closes it.
        for (char c; waitIn(fd) && ::recv(fd, &c, 1, 0) > 0;) {}
        done_ = true;
    }

    std::vector<Step> steps_;
    std::vector<std::string> requests_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::unique_ptr<PeerThread> peer_;  // last: its thread ends before the rest goes
};

}  // namespace nettest
}  // namespace ostmail
