#include "core/Logger.h"
#include "core/ProgressMonitor.h"
#include "net/ClsSocksClient.h"
#include "net/HostnameResolve.h"
#include "net/Socket2.h"
#include "net/VelmoraSocket.h"
#include "platform/Clock.h"
#include "NetPeers.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using nettest::contains;
using nettest::logText;

int g_lookups = 0;
bool countingLookup(const char*, uint32_t*) {
    ++g_lookups;
    return false;
}

struct LookupGuard {
    explicit LookupGuard(HostnameResolve::LookupFn fn) { HostnameResolve::setLookupFunction(fn); }
    ~LookupGuard() { HostnameResolve::setLookupFunction(nullptr); }
};

// "localhost", dotted addresses and padded names connect without asking the
// name service, and the peer really sees the connection.
TEST(SocketConnect, LocalNamesAndDottedAddressesNeedNoLookup) {
    LookupGuard guard(countingLookup);
    g_lookups = 0;
    for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "  127.0.0.1\t", " localhost "}) {
        testsupport::ScriptedSmtpServer srv;
        srv.reply("220 hi");
        srv.start();
        Socket2 s;
        Logger log;
        bool aborted = true;
        uint32_t reason = 99;
        ASSERT_TRUE(s.Connect(host, srv.port(), false, 0, 2000, nullptr, aborted, reason, log, nullptr))
            << host << "\n" << logText(log);
        EXPECT_EQ(reason, 0u);
        EXPECT_FALSE(aborted);
        EXPECT_TRUE(s.IsConnected());
        EXPECT_STREQ(s.plainSocket().remoteAddress().getString(), "127.0.0.1");
        EXPECT_EQ(s.hostname().getSize(), 9u) << "stored untrimmed: " << host;  // every name here has 9 letters
        StringBuffer line;
        SocketFlags flags;
        EXPECT_TRUE(s.ReceiveUntilMatch("\r\n", line, 0, 2000, flags, log, nullptr));
        EXPECT_STREQ(line.getString(), "220 hi\r\n");
        EXPECT_TRUE(srv.waitDone());
    }
    EXPECT_EQ(g_lookups, 0);
}

TEST(SocketConnect, MissingHostnamesGiveReasonOne) {
    Socket2 s;
    for (const char* host : {static_cast<const char*>(nullptr), "", "  \t "}) {
        Logger log;
        bool aborted = false;
        uint32_t reason = 0;
        EXPECT_FALSE(s.Connect(host, 25, false, 0, 1000, nullptr, aborted, reason, log, nullptr));
        EXPECT_EQ(reason, 1u);
        EXPECT_TRUE(contains(logText(log), host ? "Cannot connect, hostname is zero length"
                                                : "Cannot connect, hostname is NULL"))
            << logText(log);
    }
}

// Both connect forms report a refused port as reason 7 with the Winsock text.
TEST(SocketConnect, RefusedPortIsReasonSevenWithItsText) {
    uint16_t port = nettest::closedPort();
    for (bool withMonitor : {false, true}) {
        nettest::CountingSink sink;
        ProgressMonitor pm(&sink, 100);
        Socket2 s;
        Logger log;
        bool aborted = false;
        uint32_t reason = 0;
        EXPECT_FALSE(s.Connect("127.0.0.1", port, false, withMonitor ? 100 : 0, 2000, nullptr, aborted, reason, log,
                               withMonitor ? &pm : nullptr));
        EXPECT_EQ(reason, 7u);
        EXPECT_FALSE(s.IsConnected());
        std::string t = logText(log);
        EXPECT_TRUE(contains(t, "sockError")) << t;
        if (withMonitor) {
            EXPECT_TRUE(contains(t, "Connect function failed")) << t;
        } else {
            EXPECT_TRUE(contains(t, "Connect function failed.")) << t;
            EXPECT_TRUE(contains(t, "WSAECONNREFUSED No connection could be made because the target machine "
                                    "actively refused it."))
                << t;
        }
    }
}

