#include "core/ProgressMonitor.h"
#include "platform/Clock.h"
#include "NetPeers.h"
#include "support/ScriptedSmtpServer.h"

#include <gtest/gtest.h>

#include <string>

namespace ostmail {
namespace {

using nettest::Dial;
using testsupport::ScriptedSmtpServer;

void open(Dial& d, ScriptedSmtpServer& srv) {
    srv.start();
    ASSERT_TRUE(d.run("127.0.0.1", srv.port())) << d.text();
}

// Two replies in one block: the second comes from the leftover, without a
// read — the peer has closed by then, so a read would report the close.
// The third, cut off by the close, fails with the closed flag.
TEST(SocketRead, LeftoverLinesThenCloseMidLine) {
    ScriptedSmtpServer srv;
    srv.send("250-first\r\n250 second\r\n250 partial li").closeNow();
    Dial d;
    open(d, srv);
    ASSERT_TRUE(srv.waitDone());
    SocketFlags flags;
    bool ok = false;
    EXPECT_EQ(d.line(2000, &ok, &flags), "250-first\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(d.sock.leftoverSize(), 26u);
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
}

// The match spanning two reads is still found, and nothing after it is
// lost; a NUL byte becomes a space.
TEST(SocketRead, MatchSplitAcrossReadsAndZeroBytes) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"220 ready\r", "\n250 x", "y\r\n25", std::string("0 a\0b\r\n", 7)}, 100);
    Dial d;
    open(d, srv);
    for (const char* want : {"220 ready\r\n", "250 xy\r\n", "250 a b\r\n"}) {
        bool ok = false;
        EXPECT_EQ(d.line(2000, &ok), want);
        EXPECT_TRUE(ok);
    }
    EXPECT_TRUE(srv.waitDone());
}

// A silent peer: the read times out and the connection stays usable; with
// a monitor, the application's abort ends the wait and the next one too.
TEST(SocketRead, SilentPeerTimesOutOrIsAborted) {
    ScriptedSmtpServer srv;
    srv.send("220 hi\r\n").silence(3000);
    Dial d;
    open(d, srv);
    EXPECT_EQ(d.line(), "220 hi\r\n");
    SocketFlags flags;
    bool ok = true;
    uint32_t start = platform::tickCount();
    EXPECT_EQ(d.line(300, &ok, &flags), "");
    uint32_t took = platform::tickCount() - start;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(flags.timedOut);
    EXPECT_FALSE(flags.closedByPeer || flags.aborted || flags.socketError);
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(d.lacks({"Timeout waiting to read socket or accept connection", "timeoutMs: 300"}), "");
    EXPECT_TRUE(d.sock.IsConnected());

    SocketFlags abortFlags;
    nettest::CountingSink sink(2);
    ProgressMonitor pm(&sink, 100);
    start = platform::tickCount();
    EXPECT_EQ(d.line(5000, &ok, &abortFlags, 60, &pm), "");
    EXPECT_LT(platform::tickCount() - start, 2000u);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(abortFlags.aborted && !abortFlags.timedOut);
    EXPECT_EQ(sink.heartbeats, 2);
    EXPECT_EQ(d.line(5000, &ok, &abortFlags, 60, &pm), "");
    EXPECT_TRUE(abortFlags.aborted);
    EXPECT_EQ(d.lacks({"socket operation aborted by application callback", "Wait-for-data aborted by app"}), "");
}

TEST(SocketRead, ReceiveExactlyCollectsAcrossWrites) {
    ScriptedSmtpServer srv;
    srv.sendSplit({"\x05", std::string("\x00\x01", 2), "\x02rest"}, 50);
    Dial d;
    open(d, srv);
    DataBuffer out, rest;
    uint32_t got = 0;
    SocketFlags flags;
    ASSERT_TRUE(d.sock.ReceiveExactly(out, 4, 0, 2000, got, flags, d.log, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.getData()), out.getSize()), std::string("\x05\x00\x01\x02", 4));
    EXPECT_FALSE(d.sock.ReceiveExactly(rest, 10, 0, 2000, got, flags, d.log, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_TRUE(flags.closedByPeer);
}

}  // namespace
}  // namespace ostmail
