#include "core/ProgressMonitor.h"
#include "facade/VmMailCb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostmail {
namespace {

struct HostProgress : VmMailManProgress {
    std::vector<std::string> calls;
    bool stop = false;
    void SendPercentDone(int32_t p, bool* abort) override {
        calls.push_back("send " + std::to_string(p));
        *abort = stop;
    }
    void ReadPercentDone(int32_t p, bool*) override { calls.push_back("read " + std::to_string(p)); }
    void AbortCheck(bool* abort) override {
        calls.push_back("check");
        *abort = stop;
    }
    void TaskEvent(const char* name, const char*, int32_t a, int32_t, int64_t, int64_t d, bool*) override {
        calls.push_back(std::string("task ") + name + " " + std::to_string(a) + " " + std::to_string(d));
    }
};

TEST(VmMailCb, RoutesMonitorEventsToTheHost) {
    HostProgress host;
    VmMailCb cb(&host);
    ProgressMonitor pm(&cb, 100);
    pm.advance(30);
    cb.setSending(false);
    pm.advance(30);
    bool abort = false;
    cb.Heartbeat(7, &abort);
    cb.AbortCheck(nullptr);  // no out pointer: the host is not asked
    cb.TaskEvent("n", "v", 1, 2, 3, 4, &abort);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"send 30", "read 60", "check", "task n 1 4"}));

    host.stop = true;
    cb.setSending(true);
    EXPECT_TRUE(pm.advance(10));
    EXPECT_TRUE(pm.isAborted());

    // Without a host nothing aborts.
    VmMailCb alone(nullptr);
    ProgressMonitor quiet(&alone, 10);
    EXPECT_FALSE(quiet.advance(10));
    abort = false;
    alone.Heartbeat(0, &abort);
    EXPECT_FALSE(abort);
}

}  // namespace
}  // namespace ostmail
