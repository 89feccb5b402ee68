#pragma once
#include "core/DataBuffer.h"
#include "core/StringBuffer.h"

#include <cstdint>

namespace ostmail {

class ClsSocksClient;
class LogBase;
class ProgressMonitor;
class Socket2;

// A connect through a SOCKS4 or SOCKS5
// (RFC 1928, with RFC 1929 user name/password) proxy: a plain TCP
// connection to the proxy, the tunnel request for the target, then TLS
// over the tunnel when asked. Any failure after the proxy connection has
// been made closes the socket.
class SocksConnect {
public:
    SocksConnect(Socket2& sock, ClsSocksClient& proxy, uint32_t heartbeatMs, LogBase& log, ProgressMonitor* pm);

    // Arguments as Socket2::Connect; failReason as VelmoraSocket's.
    bool socks4(const char* hostname, int port, bool tls, uint32_t connectTimeoutMs, bool& aborted,
                uint32_t& failReason);
    bool socks5(const char* hostname, int port, bool tls, uint32_t connectTimeoutMs, bool& aborted,
                uint32_t& failReason);

    // The request bytes, built apart from the socket.
    static void socks4Request(const unsigned char ip[4], int port, const char* user, DataBuffer& out);
    static void socks5Greeting(DataBuffer& out);
    static bool socks5Credentials(const StringBuffer& user, const StringBuffer& password, DataBuffer& out);
    // ip null: the target goes as a domain name of at most 255 bytes.
    // ipv6Literals: an IPv6 literal target goes as address type 4.
    static bool socks5Request(const unsigned char* ip, const StringBuffer& domain, int port, DataBuffer& out,
                              bool ipv6Literals = false);

    // "%d.%d.%d.%d" into four bytes; false unless four numbers were read.
    static bool parseDotted(const char* text, unsigned char ip[4]);
    // Made only of digits and dots: taken for an IPv4 address, not a name.
    static bool isDottedAddress(const StringBuffer& s);

private:
    void logProxy();
    bool proxyUsable() const;
    bool socks4Target(const char* hostname, uint32_t connectTimeoutMs, unsigned char ip[4], bool& aborted,
                      uint32_t& failReason);
    bool connectProxy(const char* version, uint32_t connectTimeoutMs, bool& aborted, uint32_t& failReason);
    bool send(const DataBuffer& bytes, const char* failText);
    bool receive(uint32_t n, DataBuffer& out, bool& aborted, const char* failText);
    bool fail(const char* text, bool aborted, uint32_t& failReason);
    bool socks5Method(bool& aborted, uint32_t& failReason);
    bool socks5Login(bool& aborted, uint32_t& failReason);
    bool socks5Tunnel(const unsigned char* ip, const StringBuffer& domain, int port, bool& aborted,
                      uint32_t& failReason);
    bool socks5BoundAddress(unsigned char addrType, bool& aborted, uint32_t& failReason);

    Socket2& m_sock;
    ClsSocksClient& m_proxy;
    uint32_t m_heartbeatMs;
    LogBase& m_log;
    ProgressMonitor* m_pm;
};

}  // namespace ostmail
