#include "net/ClsSocksClient.h"
#include "net/SocksConnect.h"
#include "NetPeers.h"

#include <cstring>

using namespace ostmail;
using namespace ostmail::nettest;

namespace {

std::string bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

// SOCKS4: the request is 9 bytes plus the user name, with a target name
// resolved here, not by the proxy. SOCKS5: method 0 even though a user name
// is set (no sub-negotiation); names go as type 3, dotted addresses as type
// 1; every bound-address type is read to its end. Either way the tunnel's
// first byte is the target's, whatever the proxy put before it.
TEST(SocksConnect, RequestBytesAndBoundAddresses) {
    const std::string name = "mail.example.test", hello5 = bytes({5, 2, 0, 2});
    const std::string ip4 = bytes({4, 1, 0x09, 0xDD, 127, 0, 0, 1});
    const std::string nameRequest = bytes({5, 1, 0, 3, 17}) + name + bytes({0x02, 0x4B});
    auto bound = [](const std::string& address) { return bytes({5, 0, 0}) + address + bytes({0x04, 0x38}); };
    const struct { int version; std::string user, target, reply; std::vector<std::string> requests; } cases[] = {
        {4, "bob", "127.0.0.1", bytes({0, 90, 0, 0, 0, 0, 0, 0}), {ip4 + "bob" + '\0'}},
        {4, "", "localhost", bytes({0, 90, 0, 0, 0, 0, 0, 0}), {ip4 + '\0'}},
        {5, "user", "  " + name + " ", bound(bytes({1, 10, 0, 0, 1})), {hello5, nameRequest}},
        {5, "user", name, bound(bytes({3, 13}) + "proxy.example"), {hello5, nameRequest}},
        {5, "user", name, bound(bytes({4}) + std::string(16, '\x01')), {hello5, nameRequest}},
        {5, "user", name, bound(bytes({3, 0})), {hello5, nameRequest}},
        {5, "user", "192.0.2.7", bound(bytes({1, 0, 0, 0, 0})),
         {hello5, bytes({5, 1, 0, 1, 192, 0, 2, 7, 0x02, 0x4B})}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE("row " + std::to_string(&k - cases));
        SocksPeer peer;
        if (k.version == 5) peer.read(4).send(bytes({5, 0}));
        peer.read(k.requests.back().size()).send(k.reply + "220 x\r\n").start();
        ClsSocksClient proxy = itest::socksProxy(k.version, peer.port());
        proxy.username().setFromUtf8(k.user.c_str());
        proxy.password().setFromUtf8(k.version == 5 ? "pw" : "");
        Dial a;
        ASSERT_TRUE(a.run(k.target.c_str(), k.version == 4 ? 2525 : 587, 3000, &proxy)) << a.text();
        EXPECT_EQ(a.reason, 0u);
        EXPECT_EQ(a.line(), "220 x\r\n");
        if (k.version == 4) { EXPECT_EQ(a.sock.hostname().getString(), k.target); }
        a.sock.Close(0, 1000, a.log, nullptr);
        EXPECT_EQ(peer.requests(), k.requests);
    }
}

// Refusals and short replies from a scripted proxy, then settings and
// targets refused before any byte goes to a proxy: each fails with its own
// line and closes; an unreachable proxy keeps the plain connect's reason.
TEST(SocksConnect, RefusalsShortRepliesAndBadSettings) {
    testsupport::ClosedPort closed;
    const int nobody = closed.port();
    const struct {
        int version;
        void (*script)(SocksPeer&);  // none: the proxy is at port, where nothing answers
        const char *text, *data;
        int port = 0;
        std::string target = "127.0.0.1";
        const char* host = "127.0.0.1";
    } cases[] = {
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0xFF})); }, "No acceptable SOCKS5 methods", "method: 255"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})); },
         "SOCKS5 server rejected connection request", "status: 5"},
        {5, [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).close(); },
         "Failed to receive connection reply from SOCKS5 server.", "socksPort"},
        {5,
         [](SocksPeer& p) { p.read(4).send(bytes({5, 0})).read(10).send(bytes({5, 0, 0, 3, 20}) + "short").close(); },
         "Failed to receive connection reply from SOCKS5 server.", "socksPort"},
        {4, [](SocksPeer& p) { p.read(9).send(bytes({0, 91, 0, 0, 0, 0, 0, 0})); }, "SOCKS4 connect request denied.",
         "resultCode: 91"},
        {4, [](SocksPeer& p) { p.read(9).send(bytes({0, 90})).close(); },
         "Failed to receive reply to SOCKS4 connect request.", "socksPort"},
        {4, nullptr, "No SOCKS4 hostname and/or port", "", 0},
        {5, nullptr, "No SOCKS5 hostname and/or port", "", 0},
        {5, nullptr, "No SOCKS5 hostname and/or port", "", 65536},
        {5, nullptr, "No SOCKS5 hostname and/or port", "", nobody, "127.0.0.1", ""},
        {5, nullptr, "No target hostname for SOCKS5 connection.", "", nobody, " \t"},
        {4, nullptr, "Invalid SOCKS4 destination IP address", "", nobody, "10.0.1"},
        {5, nullptr, "SOCKS5 target hostname is longer than 255 bytes.", "", nobody, std::string(300, 'a')},
        {4, nullptr, "DNS lookup of target hostname failed. (for SOCKS4)", "", nobody, "no-such-host.invalid"},
        {5, nullptr, "Failed to connect to SOCKS5 server.", "", nobody},
        {4, nullptr, "Failed to connect to SOCKS4 server.", "", 65535},  // above the ephemeral range
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SocksPeer peer;
        if (c.script) {
            c.script(peer);
            peer.start();
        }
        ClsSocksClient proxy = itest::socksProxy(c.version, c.script ? peer.port() : c.port);
        proxy.hostname().setFromUtf8(c.host);
        Dial a;
        EXPECT_FALSE(a.run(c.target.c_str(), 25, 3000, &proxy));
        EXPECT_EQ(a.lacks({c.text, c.data}), "");
        const bool dialed = std::strstr(c.text, "Failed to connect") != nullptr;
        EXPECT_EQ(a.logHas("Failed to connect to SOCKS"), dialed) << a.text();
        EXPECT_EQ(a.reason == uint32_t(VelmoraSocket::kConnectFailed), c.script || dialed) << a.reason;
        EXPECT_NE(a.reason, 0u);
        EXPECT_FALSE(a.sock.IsConnected());
    }
}

}  // namespace
