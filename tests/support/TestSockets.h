#pragma once
// The few socket calls the test peers make, on POSIX sockets and on
// Winsock alike, so that the same peers serve the Windows build.
#include <cerrno>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ostmail {
namespace testsupport {
namespace sock {

#ifdef _WIN32
// A SOCKET handle fits an int in practice, and INVALID_SOCKET becomes -1.
inline int tcpSocket() {
    static WSADATA data;
    static const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started ? static_cast<int>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) : -1;
}
inline int acceptFd(int listenFd) { return static_cast<int>(::accept(listenFd, nullptr, nullptr)); }
inline void closeFd(int fd) { ::closesocket(fd); }
inline int pollIn(int fd, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(fd), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, ms);
}
inline bool interrupted() { return false; }
inline std::string lastErrorText() { return "Winsock error " + std::to_string(WSAGetLastError()); }
constexpr int kSendFlags = 0;
#else
inline int tcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline int acceptFd(int listenFd) { return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC); }
inline void closeFd(int fd) { ::close(fd); }
inline int pollIn(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms);
}
inline bool interrupted() { return errno == EINTR; }
inline std::string lastErrorText() { return std::strerror(errno); }
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// A loopback socket on a free port, listening, or only bound so that it
// refuses connections; -1 when none could be made.
inline int listenLoopback(uint16_t& port, bool listening = true) {
    int fd = tcpSocket();
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    sockaddr* sa = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, sa, sizeof addr) != 0 || (listening && ::listen(fd, 16) != 0) ||
        ::getsockname(fd, sa, &len) != 0) {
        closeFd(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

#ifndef _WIN32
// A listener on [::1]:port (0: any); with filled, its queue is full so
// that a further connect never completes.
struct Listener6 {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), filler = -1;
    uint16_t port = 0;
    Listener6(uint16_t want, bool filled) {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(want);
        sa.sin6_addr = in6addr_loopback;
        socklen_t n = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), n) != 0 || ::listen(fd, filled ? 0 : 8) != 0) return;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
        port = ntohs(sa.sin6_port);
        if (!filled) return;
        filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&sa), n);
    }
    ~Listener6() {
        if (filler >= 0) ::close(filler);
        ::close(fd);
    }
};
#endif

}  // namespace sock
}  // namespace testsupport
}  // namespace ostmail
