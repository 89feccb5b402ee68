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

using nettest::Dial;
using nettest::lacks;
using nettest::logText;

int g_lookups = 0;
bool countingLookup(const char*, uint32_t*) { return ++g_lookups, false; }

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
        EXPECT_EQ(d.lacks({host ? "Cannot connect, hostname is zero length" : "Cannot connect, hostname is NULL"}), "");
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
        EXPECT_EQ(d.lacks({"sockError", "Connect function failed"}), "");
        if (!withMonitor) {
            EXPECT_EQ(d.lacks({"Connect function failed.", "WSAECONNREFUSED No connection could be made because the "
                                                           "target machine actively refused it."}),
                      "");
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
        EXPECT_EQ(d.lacks({"socket is not ready for writing", "WSAEWOULDBLOCK The socket would block."}), "");
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
            EXPECT_EQ(d.lacks({"socket operation aborted by application callback"}), "");
        } else {
            EXPECT_GE(sink.heartbeats, 2);
            EXPECT_EQ(d.lacks({"socket is not ready for writing;", "ConnectTimeoutMs"}), "");
        }
    }
}

TEST(SocketConnect, BindsToTheGivenLocalAddress) {
    testsupport::ScriptedSmtpServer srv;
    srv.reply("220 hi");
    srv.start();
    VelmoraSocket sock, bad;
    sock.setBindAddress("127.0.0.1");
    Logger log, log2;
    bool aborted = false;
    ASSERT_TRUE(sock.Connect("127.0.0.1", srv.port(), 0, aborted, log, nullptr)) << logText(log);
    EXPECT_EQ(lacks(logText(log), {"BindIpAddr", "ClientBindIP"}), "");

    bad.setBindAddress("127.0.0.1");
    bad.setBindPort(srv.port());  // taken by the listener
    EXPECT_FALSE(bad.Connect("127.0.0.1", srv.port(), 0, aborted, log2, nullptr));
    EXPECT_EQ(bad.connectFailReason(), 5u);
    EXPECT_EQ(lacks(logText(log2), {"Failed to bind to local IP address", "WSAEADDRINUSE",
                                    "Cannot connect, invalid socket."}),
              "");
}

}  // namespace
}  // namespace ostmail
