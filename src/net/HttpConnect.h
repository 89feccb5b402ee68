#pragma once
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

class LogBase;
class ProgressMonitor;
class VelmoraSocket;

// The CONNECT exchange with an HTTP proxy over a socket already connected
// to it. On success the socket is a plain tunnel to host:port; a refusal,
// a reply that is not HTTP or a failed read leaves the socket to be closed
// by the caller, with the reason in the log.
class HttpConnect {
public:
    static constexpr uint32_t kMaxReply = 65536;  // a CONNECT reply is a few short lines
    static constexpr uint32_t kSendChunk = 8192;

    // user empty: no Proxy-Authorization field.
    static bool tunnel(VelmoraSocket& sock, const char* host, uint32_t port, const char* user,
                       const char* password, uint32_t heartbeatMs, LogBase& log, ProgressMonitor* pm);

    // The request text, CRLF line ends, ending in the blank line.
    static void request(const char* host, uint32_t port, const char* user, const char* password,
                        StringBuffer& out);
    // The status of "HTTP/1.x NNN ..." at the start of reply; -1 when the
    // reply does not start that way.
    static int replyStatus(const StringBuffer& reply);

private:
    static bool readReply(VelmoraSocket& sock, uint32_t heartbeatMs, StringBuffer& reply, LogBase& log,
                          ProgressMonitor* pm);
    static bool checkStatus(const StringBuffer& reply, bool withLogin, LogBase& log);
};

}  // namespace ostmail
