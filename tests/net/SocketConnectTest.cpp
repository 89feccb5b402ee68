#include "core/ProgressMonitor.h"
#include "net/HostnameResolve.h"
#include "net/VelmoraSocket.h"
#include "platform/Clock.h"
#include "NetPeers.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using nettest::contains;
using nettest::Dial;
using nettest::logText;

int g_lookups = 0;
bool countingLookup(const char*, uint32_t*) {
    ++g_lookups;
    return false;
}

// "localhost", dotted addresses and padded names connect without asking the
// name service, and the peer really sees the connection.
TEST(SocketConnect, LocalNamesAndDottedAddressesNeedNoLookup) {
    struct Restore {
        ~Restore() { HostnameResolve::setLookupFunction(nullptr); }
    } restore;
    HostnameResolve::setLookupFunction(countingLookup);
    g_lookups = 0;
    for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "  127.0.0.1\t", " localhost "}) {
        SCOPED_TRACE(host);
        testsupport::ScriptedSmtpServer srv;
        srv.reply("220 hi");
        srv.start();
        Dial d;
        ASSERT_TRUE(d.run(host, srv.port())) << d.text();
        EXPECT_EQ(d.reason, 0u);
        EXPECT_FALSE(d.aborted);
        EXPECT_STREQ(d.sock.plainSocket().remoteAddress().getString(), "127.0.0.1");
        EXPECT_EQ(d.sock.hostname().getSize(), 9u) << "stored untrimmed";  // every name here has 9 letters
        EXPECT_EQ(d.line(), "220 hi\r\n");
        EXPECT_TRUE(srv.waitDone());
    }
    EXPECT_EQ(g_lookups, 0);
}

TEST(SocketConnect, MissingHostnameAndRefusedPort) {
    for (const char* host : {static_cast<const char*>(nullptr), "", "  \t "}) {
        Dial d;
        EXPECT_FALSE(d.run(host, 25));
        EXPECT_EQ(d.reason, 1u);
        EXPECT_TRUE(contains(d.text(), host ? "Cannot connect, hostname is zero length"
                                            : "Cannot connect, hostname is NULL"))
            << d.text();
    }
    // Both connect forms report a refused port as reason 7 with the Winsock text.
    uint16_t port = nettest::closedPort();
    for (bool withMonitor : {false, true}) {
        nettest::CountingSink sink;
        ProgressMonitor pm(&sink, 100);
        Dial d;
        EXPECT_FALSE(d.run("127.0.0.1", port, 2000, nullptr, withMonitor ? 100 : 0, withMonitor ? &pm : nullptr));
        EXPECT_EQ(d.reason, 7u);
        EXPECT_FALSE(d.sock.IsConnected());
        std::string t = d.text();
        EXPECT_TRUE(contains(t, "sockError")) << t;
        EXPECT_TRUE(contains(t, "Connect function failed")) << t;
        if (!withMonitor) {
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
        Dial d;
        uint32_t start = platform::tickCount();
        EXPECT_FALSE(d.run("127.0.0.1", target.port(), 300));
        EXPECT_GE(platform::tickCount() - start, 290u);
        EXPECT_EQ(d.reason, 6u);
        EXPECT_TRUE(contains(d.text(), "socket is not ready for writing")) << d.text();
        EXPECT_TRUE(contains(d.text(), "WSAEWOULDBLOCK The socket would block.")) << d.text();
    }
    for (int abortAt : {0, 3}) {
        nettest::CountingSink sink(abortAt);
        ProgressMonitor pm(&sink, 100);
        Dial d;
        EXPECT_FALSE(d.run("127.0.0.1", target.port(), abortAt ? 5000 : 300, nullptr, 50, &pm));
        EXPECT_EQ(d.reason, abortAt ? 4u : 6u);
        EXPECT_EQ(d.aborted, abortAt != 0);
        if (abortAt) {
            EXPECT_EQ(sink.heartbeats, 3);
            EXPECT_TRUE(contains(d.text(), "socket operation aborted by application callback"));
        } else {
            EXPECT_GE(sink.heartbeats, 2);
            EXPECT_TRUE(contains(d.text(), "socket is not ready for writing;")) << d.text();
            EXPECT_TRUE(contains(d.text(), "ConnectTimeoutMs")) << d.text();
        }
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
    EXPECT_TRUE(contains(logText(log), "BindIpAddr")) << logText(log);
    EXPECT_TRUE(contains(logText(log), "ClientBindIP")) << logText(log);

    VelmoraSocket bad;
    bad.setBindAddress("127.0.0.1");
    bad.setBindPort(srv.port());  // taken by the listener
    Logger log2;
    EXPECT_FALSE(bad.Connect("127.0.0.1", srv.port(), 0, aborted, log2, nullptr));
    EXPECT_EQ(bad.connectFailReason(), 5u);
    std::string t = logText(log2);
    EXPECT_TRUE(contains(t, "Failed to bind to local IP address")) << t;
    EXPECT_TRUE(contains(t, "WSAEADDRINUSE")) << t;
    EXPECT_TRUE(contains(t, "Cannot connect, invalid socket.")) << t;
}

}  // namespace
}  // namespace ostmail
