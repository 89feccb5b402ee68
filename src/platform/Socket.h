#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostmail {
namespace platform {

// IPv4 TCP client sockets. Every error comes back as the Winsock number
// (10035 would block, 10061 refused, ...) so that the callers' texts and
// tests are the same on every platform.
using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;
constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;  // inet_addr's "no address"

constexpr int kWsaWouldBlock = 10035;
constexpr int kWsaInvalidArgument = 10022;
constexpr int kWsaConnRefused = 10061;
constexpr int kWsaVersionNotSupported = 10092;
constexpr int kWsaProviderFailedInit = 10106;

// Socket layer start-up for a version word (minor << 8 | major); 0 or a
// Winsock error. Needs nothing here, so it succeeds at once.
int socketStartup(uint16_t versionWord);

// Winsock number for a system error number, and back to the system's text.
int winsockErrorFromSystem(int sysErr);
std::string socketSystemErrorText(int wsaError);

// Each returns 0 or the Winsock error.
int socketCreate(SocketHandle* out);
int socketSetNonBlocking(SocketHandle s, bool on);
int socketBind(SocketHandle s, uint32_t addrNetOrder, uint16_t port);
int socketConnect(SocketHandle s, uint32_t addrNetOrder, uint16_t port);
// The outcome of a non-blocking connect once the socket is writable.
int socketPendingError(SocketHandle s);
int socketSetSendBufferSize(SocketHandle s, uint32_t size);
int socketSetRecvBufferSize(SocketHandle s, uint32_t size);

// 1 ready, 0 timed out, -1 error (*err set). The wait is cut short at
// about 24 days; callers keep their own total.
int socketWaitWritable(SocketHandle s, uint32_t timeoutMs, int* err);
int socketWaitReadable(SocketHandle s, uint32_t timeoutMs, int* err);

// Byte count, 0 (recv: peer closed), or -1 with *err set. Send never
// raises SIGPIPE and never blocks (10035 when the socket buffer is full).
// more: further bytes follow at once, so the kernel may hold this piece
// back to fill whole segments (the last piece of a message goes without).
long socketSend(SocketHandle s, const void* data, size_t n, int* err, bool more = false);
long socketRecv(SocketHandle s, void* data, size_t n, int* err);

void socketShutdownBoth(SocketHandle s);
void socketClose(SocketHandle s);

// Dotted-quad text to an address in network order; kInaddrNone when the
// text is not one.
uint32_t inetAddr(const char* dotted);
std::string dottedAddress(uint32_t addrNetOrder);

// First IPv4 address of a host name, network order; false when none.
bool resolveIpv4(const char* hostname, uint32_t* addrNetOrder);

// An IPv4 or IPv6 address. bytes are in network order; IPv4 uses the
// first four.
struct SocketAddress {
    int family = 0;  // 4 or 6
    unsigned char bytes[16] = {};
};

// Numeric text of either family (no brackets, no zone) to an address.
bool parseIpv4(const char* text, SocketAddress* out);
bool parseIpv6(const char* text, SocketAddress* out);
// "127.0.0.1", "::1".
std::string addressText(const SocketAddress& a);

// Every address of a host name, both families, in the system's order of
// preference (RFC 6724); false when there is none.
bool resolveAll(const char* hostname, std::vector<SocketAddress>* out);

// A socket of the address's family (TCP_NODELAY as socketCreate), and its
// connect; 0 or the Winsock error.
int socketCreateFor(int family, SocketHandle* out);
int socketConnectTo(SocketHandle s, const SocketAddress& a, uint16_t port);

// Waits until one of n sockets is writable (or failed): 1 with *index set,
// 0 timed out, -1 error (*err set).
int socketWaitAnyWritable(const SocketHandle* s, size_t n, uint32_t timeoutMs, size_t* index, int* err);

// The local address of a connected socket; false when unknown.
bool socketLocalAddress(SocketHandle s, SocketAddress* out);

}  // namespace platform
}  // namespace ostmail
