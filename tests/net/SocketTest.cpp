// Socket2 on plain TCP: connecting, reading lines and bytes, sending.
#include "net/BandwidthThrottle.h"
#include "net/ConnectRace.h"
#include "platform/Clock.h"
#include "NetPeers.h"

#include <fcntl.h>

using namespace ostmail;
using namespace ostmail::nettest;
using ostmail::testsupport::sock::Listener6;

namespace {

// No host name: reason 1. A refused port: 7, the plain form with the Winsock
// text. A target that never completes the handshake: 6 after the connect
// time-out, with and without heartbeats, and 4 when the application aborts.
TEST(SocketConnect, FailuresAndTheirReasons) {
    testsupport::ClosedPort closed;
    FilledBacklog target;
    ASSERT_TRUE(target.full);
    const std::string refused =
        "WSAECONNREFUSED No connection could be made because the target machine actively refused it.";
    const struct {
        const char* host;
        int port;
        uint32_t timeoutMs, heartbeatMs;
        int abortAt;
        uint32_t reason, minMs;
        std::vector<std::string> log;
    } cases[] = {
        {nullptr, 25, 3000, 0, 0, 1, 0, {"Cannot connect, hostname is NULL"}},
        {"", 25, 3000, 0, 0, 1, 0, {"Cannot connect, hostname is zero length"}},
        {"  \t ", 25, 3000, 0, 0, 1, 0, {"Cannot connect, hostname is zero length"}},
        {"127.0.0.1", closed.port(), 2000, 0, 0, 7, 0, {"sockError", "Connect function failed.", refused}},
        {"127.0.0.1", closed.port(), 2000, 100, 0, 7, 0, {"sockError", "Connect function failed"}},
        {"127.0.0.1", target.port, 300, 0, 0, 6, 290,
         {"socket is not ready for writing", "WSAEWOULDBLOCK The socket would block."}},
        {"127.0.0.1", target.port, 300, 50, 0, 6, 290, {"socket is not ready for writing;", "ConnectTimeoutMs"}},
        {"127.0.0.1", target.port, 5000, 50, 3, 4, 140, {"socket operation aborted by application callback"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.log.back());
        Monitor sink(k.abortAt);
        Dial d;
        uint32_t start = platform::tickCount();
        EXPECT_FALSE(d.run(k.host, k.port, k.timeoutMs, nullptr, k.heartbeatMs, k.heartbeatMs ? &sink.pm : nullptr));
        EXPECT_GE(platform::tickCount() - start, k.minMs);
        EXPECT_EQ(d.reason, k.reason);
        EXPECT_EQ(d.aborted, k.abortAt != 0);
        EXPECT_FALSE(d.sock.IsConnected());
        // A failed connect keeps its socket, in blocking mode.
        const VelmoraSocket& s = d.sock.plainSocket();
        EXPECT_EQ(s.hasSocket(), k.reason > 1);
        if (s.hasSocket()) { EXPECT_EQ(::fcntl(s.handle(), F_GETFL) & O_NONBLOCK, 0); }
        EXPECT_EQ(d.lacks(k.log), "");
        if (k.minMs && k.heartbeatMs) {
            EXPECT_TRUE(k.abortAt ? sink.heartbeats == 3 : sink.heartbeats >= 2) << sink.heartbeats;
        }
    }
}

// With the dual stack on: IPv6 literals in each spelling connect and the log
// names the address and family; bad literals are refused with a reason
// before any socket; off, an IPv6 literal is a name IPv4 cannot resolve.
TEST(SocketConnect, DualStackLiteralsAndBadServerNames) {
    Listener6 v6(0, false);
    testsupport::ScriptedSmtpServer v4;
    v4.reply("220 hi").start();
    ASSERT_NE(v6.port, 0);
    const struct {
        const char* host;
        bool dual, ok;
        uint32_t reason;
        std::vector<std::string> log;
    } cases[] = {
        {"::1", true, true, 0, {"connectedTo: ::1", "addressFamily: IPv6"}},
        {" [::1] ", true, true, 0, {"connectedTo: ::1", "addressFamily: IPv6"}},
        {"[IPv6:0:0::1]", true, true, 0, {"connectedTo: ::1", "addressFamily: IPv6"}},
        {"127.0.0.1", true, true, 0, {"connectedTo: 127.0.0.1", "addressFamily: IPv4"}},
        {"[127.0.0.1]", true, true, 0, {"connectedTo: 127.0.0.1", "addressFamily: IPv4"}},
        {"[::1", true, false, 1,
         {"Cannot connect, invalid server name", "reason: the address literal has no closing ']'"}},
        {"[IPv6:zz]", true, false, 1, {"reason: not a valid IPv6 address literal"}},
        {"[IPv6:127.0.0.1]", true, false, 1, {"reason: not a valid IPv6 address literal"}},
        {"1.2.3.4.5", true, false, 1, {"reason: not a valid IPv4 address"}},
        {"fe80::1::2", true, false, 1, {"reason: not a valid IPv6 address"}},
        // The name's cut at the first ':' leaves nothing; its cleaned copy "1" is 0.0.0.1.
        {"::1", false, false, 7, {"Invalid hostname for resolving hostname to IP address.", "hostname: ::1"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.host) + (k.dual ? " dual" : " IPv4"));
        Dial d;
        d.sock.setDualStack(k.dual);
        bool v4host = std::string(k.host).find("127.") != std::string::npos;
        EXPECT_EQ(d.run(k.host, v4host ? v4.port() : v6.port), k.ok) << d.text();
        EXPECT_EQ(d.reason, k.reason);
        EXPECT_EQ(d.lacks(k.log), "");
        if (k.ok) {
            EXPECT_EQ(d.sock.plainSocket().remoteFamily(), v4host ? 4 : 6);
        }
    }
}

// The race: a first address that never answers gives way to the other
// family; one refused goes on to the next at once; all refused gives the
// last error; all silent runs out at the time-out. Losers are closed.
TEST(SocketConnect, RaceFallsBackToTheOtherFamily) {
    testsupport::ScriptedSmtpServer v4;
    v4.reply("220 hi").start();
    Listener6 stuck(v4.port(), true), open(0, false);
    testsupport::ClosedPort closed;
    FilledBacklog stuck4;
    ASSERT_NE(stuck.port, 0);
    platform::SocketAddress six, four;
    ASSERT_TRUE(platform::parseIpv6("::1", &six) && platform::parseIpv4("127.0.0.1", &four));
    const struct {
        std::vector<platform::SocketAddress> addrs;
        uint16_t port;
        bool ok;
        int winnerFamily, lastError;
        bool timedOut;
    } cases[] = {
        {{six, six, four}, v4.port(), true, 4, 0, false},
        {{four, six}, static_cast<uint16_t>(closed.port()), false, 0, 10061, false},
        {{six}, open.port, true, 6, 0, false},
        {{four}, stuck4.port, false, 0, 0, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.port);
        ConnectRace::Outcome r;
        EXPECT_EQ(ConnectRace::run(k.addrs, k.port, 1500, 0, nullptr, r), k.ok);
        EXPECT_EQ(r.timedOut, k.timedOut);
        EXPECT_EQ(r.lastError, k.lastError);
        if (!k.ok) continue;
        EXPECT_EQ(r.winner.family, k.winnerFamily);
        char c = 0;  // the winner is the live connection, in blocking mode
        if (k.winnerFamily == 4) {
            EXPECT_EQ(::recv(r.handle, &c, 1, 0), 1);
        }
        platform::socketClose(r.handle);
    }
    auto order = ConnectRace::interleave({six, six, four, four});
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(std::vector<int>({order[0].family, order[1].family, order[2].family, order[3].family}),
              std::vector<int>({6, 4, 6, 4}));
}

int receiveBuffer(int fd) {
    int size = -1;
    socklen_t n = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &n);
    return size;
}

// Our end of the connection to port, found by its peer's port; -1 when none.
int connectionTo(int port) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 && ntohs(a.sin_port) == port) return fd;
    }
    return -1;
}

