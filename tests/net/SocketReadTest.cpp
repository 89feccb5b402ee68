#include "core/Logger.h"
#include "core/ProgressMonitor.h"
#include "net/Socket2.h"
#include "platform/Clock.h"
#include "NetPeers.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using nettest::contains;
using nettest::logText;
using testsupport::ScriptedSmtpServer;

void connectTo(Socket2& s, ScriptedSmtpServer& srv) {
    srv.start();
    Logger log;
    bool aborted = false;
    uint32_t reason = 0;
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.port(), false, 0, 2000, nullptr, aborted, reason, log, nullptr))
        << logText(log);
}

std::string readLine(Socket2& s, SocketFlags& flags, bool* ok, uint32_t idleMs = 2000, LogBase* log = nullptr,
                     ProgressMonitor* pm = nullptr, uint32_t heartbeatMs = 0) {
    LogNull quiet;
    StringBuffer line;
    *ok = s.ReceiveUntilMatch("\r\n", line, heartbeatMs, idleMs, flags, log ? *log : quiet, pm);
    return line.toStdString();
}

// Two replies in one block: the second comes from the leftover, without a
// read — the peer has closed by then, so a read would report the close.
TEST(SocketRead, TwoLinesInOneBlockNeedOneRead) {
    ScriptedSmtpServer srv;
    srv.send("250-first\r\n250 second\r\n").closeNow();
    Socket2 s;
    connectTo(s, srv);
    ASSERT_TRUE(srv.waitDone());
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(readLine(s, flags, &ok), "250-first\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.leftoverSize(), 12u);
    EXPECT_EQ(readLine(s, flags, &ok), "250 second\r\n");
    EXPECT_TRUE(ok);
    EXPECT_FALSE(flags.any());
    EXPECT_EQ(s.leftoverSize(), 0u);
    EXPECT_EQ(readLine(s, flags, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.closedByPeer);
}

// The match spanning two reads is still found, and nothing after it is lost.
TEST(SocketRead, MatchSplitAcrossReadsAndZeroBytes) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"220 ready\r", "\n250 x", "y\r\n25", std::string("0 a\0b\r\n", 7)}, 100);
    Socket2 s;
    connectTo(s, srv);
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(readLine(s, flags, &ok), "220 ready\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(readLine(s, flags, &ok), "250 xy\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(readLine(s, flags, &ok), "250 a b\r\n");  // a NUL byte becomes a space
    EXPECT_TRUE(ok);
    EXPECT_TRUE(srv.waitDone());
}

TEST(SocketRead, PeerClosingMidLineFailsWithClosedFlag) {
    ScriptedSmtpServer srv;
    srv.send("250 partial li").closeNow();
    Socket2 s;
    connectTo(s, srv);
    SocketFlags flags;
    bool ok = true;
    Logger log;
    EXPECT_EQ(readLine(s, flags, &ok, 2000, &log), "250 partial li");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.closedByPeer);
    EXPECT_FALSE(flags.timedOut || flags.aborted || flags.socketError);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_TRUE(contains(logText(log), "Connection closed by server.")) << logText(log);
    // A read on the closed connection fails at once.
    EXPECT_EQ(readLine(s, flags, &ok), "");
    EXPECT_FALSE(ok);
}

TEST(SocketRead, SilentPeerTimesOut) {
    ScriptedSmtpServer srv;
    srv.send("220 hi\r\n").silence(3000);
    Socket2 s;
    connectTo(s, srv);
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(readLine(s, flags, &ok), "220 hi\r\n");
    Logger log;
    uint32_t start = platform::tickCount();
    EXPECT_EQ(readLine(s, flags, &ok, 300, &log), "");
    uint32_t took = platform::tickCount() - start;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.timedOut);
    EXPECT_FALSE(flags.closedByPeer || flags.aborted || flags.socketError);
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 2000u);
    std::string t = logText(log);
    EXPECT_TRUE(contains(t, "Timeout waiting to read socket or accept connection")) << t;
    EXPECT_TRUE(contains(t, "timeoutMs: 300")) << t;
    EXPECT_TRUE(s.IsConnected());  // a time-out leaves the connection usable
}

TEST(SocketRead, ApplicationAbortsTheWait) {
    ScriptedSmtpServer srv;
    srv.silence(3000);
    Socket2 s;
    connectTo(s, srv);
    nettest::CountingSink sink(2);
    ProgressMonitor pm(&sink, 100);
    SocketFlags flags;
    bool ok = true;
    Logger log;
    uint32_t start = platform::tickCount();
    EXPECT_EQ(readLine(s, flags, &ok, 5000, &log, &pm, 60), "");
    EXPECT_LT(platform::tickCount() - start, 2000u);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.aborted);
    EXPECT_FALSE(flags.timedOut);
    EXPECT_EQ(sink.heartbeats, 2);
    EXPECT_TRUE(contains(logText(log), "socket operation aborted by application callback")) << logText(log);

    // An aborted monitor stops the next wait before it starts.
    EXPECT_EQ(readLine(s, flags, &ok, 5000, &log, &pm, 60), "");
    EXPECT_TRUE(flags.aborted);
    EXPECT_TRUE(contains(logText(log), "Wait-for-data aborted by app"));
}

TEST(SocketRead, ReceiveExactlyCollectsAcrossWrites) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"\x05", std::string("\x00\x01", 2), "\x02rest"}, 50);
    Socket2 s;
    connectTo(s, srv);
    DataBuffer out;
    uint32_t got = 0;
    SocketFlags flags;
    LogNull log;
    ASSERT_TRUE(s.ReceiveExactly(out, 4, 0, 2000, got, flags, log, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.getData()), out.getSize()), std::string("\x05\x00\x01\x02", 4));
    DataBuffer rest;
    EXPECT_FALSE(s.ReceiveExactly(rest, 10, 0, 2000, got, flags, log, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_TRUE(flags.closedByPeer);
}

}  // namespace
}  // namespace ostmail