// A target that never completes the handshake: reason 6 after the connect
// timeout, in both forms, and reason 4 when the application aborts.
TEST(SocketConnect, TimeoutAndAbortWhileConnecting) {
    nettest::FilledBacklog target;
    ASSERT_TRUE(target.full());
    {
        Socket2 s;
        Logger log;
        bool aborted = false;
        uint32_t reason = 0;
        uint32_t start = platform::tickCount();
        EXPECT_FALSE(s.Connect("127.0.0.1", target.port(), false, 0, 300, nullptr, aborted, reason, log, nullptr));
        EXPECT_GE(platform::tickCount() - start, 290u);
        EXPECT_EQ(reason, 6u);
        std::string t = logText(log);
        EXPECT_TRUE(contains(t, "socket is not ready for writing")) << t;
        EXPECT_TRUE(contains(t, "WSAEWOULDBLOCK The socket would block.")) << t;
    }
    {
        nettest::CountingSink sink;
        ProgressMonitor pm(&sink, 100);
        Socket2 s;
        Logger log;
        bool aborted = false;
        uint32_t reason = 0;
        EXPECT_FALSE(s.Connect("127.0.0.1", target.port(), false, 50, 300, nullptr, aborted, reason, log, &pm));
        EXPECT_EQ(reason, 6u);
        EXPECT_FALSE(aborted);
        EXPECT_GE(sink.heartbeats, 2);
        std::string t = logText(log);
        EXPECT_TRUE(contains(t, "socket is not ready for writing;")) << t;
        EXPECT_TRUE(contains(t, "ConnectTimeoutMs")) << t;
    }
    {
        nettest::CountingSink sink(3);
        ProgressMonitor pm(&sink, 100);
        Socket2 s;
        Logger log;
        bool aborted = false;
        uint32_t reason = 0;
        EXPECT_FALSE(s.Connect("127.0.0.1", target.port(), false, 50, 5000, nullptr, aborted, reason, log, &pm));
        EXPECT_EQ(reason, 4u);
        EXPECT_TRUE(aborted);
        EXPECT_EQ(sink.heartbeats, 3);
        EXPECT_TRUE(contains(logText(log), "socket operation aborted by application callback"));
    }
}

TEST(SocketConnect, BindsToTheGivenLocalAddress) {
    testsupport::ScriptedSmtpServer srv;
    srv.reply("220 hi");
    srv.start();
    VelmoraSocket sock;
    sock.setBindAddress("127.0.0.1");
    Logger log;
    bool aborted = false;
    ASSERT_TRUE(sock.Connect("127.0.0.1", srv.port(), 0, aborted, log, nullptr)) << logText(log);
    std::string t = logText(log);
    EXPECT_TRUE(contains(t, "BindIpAddr")) << t;
    EXPECT_TRUE(contains(t, "ClientBindIP")) << t;

    VelmoraSocket bad;
    bad.setBindAddress("127.0.0.1");
    bad.setBindPort(srv.port());  // taken by the listener
    Logger log2;
    EXPECT_FALSE(bad.Connect("127.0.0.1", srv.port(), 0, aborted, log2, nullptr));
    EXPECT_EQ(bad.connectFailReason(), 5u);
    t = logText(log2);
    EXPECT_TRUE(contains(t, "Failed to bind to local IP address")) << t;
    EXPECT_TRUE(contains(t, "WSAEADDRINUSE")) << t;
    EXPECT_TRUE(contains(t, "Cannot connect, invalid socket.")) << t;
}

// Until the TLS channel and the proxy connects exist they must fail openly.
TEST(SocketConnect, TlsAndSocksFailWithoutPretending) {
    testsupport::ScriptedSmtpServer srv;
    srv.reply("220 hi");
    srv.start();
    Socket2 s;
    Logger log;
    bool aborted = false;
    uint32_t reason = 0;
    EXPECT_FALSE(s.Connect("127.0.0.1", srv.port(), true, 0, 2000, nullptr, aborted, reason, log, nullptr));
    EXPECT_EQ(reason, 103u);  // a plain greeting where the handshake should be
    EXPECT_TRUE(contains(logText(log), "The message received was unexpected or badly formatted."));

    ClsSocksClient socks;
    socks.setSocksVersion(5);
    socks.hostname().setFromUtf8("127.0.0.1");
    Logger log2;
    EXPECT_FALSE(s.Connect("127.0.0.1", srv.port(), false, 0, 2000, &socks, aborted, reason, log2, nullptr));
    EXPECT_EQ(reason, 7u);
    EXPECT_FALSE(s.IsConnected());

    socks.setSocksVersion(3);  // not a SOCKS version: stored as 0, connects directly
    EXPECT_EQ(socks.socksVersion(), 0);
    Logger log3;
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.port(), false, 0, 2000, &socks, aborted, reason, log3, nullptr));
    s.LogConnectionType(log3);
    EXPECT_TRUE(contains(logText(log3), "Unencrypted TCP/IP"));
    Logger log4;
    EXPECT_FALSE(s.ConvertToTls(0, 2000, log4, nullptr));
    EXPECT_TRUE(contains(logText(log4), "Error performing handshake."));
    EXPECT_FALSE(s.isTls());
}

}  // namespace
}  // namespace ostmail
