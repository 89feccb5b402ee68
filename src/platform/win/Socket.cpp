#include "platform/Socket.h"

#include "platform/SysInfo.h"
#include "platform/win/WideText.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace ostmail {
namespace platform {

namespace {

// Functions that may run before the caller's start-up (a lookup in its own
// thread) take a reference of their own, once per process.
bool winsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET native(SocketHandle s) { return s == kInvalidSocket ? INVALID_SOCKET : static_cast<SOCKET>(s); }

int lastError() { return WSAGetLastError(); }

sockaddr_in ipv4(uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrNetOrder;
    return sa;
}

// A failed non-blocking connect shows in the exception set, not the write
// set, so both count as ready: the next call reports the error.
int waitFor(SocketHandle s, bool forWrite, uint32_t timeoutMs, int* err) {
    if (s == kInvalidSocket) {
        if (err) *err = WSAENOTSOCK;
        return -1;
    }
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(native(s), &ready);
    FD_SET(native(s), &failed);
    // Cut at about 24 days, as the header promises.
    uint32_t ms = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs;
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    int r = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
    if (r == SOCKET_ERROR) {
        if (err) *err = lastError();
        return -1;
    }
    return r == 0 ? 0 : 1;
}

int setIntOption(SocketHandle s, int name, uint32_t value) {
    int v = static_cast<int>(value);
    return ::setsockopt(native(s), SOL_SOCKET, name, reinterpret_cast<const char*>(&v), sizeof v) == 0 ? 0
                                                                                                      : lastError();
}

int setNonBlockingMode(SocketHandle s, bool nonBlocking) {
    u_long on = nonBlocking ? 1 : 0;
    return ::ioctlsocket(native(s), FIONBIO, &on) == 0 ? 0 : lastError();
}

}  // namespace

int socketStartup(uint16_t versionWord) {
    WSADATA data;
    return WSAStartup(versionWord, &data);
}

// Winsock reports its own numbers already.
int winsockErrorFromSystem(int sysErr) { return sysErr; }

std::string socketSystemErrorText(int wsaError) { return errorText(wsaError); }

int socketCreate(SocketHandle* out) {
    *out = kInvalidSocket;
    if (!winsockReady()) return WSANOTINITIALISED;
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return lastError();
    *out = static_cast<SocketHandle>(s);
    // SMTP is lock-step: the small terminator after a message body must not
    // wait for the server's delayed ACK of the body (Nagle).
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return 0;
}

int socketSetNonBlocking(SocketHandle s, bool on) { return setNonBlockingMode(s, on); }

int socketBind(SocketHandle s, uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa = ipv4(addrNetOrder, port);
    return ::bind(native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

int socketConnect(SocketHandle s, uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in sa = ipv4(addrNetOrder, port);
    return ::connect(native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

int socketPendingError(SocketHandle s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return lastError();
    return err;
}

int socketSetSendBufferSize(SocketHandle s, uint32_t size) { return setIntOption(s, SO_SNDBUF, size); }
int socketSetRecvBufferSize(SocketHandle s, uint32_t size) { return setIntOption(s, SO_RCVBUF, size); }

int socketWaitWritable(SocketHandle s, uint32_t timeoutMs, int* err) { return waitFor(s, true, timeoutMs, err); }
int socketWaitReadable(SocketHandle s, uint32_t timeoutMs, int* err) { return waitFor(s, false, timeoutMs, err); }

// Winsock has no per-call "don't wait": the socket is switched to
// non-blocking for the one call. "more" has no Winsock form; Nagle is off.
long socketSend(SocketHandle s, const void* data, size_t n, int* err, bool more) {
    (void)more;
    int chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    int rc = setNonBlockingMode(s, true);
    if (rc != 0) {
        if (err) *err = rc;
        return -1;
    }
    int r = ::send(native(s), static_cast<const char*>(data), chunk, 0);
    int sendErr = r == SOCKET_ERROR ? lastError() : 0;
    setNonBlockingMode(s, false);
    if (r == SOCKET_ERROR && err) *err = sendErr;
    return r == SOCKET_ERROR ? -1 : r;
}

long socketRecv(SocketHandle s, void* data, size_t n, int* err) {
    int chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    int r = ::recv(native(s), static_cast<char*>(data), chunk, 0);
    if (r == SOCKET_ERROR) {
        if (err) *err = lastError();
        return -1;
    }
    return r;
}

void socketShutdownBoth(SocketHandle s) {
    if (s != kInvalidSocket) ::shutdown(native(s), SD_BOTH);
}

void socketClose(SocketHandle s) {
    if (s != kInvalidSocket) ::closesocket(native(s));
}

// inet_addr itself, so that its quirks (a lone "255.255.255.255" is
// kInaddrNone too) are the system's.
uint32_t inetAddr(const char* dotted) {
    if (!dotted) return kInaddrNone;
    return ::inet_addr(dotted);
}

std::string dottedAddress(uint32_t addrNetOrder) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addrNetOrder);
    char buf[20];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

// gethostbyname keeps its result per thread, so the lookup thread may use it.
bool resolveIpv4(const char* hostname, uint32_t* addrNetOrder) {
    if (!hostname || !*hostname || !winsockReady()) return false;
    hostent* h = ::gethostbyname(hostname);
    if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0]) return false;
    std::memcpy(addrNetOrder, h->h_addr_list[0], 4);
    return true;
}

bool parseIpv4(const char* text, SocketAddress* out) {
    in_addr a{};
    if (!text || ::InetPtonA(AF_INET, text, &a) != 1) return false;
    *out = SocketAddress{};
    out->family = 4;
    std::memcpy(out->bytes, &a, 4);
    return true;
}

bool parseIpv6(const char* text, SocketAddress* out) {
    in6_addr a{};
    if (!text || ::InetPtonA(AF_INET6, text, &a) != 1) return false;
    *out = SocketAddress{};
    out->family = 6;
    std::memcpy(out->bytes, &a, 16);
    return true;
}

std::string addressText(const SocketAddress& a) {
    char buf[64] = "";
    ::InetNtopA(a.family == 6 ? AF_INET6 : AF_INET, const_cast<unsigned char*>(a.bytes), buf, sizeof buf);
    return buf;
}

bool resolveAll(const char* hostname, std::vector<SocketAddress>* out) {
    out->clear();
    if (!hostname || !*hostname || !winsockReady()) return false;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* res = nullptr;
    std::wstring name = win::widen(hostname);
    if (::GetAddrInfoW(name.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    for (ADDRINFOW* ai = res; ai; ai = ai->ai_next) {
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
    ::FreeAddrInfoW(res);
    return !out->empty();
}

int socketCreateFor(int family, SocketHandle* out) {
    if (family != 6) return socketCreate(out);
    *out = kInvalidSocket;
    if (!winsockReady()) return WSANOTINITIALISED;
    SOCKET s = ::WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return lastError();
    *out = static_cast<SocketHandle>(s);
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
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
    return ::connect(native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastError();
}

// A failed connect shows in the exception set: it counts as ready too.
int socketWaitAnyWritable(const SocketHandle* s, size_t n, uint32_t timeoutMs, size_t* index, int* err) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    for (size_t i = 0; i < n && i < FD_SETSIZE; ++i) {
        FD_SET(native(s[i]), &ready);
        FD_SET(native(s[i]), &failed);
    }
    uint32_t ms = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs;
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    int r = ::select(0, nullptr, &ready, &failed, &tv);
    if (r == SOCKET_ERROR) {
        if (err) *err = lastError();
        return -1;
    }
    for (size_t i = 0; i < n && r > 0; ++i) {
        if (!FD_ISSET(native(s[i]), &ready) && !FD_ISSET(native(s[i]), &failed)) continue;
        *index = i;
        return 1;
    }
    return 0;
}

bool socketLocalAddress(SocketHandle s, SocketAddress* out) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (s == kInvalidSocket || ::getsockname(native(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
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
