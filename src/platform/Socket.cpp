#include "platform/Socket.h"

#include "platform/SysInfo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ostmail {
namespace platform {

namespace {

struct ErrorPair {
    int sys;
    int wsa;
};

// First match wins in both directions, so the preferred system number for
// a Winsock number comes first.
const ErrorPair kErrors[] = {
    {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035},     {EINTR, 10004},
    {EBADF, 10009},       {EACCES, 10013},       {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},      {ENFILE, 10024},       {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},       {ENETUNREACH, 10051},
    {ENETRESET, 10052},   {ECONNABORTED, 10053}, {ECONNRESET, 10054},      {EPIPE, 10054},
    {ENOBUFS, 10055},     {ENOMEM, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},   {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

int lastError() { return winsockErrorFromSystem(errno); }

sockaddr_in ipv4(uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrNetOrder;
    return sa;
}

int waitFor(SocketHandle s, short events, uint32_t timeoutMs, int* err) {
    if (s < 0) {
        if (err) *err = 10038;
        return -1;
    }
    pollfd p{s, events, 0};
    int ms = timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (err) *err = lastError();
        return -1;
    }
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) {
        if (err) *err = 10038;
        return -1;
    }
    // Errors and hang-ups count as ready: the next call reports them.
    return 1;
}

int setIntOption(SocketHandle s, int name, uint32_t value) {
    int v = static_cast<int>(value);
    return ::setsockopt(s, SOL_SOCKET, name, &v, sizeof v) == 0 ? 0 : lastError();
}

}  // namespace

int socketStartup(uint16_t versionWord) {
    (void)versionWord;
    return 0;
}

int winsockErrorFromSystem(int sysErr) {
    for (const ErrorPair& e : kErrors)
        if (e.sys == sysErr) return e.wsa;
    return sysErr == 0 ? 0 : 10000 + sysErr;
}

std::string socketSystemErrorText(int wsaError) {
    for (const ErrorPair& e : kErrors)
        if (e.wsa == wsaError) return errorText(e.sys);
    return wsaError > 10000 ? errorText(wsaError - 10000) : errorText(wsaError);
}

int socketCreate(SocketHandle* out) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    *out = s < 0 ? kInvalidSocket : s;
    if (s < 0) return lastError();
    // SMTP is lock-step: the small terminator after a message body must not
    // wait for the server's delayed ACK of the body (Nagle), ~40 ms a message.
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return 0;
}

int socketSetNonBlocking(SocketHandle s, bool on) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return lastError();
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0 ? 0 : lastError();
}

int socketBind(SocketHandle s, uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa = ipv4(addrNetOrder, port);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

int socketConnect(SocketHandle s, uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa = ipv4(addrNetOrder, port);
    // Not retried on EINTR: the connect goes on in the background.
    return ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

int socketPendingError(SocketHandle s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return lastError();
    return winsockErrorFromSystem(err);
}

int socketSetSendBufferSize(SocketHandle s, uint32_t size) { return setIntOption(s, SO_SNDBUF, size); }
int socketSetRecvBufferSize(SocketHandle s, uint32_t size) { return setIntOption(s, SO_RCVBUF, size); }

int socketWaitWritable(SocketHandle s, uint32_t timeoutMs, int* err) { return waitFor(s, POLLOUT, timeoutMs, err); }
int socketWaitReadable(SocketHandle s, uint32_t timeoutMs, int* err) { return waitFor(s, POLLIN, timeoutMs, err); }

long socketSend(SocketHandle s, const void* data, size_t n, int* err, bool more) {
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
    ssize_t r;
    do {
        r = ::send(s, data, n, flags);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && err) *err = lastError();
    return static_cast<long>(r);
}

long socketRecv(SocketHandle s, void* data, size_t n, int* err) {
    ssize_t r;
    do {
        r = ::recv(s, data, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && err) *err = lastError();
    return static_cast<long>(r);
}

void socketShutdownBoth(SocketHandle s) {
    if (s >= 0) ::shutdown(s, SHUT_RDWR);
}

void socketClose(SocketHandle s) {
    if (s >= 0) ::close(s);
}

uint32_t inetAddr(const char* dotted) {
    in_addr a{};
    if (!dotted || ::inet_aton(dotted, &a) == 0) return kInaddrNone;
    return a.s_addr;
}

std::string dottedAddress(uint32_t addrNetOrder) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addrNetOrder);
    char buf[20];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

bool resolveIpv4(const char* hostname, uint32_t* addrNetOrder) {
    if (!hostname || !*hostname) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(hostname, nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    for (addrinfo* ai = res; ai && !ok; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
        *addrNetOrder = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        ok = true;
    }
    ::freeaddrinfo(res);
    return ok;
}

bool parseIpv4(const char* text, SocketAddress* out) {
    in_addr a{};
    if (!text || ::inet_pton(AF_INET, text, &a) != 1) return false;
    *out = SocketAddress{};
    out->family = 4;
    std::memcpy(out->bytes, &a, 4);
    return true;
}

bool parseIpv6(const char* text, SocketAddress* out) {
    in6_addr a{};
    if (!text || ::inet_pton(AF_INET6, text, &a) != 1) return false;
    *out = SocketAddress{};
    out->family = 6;
    std::memcpy(out->bytes, &a, 16);
    return true;
}

std::string addressText(const SocketAddress& a) {
    char buf[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.bytes, buf, sizeof buf);
    return buf;
}

bool resolveAll(const char* hostname, std::vector<SocketAddress>* out) {
    out->clear();
    if (!hostname || !*hostname) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(hostname, nullptr, &hints, &res) != 0 || !res) return false;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        SocketAddress a;
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            a.family = 4;
            std::memcpy(a.bytes, &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
        } else if (ai->ai_family == AF_INET6 && ai->ai_addr) {
            a.family = 6;
            std::memcpy(a.bytes, &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr, 16);
        } else {
            continue;
        }
        out->push_back(a);
    }
    ::freeaddrinfo(res);
    return !out->empty();
}

int socketCreateFor(int family, SocketHandle* out) {
    if (family != 6) return socketCreate(out);
    int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    *out = s < 0 ? kInvalidSocket : s;
    if (s < 0) return lastError();
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return 0;
}

int socketConnectTo(SocketHandle s, const SocketAddress& a, uint16_t port) {
    if (a.family != 6) {
        uint32_t v4;
        std::memcpy(&v4, a.bytes, 4);
        return socketConnect(s, v4, port);
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    std::memcpy(&sa.sin6_addr, a.bytes, 16);
    return ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

int socketWaitAnyWritable(const SocketHandle* s, size_t n, uint32_t timeoutMs, size_t* index, int* err) {
    std::vector<pollfd> fds(n);
    for (size_t i = 0; i < n; ++i) fds[i] = pollfd{s[i], POLLOUT, 0};
    int ms = timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    int r;
    do {
        r = ::poll(fds.data(), static_cast<nfds_t>(n), ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (err) *err = lastError();
        return -1;
    }
    for (size_t i = 0; i < n && r > 0; ++i) {
        if (!fds[i].revents) continue;
        *index = i;
        return 1;
    }
    return 0;
}

bool socketLocalAddress(SocketHandle s, SocketAddress* out) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (s < 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    *out = SocketAddress{};
    if (ss.ss_family == AF_INET) {
        out->family = 4;
        std::memcpy(out->bytes, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, 4);
    } else if (ss.ss_family == AF_INET6) {
        out->family = 6;
        std::memcpy(out->bytes, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, 16);
    } else {
        return false;
    }
    return true;
}

}  // namespace platform
}  // namespace ostmail
