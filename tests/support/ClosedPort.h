#pragma once
#include "support/TestSockets.h"

#include <cstdint>

namespace ostmail {
namespace testsupport {

// A loopback port that refuses connections for as long as this object
// lives. The socket is bound but never listens: the kernel answers a SYN
// with a reset, and no other listener, not even a parallel test's, can
// take the port meanwhile, as it could a port that was bound and released.
class ClosedPort {
public:
    ClosedPort() : fd_(sock::tcpSocket()) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
            port_ = ntohs(sa.sin_port);
    }
    ~ClosedPort() {
        if (fd_ >= 0) sock::closeFd(fd_);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    uint16_t port() const { return port_; }

private:
    int fd_;
    uint16_t port_ = 0;
};

}  // namespace testsupport
}  // namespace ostmail
