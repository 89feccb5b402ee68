#include "net/BandwidthThrottle.h"
#include "net/PerformanceMon.h"
#include "net/SocketErrors.h"
#include "platform/Clock.h"
#include "NetPeers.h"

#include <gtest/gtest.h>

namespace ostmail {
namespace {

using nettest::lacks;
using nettest::logText;

// A tick before the window's start counts as a wrapped counter and starts
// the window there, which pins it to a known tick.
uint32_t pinWindow(BandwidthThrottle& t) {
    uint32_t base = platform::tickCount() - 100000;
    t.recordAt(0, base);
    return base;
}

TEST(BandwidthThrottle, SleepFollowsTheAverageRate) {
    BandwidthThrottle t;
    t.recordAt(5000, 1000);
    EXPECT_EQ(t.sleepNeededMs(), 0u);  // no limit: never throttled
    t.setLimit(1000);
    uint32_t base = pinWindow(t);
    t.recordAt(150, base + 100);
    EXPECT_EQ(t.sleepNeededMs(), 0u);  // under 200 ms: too early to judge
    t.recordAt(4850, base + 250);
    EXPECT_EQ(t.sleepNeededMs(), 4750u);  // 5000 bytes are due at 5000 ms
    t.recordAt(95000, base + 300);
    EXPECT_EQ(t.sleepNeededMs(), BandwidthThrottle::kMaxSleepMs);

    t.setLimit(100000);
    base = pinWindow(t);
    t.recordAt(10000, base + 400);  // 25000 B/s: under the limit
    EXPECT_EQ(t.sleepNeededMs(), 0u);
    t.recordAt(90010, base + 410);  // 100010 bytes are due at 1000 ms
    EXPECT_EQ(t.sleepNeededMs(), 590u);
}

TEST(BandwidthThrottle, WaitSleepsAndCanBeAborted) {
    BandwidthThrottle t;
    t.setLimit(1000);
    uint32_t base = pinWindow(t);
    t.recordAt(450, base + 200);  // 250 ms still to sleep
    bool aborted = false;
    uint32_t start = platform::tickCount();
    EXPECT_TRUE(t.wait(0, nullptr, aborted));
    EXPECT_GE(platform::tickCount() - start, 249u);
    EXPECT_FALSE(aborted);

    base = pinWindow(t);
    t.recordAt(20000, base + 200);
    nettest::Monitor sink(1);
    start = platform::tickCount();
    EXPECT_FALSE(t.wait(50, &sink.pm, aborted));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(sink.heartbeats, 1);
    EXPECT_LT(platform::tickCount() - start, 2000u);
}

TEST(PerformanceMon, ReportsRateToItsCallbackEvery300Ms) {
    nettest::Monitor sink;
    PerformanceMon up(PerformanceMon::kUpload), down(PerformanceMon::kDownload), other(7);
    uint32_t t0 = platform::tickCount();
    up.addBytesAt(1000, &sink.pm, t0 + 100);
    EXPECT_EQ(sink.uploadReports, 0);
    up.addBytesAt(1000, &sink.pm, t0 + 400);
    EXPECT_EQ(sink.uploadReports, 1);
    EXPECT_EQ(sink.lastUploadCount, 2000u);
    EXPECT_NEAR(sink.lastUploadRate, 5000u, 100u);
    up.addBytesAt(1000, &sink.pm, t0 + 500);
    EXPECT_EQ(sink.uploadReports, 1);
    down.addBytesAt(10, &sink.pm, t0 + 301);
    other.addBytesAt(10, &sink.pm, t0 + 301);
    EXPECT_EQ(sink.downloadReports, 1);
    EXPECT_EQ(sink.transferReports, 1);
    up.addBytesAt(5, nullptr, t0 - 10);  // wrapped: counting starts over
    EXPECT_EQ(up.byteCount(), 5u);
}

TEST(SocketErrors, UnknownNumbersGetTheFirewallHint) {
    Logger log;
    SocketErrorText(10060, log);
    SocketErrorText(10045, log);
    EXPECT_EQ(lacks(logText(log), {"SocketError: WSAETIMEDOUT A connection attempt failed", "SocketError: Error 273d",
                                   "Check to make sure the connection is not blocked by a firewall or anti-virus "
                                   "port filtering."}),
              "");
}

}  // namespace
}  // namespace ostmail
