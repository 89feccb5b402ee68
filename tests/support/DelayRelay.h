#pragma once
// A TCP relay on 127.0.0.1 (a free port) to 127.0.0.1:target that holds
// every chunk for a fixed time in each direction: a slow link without
// netem. POSIX only.
#include "support/TestSockets.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace ostmail {
namespace testsupport {

class DelayRelay {
public:
    DelayRelay(uint16_t target, int delayMs)
        : target_(target), delay_(delayMs), listenFd_(sock::listenLoopback(port_)), acceptor_([this] { accept(); }) {}
    ~DelayRelay() {
        stop_ = true;
        acceptor_.join();
        for (std::thread& t : pumps_) t.join();
        for (int fd : fds_) ::close(fd);
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }

private:
    using Clock = std::chrono::steady_clock;

    void accept() {
        while (!stop_) {
            if (sock::pollIn(listenFd_, 50) != 1) continue;
            int client = ::accept(listenFd_, nullptr, nullptr), server = sock::tcpSocket(), one = 1;
            sockaddr_in sa{AF_INET, htons(target_), {htonl(INADDR_LOOPBACK)}, {}};
            fds_.insert(fds_.end(), {client, server});
            if (::connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) continue;
            for (int fd : {client, server}) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            pumps_.emplace_back([this, client, server] { pump(client, server); });
            pumps_.emplace_back([this, client, server] { pump(server, client); });
        }
    }

    // from -> to, each chunk delay_ ms after it came, in order.
    void pump(int from, int to) {
        std::deque<std::pair<Clock::time_point, std::string>> held;
        for (bool open = true; !stop_ && (open || !held.empty());) {
            auto left = held.empty() ? std::chrono::milliseconds(50)
                                     : std::chrono::duration_cast<std::chrono::milliseconds>(held.front().first -
                                                                                             Clock::now());
            int waitMs = static_cast<int>(std::max<long>(0, std::min<long>(50, left.count())));
            char buf[65536];
            ssize_t n = open && sock::pollIn(from, waitMs) == 1 ? ::recv(from, buf, sizeof buf, 0) : -1;
            if (n > 0) held.emplace_back(Clock::now() + std::chrono::milliseconds(delay_), std::string(buf, n));
            if (n == 0) open = false;
            if (!open && n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            for (; !held.empty() && held.front().first <= Clock::now(); held.pop_front())
                if (::send(to, held.front().second.data(), held.front().second.size(), MSG_NOSIGNAL) < 0) return;
        }
        ::shutdown(to, SHUT_WR);
    }

    uint16_t target_;
    int delay_;
    uint16_t port_ = 0;
    int listenFd_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> pumps_;
    std::vector<int> fds_;
    std::thread acceptor_;  // last: starts once the rest is set up
};

}  // namespace testsupport
}  // namespace ostmail
