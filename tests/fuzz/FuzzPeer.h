#pragma once
// The far end of the client's connection for session targets: a connected
// socket pair, one end handed to the next connect through the socket's
// seam, the other played by a script on a thread of its own. No port is
// taken per input, so nothing runs out however long the run.
#include "FuzzInput.h"
#include "net/VelmoraSocket.h"

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace ostmail {
namespace fuzz {

class PairPeer {
public:
    explicit PairPeer(std::function<void(int fd)> script) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) harnessFailure("socketpair");
        pending().store(fds[0]);
        m_fd = fds[1];
        VelmoraSocket::setConnectSeam(&take);
        try {
            m_thread = std::thread([this, script] { script(m_fd); });
        } catch (const std::system_error&) {
            harnessFailure("thread");
        }
    }
    // The client's end is closed by now, unless no connect took it.
    ~PairPeer() {
        int untaken = pending().exchange(-1);
        if (untaken >= 0) ::close(untaken);
        m_thread.join();
        ::close(m_fd);
    }
    PairPeer(const PairPeer&) = delete;
    PairPeer& operator=(const PairPeer&) = delete;

private:
    // The first connect gets the pair's end; a reconnect is refused.
    static std::atomic<int>& pending() {
        static std::atomic<int> fd{-1};
        return fd;
    }
    static platform::SocketHandle take() { return pending().exchange(-1); }

    int m_fd = -1;
    std::thread m_thread;
};

// Sends the bytes at once and shuts the write side, then returns whatever
// the client writes until it closes.
inline std::string sendThenRead(int fd, const std::string& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<size_t>(n));
    return got;
}

}  // namespace fuzz
}  // namespace ostmail
