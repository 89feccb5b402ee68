#pragma once
// A scripted SOCKS proxy for what a real one will not do on demand: odd
// replies, refusals, a close after a few bytes. It reads fixed byte counts
// and records them, so tests can check the requests byte for byte.

#include "NetPeers.h"

#include <memory>
#include <string>
#include <vector>

namespace ostmail {
namespace nettest {

class SocksPeer {
public:
    // Reads exactly n bytes and records them as one request.
    SocksPeer& read(size_t n) { return add({n, "", false}); }
    SocksPeer& send(const std::string& bytes) { return add({0, bytes, false}); }
    SocksPeer& close() { return add({0, "", true}); }

    SocksPeer& start() {
        peer_ = std::make_unique<PeerThread>([this](int fd) { run(fd); });
        return *this;
    }
    uint16_t port() const { return peer_->port(); }
    // Waits until the client has closed, then gives what the proxy read.
    const std::vector<std::string>& requests() {
        peer_.reset();
        return requests_;
    }

private:
    struct Step {
        size_t readCount;
        std::string bytes;
        bool close;
    };
    SocksPeer& add(Step s) {
        steps_.push_back(std::move(s));
        return *this;
    }
    void run(int fd) {
        for (const Step& s : steps_) {
            if (s.close) return (void)::shutdown(fd, SHUT_RDWR);
            if (!s.readCount) ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
            else if (requests_.emplace_back(receiveUpTo(fd, s.readCount)).size() < s.readCount) break;
        }
        receiveUpTo(fd, SIZE_MAX);  // holds the connection until the client closes it
    }

    std::vector<Step> steps_;
    std::vector<std::string> requests_;
    std::unique_ptr<PeerThread> peer_;
};

}  // namespace nettest
}  // namespace ostmail