// The default buffer sizes (0) lie outside [1000, 2000000): the system's
// own buffers, and their autotuning, stay.
TEST(SocketConnect, KeepsTheSystemBuffers) {
    testsupport::ScriptedSmtpServer srv;
    srv.reply("220 hi").start();
    Dial d;
    ASSERT_TRUE(d.run("127.0.0.1", srv.port())) << d.text();
    const int fresh = ::socket(AF_INET, SOCK_STREAM, 0), systemDefault = receiveBuffer(fresh);
    ::close(fresh);
    EXPECT_EQ(receiveBuffer(connectionTo(srv.port())), systemDefault);
}

// One peer: a greeting, then silence. The read times out and the
// connection stays usable; with a monitor, the application's abort ends
// the wait and the next one too. Then bytes collected across three writes,
// and two replies in one block: the second comes from the leftover, without
// a read — the peer has closed by then, so a read would report the close.
// The third, cut off by the close, fails with the closed flag.
TEST(SocketRead, TimeOutAbortExactBytesLeftoverAndCloseMidLine) {
    testsupport::ScriptedSmtpServer srv;
    srv.send("220 hi\r\n").silence(1500);
    srv.sendSplit({"\x05", std::string("\x00\x01", 2), "\x02rest\r\n250-first\r\n250 second\r\n250 partial li"}, 50);
    srv.closeNow().start();
    Dial d;
    ASSERT_TRUE(d.run("127.0.0.1", srv.port())) << d.text();
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(d.line(3000, &ok), "220 hi\r\n");
    uint32_t start = platform::tickCount();
    EXPECT_EQ(d.line(300, &ok, &flags), "");
    uint32_t took = platform::tickCount() - start;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.timedOut);
    EXPECT_FALSE(flags.closedByPeer || flags.aborted || flags.socketError);
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(d.lacks({"Timeout waiting to read socket or accept connection", "timeoutMs: 300"}), "");
    EXPECT_TRUE(d.sock.IsConnected());

    SocketFlags abortFlags;
    Monitor sink(2);
    start = platform::tickCount();
    EXPECT_EQ(d.line(5000, &ok, &abortFlags, 60, &sink.pm), "");
    EXPECT_LT(platform::tickCount() - start, 1000u);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(abortFlags.aborted && !abortFlags.timedOut);
    EXPECT_EQ(sink.heartbeats, 2);
    EXPECT_EQ(d.line(5000, &ok, &abortFlags, 60, &sink.pm), "");
    EXPECT_TRUE(abortFlags.aborted);
    EXPECT_EQ(d.lacks({"socket operation aborted by application callback", "Wait-for-data aborted by app"}), "");

    DataBuffer exact;
    uint32_t got = 0;
    ASSERT_TRUE(d.sock.ReceiveExactly(exact, 4, 0, 3000, got, flags, d.log, nullptr)) << d.text();
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(str(exact), std::string("\x05\x00\x01\x02", 4));
    EXPECT_EQ(d.line(), "rest\r\n");
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(d.line(2000, &ok, &flags), "250-first\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(d.sock.leftoverSize(), 26u);
    flags = SocketFlags();
    EXPECT_EQ(d.line(2000, &ok, &flags), "250 second\r\n");
    EXPECT_TRUE(ok && !flags.any());
    EXPECT_EQ(d.line(2000, &ok, &flags), "250 partial li");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.closedByPeer);
    EXPECT_FALSE(flags.timedOut || flags.aborted || flags.socketError);
    EXPECT_FALSE(d.sock.IsConnected());
    EXPECT_EQ(d.lacks({"Connection closed by server."}), "");
    EXPECT_EQ(d.line(2000, &ok), "");  // fails at once on the closed connection
    EXPECT_FALSE(ok);
    EXPECT_FALSE(d.sock.ReceiveExactly(exact, 10, 0, 2000, got, flags, d.log, nullptr));
}

