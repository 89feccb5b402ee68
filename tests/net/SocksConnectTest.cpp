#include "net/ClsSocksClient.h"
#include "net/SocksConnect.h"
#include "NetPeers.h"

#include <cstring>

namespace ostmail {
namespace {

using nettest::Dial;
using nettest::SocksPeer;
using testsupport::ClosedPort;

std::string bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

// The request is 9 bytes plus the user name, with a target name resolved
// here, not by the proxy; the 8-byte reply must carry 90, and afterwards
// the bytes are the target's.
TEST(SocksConnect, Socks4RequestBytesAndReply) {
    const struct { const char *user, *target; int code; } cases[] = {
        {"bob", "127.0.0.1", 90}, {"", "localhost", 90}, {"", "localhost", 91}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.target) + " " + std::to_string(k.code));
        SocksPeer peer;
        peer.read(9 + std::strlen(k.user)).send(bytes({0, k.code, 0, 0, 0, 0, 0, 0})).send("220 tunnel\r\n").start();
        ClsSocksClient proxy = itest::socksProxy(4, peer.port());
        proxy.username().setFromUtf8(k.user);
        Dial a;
        bool granted = k.code == 90;
        ASSERT_EQ(a.run(k.target, 2525, 3000, &proxy), granted) << a.text();
        if (granted) {
            EXPECT_EQ(a.reason, 0u);
            EXPECT_EQ(a.line(), "220 tunnel\r\n");
            EXPECT_STREQ(a.sock.hostname().getString(), k.target);
        } else {
            EXPECT_EQ(a.lacks({"SOCKS4 connect request denied.", "resultCode: 91"}), "");
            EXPECT_FALSE(a.sock.IsConnected());
        }
        a.sock.Close(0, 1000, a.log, nullptr);
        EXPECT_EQ(peer.requests(),
                  std::vector<std::string>{bytes({4, 1, 0x09, 0xDD, 127, 0, 0, 1}) + k.user + std::string(1, '\0')});
    }
}

// Every bound-address type is read to its end: the tunnel's first byte is
// the target's, whatever the proxy put before it. Names go as type 3,
// dotted addresses as type 1.
TEST(SocksConnect, Socks5TargetsAndBoundAddresses) {
    const std::string name = "mail.example.test", reply = bytes({5, 0, 0});
    const std::string nameRequest = bytes({5, 1, 0, 3, 17}) + name + bytes({0x02, 0x4B});
    const struct { std::string target, request, bound; } cases[] = {
        {"  " + name + " ", nameRequest, bytes({1, 10, 0, 0, 1})},
        {name, nameRequest, bytes({3, 13}) + "proxy.example"},
        {name, nameRequest, bytes({4}) + std::string(16, '\x01')},
        {name, nameRequest, bytes({3, 0})},
        {"192.0.2.7", bytes({5, 1, 0, 1, 192, 0, 2, 7, 0x02, 0x4B}), bytes({1, 0, 0, 0, 0})},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.target + " " + std::to_string(k.bound[0]));
        SocksPeer peer;
        // Method 0 even though a user name is set: no sub-negotiation.
        peer.read(4).send(bytes({5, 0})).read(k.request.size())
            .send(reply + k.bound + bytes({0x04, 0x38}) + "220 x\r\n").start();
        ClsSocksClient proxy = itest::socksProxy(5, peer.port());
        proxy.username().setFromUtf8("user");
        proxy.password().setFromUtf8("pw");
        Dial a;
        ASSERT_TRUE(a.run(k.target.c_str(), 587, 3000, &proxy)) << a.text();
        EXPECT_EQ(a.line(), "220 x\r\n");
        a.sock.Close(0, 1000, a.log, nullptr);
        EXPECT_EQ(peer.requests(), (std::vector<std::string>{bytes({5, 2, 0, 2}), k.request}));
    }
}

// Refusals and short replies each fail with their own line and close.
TEST(SocksConnect, ProxyRefusalsAndShortReplies) {
    const struct {
        int version;
        void (*script)(SocksPeer&);
        const char *text, *data = "socksPort";
    } cases[] = {
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0xFF})); }, "No acceptable SOCKS5 methods", "method: 255"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})); },
         "SOCKS5 server rejected connection request", "status: 5"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).close(); },
         "Failed to receive connection reply from SOCKS5 server."},
        {5,
         [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 0, 0, 3, 20}) + "short").close(); },
         "Failed to receive connection reply from SOCKS5 server."},
        {4, [](SocksPeer& p) { p.read(9).send(bytes({0, 90})).close(); },
         "Failed to receive reply to SOCKS4 connect request."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SocksPeer peer;
        c.script(peer);
        peer.start();
        ClsSocksClient proxy = itest::socksProxy(c.version, peer.port());
        Dial a;
        EXPECT_FALSE(a.run("127.0.0.1", 25, 3000, &proxy));
        EXPECT_EQ(a.lacks({c.text, c.data}), "");
        EXPECT_EQ(a.reason, uint32_t(VelmoraSocket::kConnectFailed));
        EXPECT_FALSE(a.sock.IsConnected());
    }
}

// Settings and targets that are refused before any byte goes to a proxy;
// an unreachable proxy keeps the plain connect's reason.
TEST(SocksConnect, BadSettingsAndTargets) {
    ClosedPort closed;
    const int nobody = closed.port();
    const struct { int version, port; const char* host; std::string target; const char* text; } cases[] = {
        {4, 0, "127.0.0.1", "127.0.0.1", "No SOCKS4 hostname and/or port"},
        {5, 0, "127.0.0.1", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, 65536, "127.0.0.1", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, nobody, "", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, nobody, "127.0.0.1", " \t", "No target hostname for SOCKS5 connection."},
        {4, nobody, "127.0.0.1", "10.0.1", "Invalid SOCKS4 destination IP address"},
        {5, nobody, "127.0.0.1", std::string(300, 'a'), "SOCKS5 target hostname is longer than 255 bytes."},
        {4, nobody, "127.0.0.1", "no-such-host.invalid", "DNS lookup of target hostname failed. (for SOCKS4)"},
        {5, nobody, "127.0.0.1", "127.0.0.1", "Failed to connect to SOCKS5 server."},
        {4, 65535, "127.0.0.1", "127.0.0.1", "Failed to connect to SOCKS4 server."},  // above the ephemeral range
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ClsSocksClient proxy = itest::socksProxy(c.version, c.port);
        proxy.hostname().setFromUtf8(c.host);
        Dial a;
        EXPECT_FALSE(a.run(c.target.c_str(), 25, 3000, &proxy));
        EXPECT_EQ(a.lacks({c.text}), "");
        bool dialed = std::strstr(c.text, "Failed to connect") != nullptr;
        EXPECT_EQ(a.logHas("Failed to connect to SOCKS"), dialed) << a.text();
        EXPECT_EQ(a.reason == uint32_t(VelmoraSocket::kConnectFailed), dialed) << a.reason;
        EXPECT_NE(a.reason, 0u);
    }
}

}  // namespace
}  // namespace ostmail
