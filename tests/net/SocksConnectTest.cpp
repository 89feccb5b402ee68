#include "net/ClsSocksClient.h"
#include "net/SocksConnect.h"
#include "NetPeers.h"
#include "SocksPeer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ostmail {
namespace {

using nettest::closedPort;
using nettest::contains;
using nettest::Dial;
using nettest::SocksPeer;

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

ClsSocksClient proxyAt(int version, int port, const char* user = "", const char* password = "") {
    ClsSocksClient p;
    p.setSocksVersion(version);
    p.setPort(port);
    p.hostname().setFromUtf8("127.0.0.1");
    p.username().setFromUtf8(user);
    p.password().setFromUtf8(password);
    return p;
}

// The request is 9 bytes plus the user name; the 8-byte reply must carry
// 90, and afterwards the bytes are the target's.
TEST(SocksConnect, Socks4RequestBytesAndReply) {
    for (const char* user : {"bob", ""}) {
        SocksPeer peer;
        peer.read(9 + std::strlen(user)).send(bytes({0, 90, 0, 0, 0, 0, 0, 0})).send("220 tunnel\r\n");
        peer.start();
        ClsSocksClient proxy = proxyAt(4, peer.port(), user);
        Dial a;
        ASSERT_TRUE(a.run("127.0.0.1", 2525, 3000, &proxy)) << a.text();
        EXPECT_EQ(a.reason, 0u);
        EXPECT_EQ(a.line(), "220 tunnel\r\n");
        EXPECT_STREQ(a.sock.hostname().getString(), "127.0.0.1");
        a.sock.Close(0, 1000, a.log, nullptr);
        ASSERT_TRUE(peer.waitDone());
        ASSERT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(peer.requests()[0], bytes({4, 1, 0x09, 0xDD, 127, 0, 0, 1}) + user + std::string(1, '\0'));
    }
    // A name is resolved here, not by the proxy.
    SocksPeer peer;
    peer.read(9).send(bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    peer.start();
    ClsSocksClient proxy = proxyAt(4, peer.port());
    Dial a;
    EXPECT_FALSE(a.run("localhost", 25, 3000, &proxy));
    EXPECT_TRUE(contains(a.text(), "SOCKS4 connect request denied.")) << a.text();
    EXPECT_TRUE(contains(a.text(), "resultCode: 91")) << a.text();
    EXPECT_FALSE(a.sock.IsConnected());
    ASSERT_TRUE(peer.waitDone());
    EXPECT_EQ(peer.requests()[0], bytes({4, 1, 0, 25, 127, 0, 0, 1, 0}));
}

// Every bound-address type is read to its end: the tunnel's first byte is
// the target's, whatever the proxy put before it.
TEST(SocksConnect, Socks5TargetsAndBoundAddresses) {
    const std::string name = "mail.example.test";
    const std::string reply = bytes({5, 0, 0});
    const std::string bound[] = {
        bytes({1, 10, 0, 0, 1}),
        bytes({3, 13}) + "proxy.example",
        bytes({4}) + std::string(16, '\x01'),
        bytes({3, 0}),
    };
    for (const std::string& b : bound) {
        SocksPeer peer;
        // Method 0 even though a user name is set: no sub-negotiation.
        peer.read(4).send(bytes({5, 0})).read(7 + name.size()).send(reply + b + bytes({0x04, 0x38}) + "220 x\r\n");
        peer.start();
        ClsSocksClient proxy = proxyAt(5, peer.port(), "user", "pw");
        Dial a;
        ASSERT_TRUE(a.run(("  " + name + " ").c_str(), 587, 3000, &proxy)) << a.text();
        EXPECT_EQ(a.line(), "220 x\r\n");
        a.sock.Close(0, 1000, a.log, nullptr);
        ASSERT_TRUE(peer.waitDone());
        ASSERT_EQ(peer.requests().size(), 2u);
        EXPECT_EQ(peer.requests()[0], bytes({5, 2, 0, 2}));
        EXPECT_EQ(peer.requests()[1], bytes({5, 1, 0, 3, 17}) + name + bytes({0x02, 0x4B}));
    }
    // A dotted target goes as address type 1.
    SocksPeer peer;
    peer.read(4).send(bytes({5, 0})).read(10).send(reply + bytes({1, 0, 0, 0, 0, 0, 0}));
    peer.start();
    ClsSocksClient proxy = proxyAt(5, peer.port());
    Dial a;
    ASSERT_TRUE(a.run("192.0.2.7", 25, 3000, &proxy)) << a.text();
    a.sock.Close(0, 1000, a.log, nullptr);
    ASSERT_TRUE(peer.waitDone());
    EXPECT_EQ(peer.requests()[1], bytes({5, 1, 0, 1, 192, 0, 2, 7, 0, 25}));
}

// Refusals and short replies each fail with their own line and close.
TEST(SocksConnect, ProxyRefusalsAndShortReplies) {
    struct Case {
        int version;
        void (*script)(SocksPeer&);
        const char* text;
        const char* data = "socksPort";
    } cases[] = {
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0xFF})); }, "No acceptable SOCKS5 methods", "method: 255"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})); },
         "SOCKS5 server rejected connection request", "status: 5"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).close(); },
         "Failed to receive connection reply from SOCKS5 server."},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 0, 0, 3, 20}) + "short").close(); },
         "Failed to receive connection reply from SOCKS5 server."},
        {4, [](SocksPeer& p) { p.read(9).send(bytes({0, 90})).close(); },
         "Failed to receive reply to SOCKS4 connect request."},
    };
    for (const Case& c : cases) {
        SocksPeer peer;
        c.script(peer);
        peer.start();
        ClsSocksClient proxy = proxyAt(c.version, peer.port());
        Dial a;
        EXPECT_FALSE(a.run("127.0.0.1", 25, 3000, &proxy)) << c.text;
        EXPECT_TRUE(contains(a.text(), c.text)) << a.text();
        EXPECT_TRUE(contains(a.text(), c.data)) << a.text();
        EXPECT_EQ(a.reason, uint32_t(VelmoraSocket::kConnectFailed));
        EXPECT_FALSE(a.sock.IsConnected());
        EXPECT_TRUE(peer.waitDone());
    }
}

