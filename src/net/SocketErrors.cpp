#include "net/SocketErrors.h"

#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>

namespace ostmail {

namespace {

// Set at load; cleared by the first start-up whatever its outcome. Atomic so
// that of several threads connecting at once exactly one runs it.
std::atomic<bool> g_startupDue{true};

struct ErrorText {
    int code;
    const char* text;
};

const ErrorText kStartupErrors[] = {
    {10091, "The underlying network subsystem is not ready for network communication."},
    {10092, "The version of Windows Sockets support requested is not provided by this particular Windows Sockets "
            "implementation."},
    {10036, "A blocking Windows Sockets 1.1 operation is in progress."},
    {10067, "Limit on the number of tasks supported by the Windows Sockets implementation has been reached."},
    {10014, "The lpWSAData is not a valid pointer."},
};

const ErrorText kSocketErrors[] = {
    {10093, "WSANOTINITIALISED A successful WSAStartup must occur before using this function."},
    {10035, "WSAEWOULDBLOCK The socket would block."},
    {10053, "WSAECONNABORTED An established connection was aborted by the software in your host machine."},
    {10050, "WSAENETDOWN The network subsystem or the associated service provider has failed."},
    {10047, "WSAEAFNOSUPPORT The specified address family is not supported."},
    {10036, "WSAEINPROGRESS A blocking Windows Sockets 1.1 call is in progress, or the service provider is still "
            "processing a callback function."},
    {10024, "WSAEMFILE No more socket descriptors are available."},
    {10055, "WSAENOBUFS No buffer space is available. The socket cannot be created."},
    {10043, "WSAEPROTONOSUPPORT The specified protocol is not supported."},
    {10041, "WSAEPROTOTYPE The specified protocol is the wrong type for this socket."},
    {10044, "WSAESOCKTNOSUPPORT The specified socket type is not supported in this address family."},
    {10051, "WSAENETUNREACH A socket operation was attempted to an unreachable network."},
    {10060, "WSAETIMEDOUT A connection attempt failed because the connected party did not properly respond after a "
            "period of time, or established connection failed because connected host has failed to respond."},
    {10061, "WSAECONNREFUSED No connection could be made because the target machine actively refused it."},
    {10054, "WSAECONNRESET An existing connection was forcibly closed by the remote host."},
    {10048, "WSAEADDRINUSE Only one usage of each socket address (protocol/network address/port) is normally "
            "permitted."},
    {10013, "WSAEACCES An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10022, "WSAEINVAL An invalid argument was supplied."},
    {10106, "WSAEPROVIDERFAILEDINIT The requested service provider could not be loaded or initialized."},
};

const char* lookup(const ErrorText* table, size_t n, int code) {
    for (size_t i = 0; i < n; ++i)
        if (table[i].code == code) return table[i].text;
    return nullptr;
}

uint16_t versionWord(int major, int minor) { return static_cast<uint16_t>(minor << 8 | major); }

// Tries 9.9 first, then 5.1, 5.0, 4.9 ... 1.0 while the version is refused;
// major and minor are left at the version that answered.
int startupLoop(int& major, int& minor) {
    major = minor = 9;
    int rc = platform::socketStartup(versionWord(major, minor));
    if (rc != platform::kWsaVersionNotSupported) return rc;
    for (major = 5, minor = 1; major >= 1;) {
        rc = platform::socketStartup(versionWord(major, minor));
        if (rc != platform::kWsaVersionNotSupported) return rc;
        if (minor-- == 0) {
            --major;
            minor = 9;
        }
    }
    return rc;
}

void reportStartupFailure(int rc, LogBase& log) {
    const char* text = lookup(kStartupErrors, sizeof kStartupErrors / sizeof kStartupErrors[0], rc);
    if (text) {
        log.LogError(text);
        return;
    }
    StringBuffer sb;
    sb.appendFormat("WSAStartup error: 0x%x", static_cast<unsigned>(rc));
    log.LogError(sb.getString());
}

}  // namespace

bool socketStartupIfDue(LogBase& log) {
    if (!g_startupDue.exchange(false)) return true;
    int major = 0, minor = 0;
    int rc = startupLoop(major, minor);
    if (rc != 0) {
        reportStartupFailure(rc, log);
        return false;
    }
    StringBuffer sb;
    sb.appendFormat("Using ws2_32.dll version %d,%d", major, minor);
    log.LogData("ws2_32_DLL_Version", sb.getString());
    return true;
}

const char* socketErrorTextFor(int wsaError) {
    return lookup(kSocketErrors, sizeof kSocketErrors / sizeof kSocketErrors[0], wsaError);
}

void SocketErrorText(int wsaError, LogBase& log) {
    if (const char* text = socketErrorTextFor(wsaError)) {
        log.LogData("SocketError", text);
        if (wsaError == platform::kWsaProviderFailedInit) {
            g_startupDue = true;
            socketStartupIfDue(log);
        }
        return;
    }
    StringBuffer sb;
    sb.appendFormat("Error %x", static_cast<unsigned>(wsaError));
    log.LogData("SocketError", sb.getString());
    log.LogError("Check to make sure the connection is not blocked by a firewall or anti-virus port filtering.");
}

}  // namespace ostmail
