#include "net/HttpConnect.h"

#include "core/ContentCoding.h"
#include "core/DataBuffer.h"
#include "core/LogBase.h"
#include "net/ServerAddress.h"
#include "net/SocketFlags.h"
#include "net/VelmoraSocket.h"

#include <algorithm>
#include <cstring>

namespace ostmail {

void HttpConnect::request(const char* host, uint32_t port, const char* user, const char* password,
                          StringBuffer& out) {
    out.setString("CONNECT ");
    // An IPv6 address goes in brackets (RFC 3986 section 3.2.2).
    platform::SocketAddress literal;
    std::string unused;
    if (ServerAddress::classify(host, literal, unused) == ServerAddress::kLiteral && literal.family == 6) {
        out.appendChar('[');
        out.append(platform::addressText(literal).c_str());
        out.appendChar(']');
    } else {
        out.append(host ? host : "");
    }
    out.appendChar(':');
    out.appendUInt(port);
    out.append(" HTTP/1.0\r\nUser-Agent: Velmora\r\n");
    if (user && *user) {
        StringBuffer pair(user);
        pair.appendChar(':');
        pair.append(password ? password : "");
        StringBuffer b64;
        ContentCoding::encodeBase64Flat(pair.getString(), pair.getSize(), b64);
        out.append("Proxy-Authorization: Basic ");
        out.append(b64);
        out.append("\r\n");
    }
    out.append("\r\n");
}

int HttpConnect::replyStatus(const StringBuffer& reply) {
    const char* s = reply.getString();
    if (std::strncmp(s, "HTTP/1.", 7) != 0 || s[7] < '0' || s[7] > '9' || s[8] != ' ') return -1;
    int status = 0;
    for (int i = 9; i < 12; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        status = status * 10 + (s[i] - '0');
    }
    return (s[12] == ' ' || s[12] == '\r' || s[12] == '\n') ? status : -1;
}

bool HttpConnect::tunnel(VelmoraSocket& sock, const char* host, uint32_t port, const char* user,
                         const char* password, uint32_t heartbeatMs, LogBase& log, ProgressMonitor* pm) {
    // The name goes into the request line: no space or control byte may
    // end the line early or add a field.
    for (const char* c = host ? host : ""; *c; ++c)
        if (static_cast<unsigned char>(*c) <= ' ') {
            log.LogError("The host name cannot go into a CONNECT request");
            return false;
        }
    StringBuffer req;
    request(host, port, user, password, req);
    if (!sock.SendBytes(reinterpret_cast<const unsigned char*>(req.getString()), req.getSize(), kSendChunk,
                        heartbeatMs, log, pm))
        return false;
    StringBuffer reply;
    if (!readReply(sock, heartbeatMs, reply, log, pm)) {
        log.LogError("Error receiving message from proxy server");
        return false;
    }
    return checkStatus(reply, user && *user, log);
}

// One byte at a time: whatever follows the blank line is the server's,
// so the blank line can only complete at the end of what was read.
bool HttpConnect::readReply(VelmoraSocket& sock, uint32_t heartbeatMs, StringBuffer& reply, LogBase& log,
                            ProgressMonitor* pm) {
    DataBuffer bytes;
    while (bytes.getSize() < 4 || std::memcmp(bytes.getData() + bytes.getSize() - 4, "\r\n\r\n", 4) != 0) {
        if (bytes.getSize() >= kMaxReply) {
            log.LogError("Proxy reply has no blank line within its size limit");
            return false;
        }
        SocketFlags flags;
        if (!sock.ReceiveChunk(bytes, 1, heartbeatMs, flags, log, pm)) return false;
    }
    reply.appendN(reinterpret_cast<const char*>(bytes.getData()), bytes.getSize());
    return true;
}

// A proxy that refuses answers with its own page, which must not pass for
// the SMTP greeting or a TLS handshake.
bool HttpConnect::checkStatus(const StringBuffer& reply, bool withLogin, LogBase& log) {
    int status = replyStatus(reply);
    if (status >= 200 && status < 300) return true;
    // The status line, or the start of whatever came instead.
    StringBuffer first(reply);
    int32_t eol = first.indexOf("\r\n");
    first.truncateTo(eol >= 0 && eol < 200 ? static_cast<uint32_t>(eol) : std::min<uint32_t>(first.getSize(), 200));
    StringBuffer line("HTTP proxy CONNECT failed: ");
    if (status < 0) {
        log.LogData("proxyReply", first.getString());
        line.append("the reply is not HTTP");
    } else {
        // Some proxies answer a wrong login with 401 instead of 407.
        if (status == 407 || status == 401)
            line.setString(withLogin ? "HTTP proxy login failed: " : "HTTP proxy CONNECT failed, it needs a login: ");
        line.append(first);
    }
    log.LogError(line.getString());
    return false;
}

}  // namespace ostmail