// Settings and targets that are refused before any byte goes to a proxy.
TEST(SocksConnect, BadSettingsAndTargets) {
    uint16_t nobody = closedPort();
    std::string longName(300, 'a');
    struct Case {
        int version;
        int port;
        const char* host;
        std::string target;
        const char* text;
    } cases[] = {
        {4, 0, "127.0.0.1", "127.0.0.1", "No SOCKS4 hostname and/or port"},
        {5, 0, "127.0.0.1", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, 70000, "127.0.0.1", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, nobody, "", "127.0.0.1", "No SOCKS5 hostname and/or port"},
        {5, nobody, "127.0.0.1", " \t", "No target hostname for SOCKS5 connection."},
        {4, nobody, "127.0.0.1", "10.0.1", "Invalid SOCKS4 destination IP address"},
        {5, nobody, "127.0.0.1", longName, "SOCKS5 target hostname is longer than 255 bytes."},
        {4, nobody, "127.0.0.1", "no-such-host.invalid", "DNS lookup of target hostname failed. (for SOCKS4)"},
    };
    for (const Case& c : cases) {
        ClsSocksClient proxy = proxyAt(c.version, c.port);
        proxy.hostname().setFromUtf8(c.host);
        Dial a;
        EXPECT_FALSE(a.run(c.target.c_str(), 25, 3000, &proxy)) << c.text;
        EXPECT_TRUE(contains(a.text(), c.text)) << a.text();
        EXPECT_FALSE(contains(a.text(), "Failed to connect to SOCKS")) << a.text();
        EXPECT_NE(a.reason, 0u);
    }
    // The proxy itself is unreachable: the plain connect's reason stays.
    ClsSocksClient proxy = proxyAt(5, nobody);
    Dial a;
    EXPECT_FALSE(a.run("127.0.0.1", 25, 3000, &proxy));
    EXPECT_TRUE(contains(a.text(), "Failed to connect to SOCKS5 server.")) << a.text();
    EXPECT_EQ(a.reason, uint32_t(VelmoraSocket::kConnectFailed));
}

// Version 3 is no proxy at all: the connect goes straight to the target.
TEST(SocksConnect, UnknownVersionConnectsDirectly) {
    ClsSocksClient proxy = proxyAt(3, closedPort());
    EXPECT_EQ(proxy.socksVersion(), 0);
    SocksPeer target;
    target.send("220 direct\r\n");
    target.start();
    Dial a;
    ASSERT_TRUE(a.run("127.0.0.1", target.port(), 3000, &proxy)) << a.text();
    EXPECT_EQ(a.line(), "220 direct\r\n");
    EXPECT_FALSE(contains(a.text(), "SOCKS")) << a.text();
}

}  // namespace
}  // namespace ostmail
