#pragma once
#include "core/ProgressEvent.h"

#include <cstdint>

namespace ostmail {

// Progress, heartbeat and abort state of one long operation. Lives on the
// operation's stack; the sink is borrowed and must outlive the monitor.
// Once a sink asks to abort, the monitor stays aborted until reset().
class ProgressMonitor {
public:
    ProgressMonitor(ProgressEvent* sink, uint64_t total);
    virtual ~ProgressMonitor() = default;
    ProgressMonitor(const ProgressMonitor&) = delete;
    ProgressMonitor& operator=(const ProgressMonitor&) = delete;

    // Each returns true when the sink asked to abort in this call.
    bool advance(uint64_t amount);
    void advanceQuietly(uint64_t amount);
    bool setDone(uint64_t amount);
    // True when aborted (now or before); fires Heartbeat once per interval.
    bool heartbeatCheck(uint32_t intervalMs);
    // With an interval as heartbeatCheck; without, an AbortCheck at most every 300 ms.
    bool periodicCheck(uint32_t intervalMs);
    void finish();

    void reset(uint32_t total);
    void reset64(uint32_t high, uint32_t low);
    void addToTotal(uint64_t amount) { m_total += amount; }

    bool isAborted() const { return m_aborted; }
    uint64_t remaining() const { return m_total - m_done; }
    uint64_t total() const { return m_total; }
    uint64_t done() const { return m_done; }
    int32_t lastPercent() const { return m_lastPercent; }
    ProgressEvent* sink() const { return m_sink; }

    void setDisabled(bool on) { m_disabled = on; }
    void setHold100(bool on) { m_hold100 = on; }
    void setHeartbeatsOff(bool on) { m_heartbeatsOff = on; }
    void setSecondInterval(uint32_t ms) { m_secondInterval = ms; }
    uint32_t secondInterval() const { return m_secondInterval; }
    uint32_t heartbeatInterval() const { return m_heartbeatInterval; }

    // Whole percent of done over total; totals above a million are scaled
    // down by tens first so that done * 100 cannot overflow.
    static int32_t percentOf(uint64_t done, uint64_t total);

private:
    int32_t percent() const { return percentOf(m_done, m_total); }
    void addDone(uint64_t amount);
    bool reportRise(int32_t before);

    AsyncProgressEvent m_builtinSink;
    uint64_t m_total;
    uint64_t m_done = 0;
    int32_t m_lastPercent = 0;
    ProgressEvent* m_sink;
    bool m_aborted = false;
    uint32_t m_lastEventTime;
    uint32_t m_heartbeatInterval = 0;
    bool m_heartbeatsOff = false;
    uint32_t m_lastHeartbeatTime;
    uint32_t m_secondInterval = 0;
    bool m_disabled = false;
    bool m_hold100 = false;
};

}  // namespace ostmail