// Several MB against a reader that drains slowly: the sender has to wait
// for room again and again, and every byte arrives in order.
TEST(SocketSend, LargeSendToSlowReaderCompletes) {
    const std::string data = pattern(6 * 1024 * 1024 + 123);
    std::string received;
    {
        PeerThread reader([&received](int fd) {
            int small = 65536;  // no receive-window autotuning: the sender must wait
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            char buf[16384];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0; ::usleep(2000)) received.append(buf, n);
        });
        Dial d;  // closed first, which ends the reader
        ASSERT_TRUE(d.run("127.0.0.1", reader.port())) << d.text();
        d.sock.plainSocket().setSendBufferSize(65536);
        Monitor sink(0, data.size());
        ASSERT_TRUE(d.send(data, 0, 100, 10000, &sink.pm)) << d.text();
        EXPECT_EQ(sink.pm.done(), data.size());
    }
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

// A reader that never reads: the send waits for room until the idle
// time-out, or until the application aborts. A reset peer fails the send
// and closes the socket, after which there is nothing to send on.
TEST(SocketSend, StalledOrResetPeerFailsTheSend) {
    uint16_t port = 0;
    int listenFd = testsupport::sock::listenLoopback(port);
    const std::string data = pattern(64 * 1024 * 1024);
    const struct { int abortAt; uint32_t idleMs; bool reset; std::vector<std::string> log; } cases[] = {
        {0, 300, false, {"Socket send idle timeout", "idleTimeoutMs"}},
        {2, 10000, false, {"aborted by application"}},
        {0, 1000, true, {"Error sending on socket", "WSAECONNRESET", "No socket exists for sending (2)"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.log[0]);
        Dial d;
        ASSERT_TRUE(d.run("127.0.0.1", port)) << d.text();
        int peer = ::accept(listenFd, nullptr, nullptr);
        if (k.reset) {
            linger lg{1, 0};
            ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            ::close(peer);  // RST
        }
        ::usleep(50000);
        Monitor sink(k.abortAt, data.size());
        EXPECT_FALSE(d.send(data, 65536, 50, k.idleMs, &sink.pm));
        EXPECT_LT(sink.pm.done(), data.size());
        if (k.abortAt) { EXPECT_EQ(sink.heartbeats, 2); }
        EXPECT_EQ(d.sock.IsConnected(), !k.reset);
        if (k.reset) { EXPECT_FALSE(d.send("x")); }
        EXPECT_EQ(d.lacks(k.log), "");
        if (!k.reset) ::close(peer);
    }
    ::close(listenFd);
}

}  // namespace

// The throttle's window, by tick (1000 bytes/s, the window set to start at
// tick 5): short bursts pass, a fast average sleeps until it is back at the
// limit (at most 20 s), and a tick at or before the start restarts the
// window without counting its bytes.
TEST(SocketThrottle, WindowRestartsAndSleeps) {
    const struct { std::vector<std::pair<uint64_t, uint32_t>> records; uint32_t sleepMs; } cases[] = {
        {{{100, 105}}, 0},
        {{{1000, 505}}, 500},
        {{{100000, 205}}, BandwidthThrottle::kMaxSleepMs},
        {{{1000, 5}, {100, 505}}, 0},
        {{{500, 505}, {1000, 3}, {300, 403}}, 0},
        {{{500, 505}, {1000, 3}, {900, 403}}, 500},
    };
    for (const auto& k : cases) {
        BandwidthThrottle t;
        t.setLimit(1000);
        t.recordAt(0, 5);
        for (const auto& r : k.records) t.recordAt(r.first, r.second);
        EXPECT_EQ(t.sleepNeededMs(), k.sleepMs) << k.records.size() << " records, the last at " << k.records.back().second;
    }
}
