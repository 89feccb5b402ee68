#include "net/BandwidthThrottle.h"
#include "net/PerformanceMon.h"
#include "net/SocketErrors.h"
#include "platform/Clock.h"
#include "NetPeers.h"

using namespace ostmail;
using namespace ostmail::nettest;

namespace {

// A tick before the window's start counts as a wrapped counter and starts
// the window there, which pins it to a known tick.
uint32_t pinWindow(BandwidthThrottle& t) {
    uint32_t base = platform::tickCount() - 100000;
    t.recordAt(0, base);
    return base;
}

// The sleep a rate needs; then the wait itself, and its abort.
TEST(BandwidthThrottle, SleepFollowsTheAverageRateAndWaitCanBeAborted) {
    BandwidthThrottle t;
    // A new limit (0: keep the last) restarts the window, pinned again.
    const struct { uint32_t limit, bytes, atMs, sleepMs; } steps[] = {
        {0, 5000, 1000, 0},                                 // no limit: never throttled
        {1000, 150, 100, 0},                                // under 200 ms: too early to judge
        {0, 4850, 250, 4750},                               // 5000 bytes are due at 5000 ms
        {0, 95000, 300, BandwidthThrottle::kMaxSleepMs},
        {100000, 10000, 400, 0},                            // 25000 B/s: under the limit
        {0, 90010, 410, 590},                               // 100010 bytes are due at 1000 ms
    };
    uint32_t base = 0;
    for (const auto& s : steps) {
        if (s.limit) {
            t.setLimit(s.limit);
            base = pinWindow(t);
        }
        t.recordAt(s.bytes, base + s.atMs);
        EXPECT_EQ(t.sleepNeededMs(), s.sleepMs) << s.bytes << " bytes at " << s.atMs << " ms";
    }

    t.setLimit(1000);
    t.recordAt(450, pinWindow(t) + 200);  // 250 ms still to sleep
    bool aborted = false;
    uint32_t start = platform::tickCount();
    EXPECT_TRUE(t.wait(0, nullptr, aborted));
    EXPECT_GE(platform::tickCount() - start, 249u);
    EXPECT_FALSE(aborted);

    t.recordAt(20000, pinWindow(t) + 200);
    Monitor sink(1);
    start = platform::tickCount();
    EXPECT_FALSE(t.wait(50, &sink.pm, aborted));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(sink.heartbeats, 1);
    EXPECT_LT(platform::tickCount() - start, 2000u);
}

TEST(PerformanceMon, ReportsRateToItsCallbackEvery300Ms) {
    Monitor sink;
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
                                   "Check to make sure the connection is not blocked by a "
                                   "firewall or anti-virus port filtering."}),
              "");
}

}  // namespace
