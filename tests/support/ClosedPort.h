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
    ClosedPort() = default;
    ~ClosedPort() { sock::closeFd(fd_); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    uint16_t port() const { return port_; }

private:
    uint16_t port_ = 0;  // before fd_, which sets it
    int fd_ = sock::listenLoopback(port_, false);
};

}  // namespace testsupport
}  // namespace ostmail
