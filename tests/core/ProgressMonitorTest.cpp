#include "core/ProgressMonitor.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace ostmail;

struct RecordingSink : ProgressEvent {
    std::vector<int32_t> percents;
    int abortChecks = 0, heartbeats = 0;
    bool abortOnPercent = false;
    void PercentDone(int32_t p, bool* abort) override {
        percents.push_back(p);
        *abort = abortOnPercent;
    }
    void AbortCheck(bool*) override { ++abortChecks; }
    void Heartbeat(uint32_t, bool*) override { ++heartbeats; }
};

// 999,999 of 1,000,000 is not yet 100, but the scaled 10,000,001 total truncates.
TEST(ProgressMonitor, PercentScalesLargeTotalsByTens) {
    const uint64_t cases[][3] = {{0, 0, 100},           {5, 0, 100},           {1500009, 3000000, 50},
                                 {15000000, 30000000, 50}, {999999, 1000000, 99}, {UINT64_MAX / 2, UINT64_MAX, 49}};
    for (const auto& c : cases) EXPECT_EQ(ProgressMonitor::percentOf(c[0], c[1]), int32_t(c[2])) << c[0] << "/" << c[1];
}

// Only rises are reported; the total clamps; finish gives 100 once, also
// after a failure part way.
TEST(ProgressMonitor, ReportsOnlyRisesAndFinishReachesHundredOnce) {
    struct Case { uint64_t total; std::vector<uint64_t> steps; std::vector<int32_t> before, after; };
    const Case cases[] = {
        {200, {1, 1, 100, 1000, 5}, {1, 51, 100}, {1, 51, 100}},
        {1000, {200}, {20}, {20, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        RecordingSink sink;
        ProgressMonitor pm(&sink, c.total);
        uint64_t sum = 0;
        for (uint64_t step : c.steps) {
            EXPECT_FALSE(pm.advance(step));
            sum += step;
        }
        EXPECT_EQ(pm.done(), std::min(sum, c.total));
        EXPECT_EQ(sink.percents, c.before);
        pm.finish();
        EXPECT_EQ(sink.percents, c.after);
    }
}

TEST(ProgressMonitor, AbortStaysAndSilencesTheSink) {
    RecordingSink sink;
    sink.abortOnPercent = true;
    ProgressMonitor pm(&sink, 100);
    EXPECT_TRUE(pm.advance(10));
    EXPECT_TRUE(pm.isAborted());
    EXPECT_TRUE(pm.heartbeatCheck(1));
    EXPECT_TRUE(pm.periodicCheck(0));
    EXPECT_EQ(sink.heartbeats + sink.abortChecks, 0);
}

TEST(ProgressMonitor, HeartbeatsAndIdleChecksAreRateLimited) {
    RecordingSink sink;
    ProgressMonitor pm(&sink, 100);
    // No interval: never a Heartbeat, however often it is asked.
    EXPECT_FALSE(pm.heartbeatCheck(0));
    EXPECT_EQ(sink.heartbeats, 0);
    // Idle: the first AbortCheck comes only after 300 ms of silence.
    EXPECT_FALSE(pm.periodicCheck(0));
    pm.advance(0);
    EXPECT_EQ(sink.abortChecks, 0);
    platform::sleepMs(320);
    pm.periodicCheck(0);
    pm.periodicCheck(0);
    EXPECT_EQ(sink.abortChecks, 1);
    // With an interval: one Heartbeat per interval.
    platform::sleepMs(60);
    pm.heartbeatCheck(50);
    pm.heartbeatCheck(50);
    EXPECT_EQ(sink.heartbeats, 1);
    platform::sleepMs(60);
    pm.heartbeatCheck(50);
    EXPECT_EQ(sink.heartbeats, 2);
    // A step that leaves the percentage as it was asks AbortCheck once per interval.
    pm.advance(0);
    EXPECT_EQ(sink.abortChecks, 1);
    platform::sleepMs(60);
    pm.advance(0);
    pm.advance(0);
    EXPECT_EQ(sink.abortChecks, 2);
}
