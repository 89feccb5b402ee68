#pragma once
#include <cstdint>

namespace ostmail {

class ProgressMonitor;

// Caps the average rate of one direction of a socket. Bursts shorter than
// 200 ms pass unthrottled; after that the caller sleeps until the average
// over the window is back at the limit.
class BandwidthThrottle {
public:
    static constexpr uint32_t kMaxSleepMs = 20000;

    uint64_t limit() const { return m_limit; }
    void setLimit(uint64_t bytesPerSec);  // 0 = off; restarts the window

    void record(uint64_t n);
    // False only when the application aborted during the sleep.
    bool wait(uint32_t heartbeatMs, ProgressMonitor* pm, bool& aborted);

    // The clock-free parts, for callers that bring their own tick.
    void recordAt(uint64_t n, uint32_t now);
    uint32_t sleepNeededMs() const;

private:
    void restart(uint32_t now);

    uint64_t m_limit = 0;
    uint32_t m_startTick = 0;
    uint64_t m_elapsedMs = 0;
    uint64_t m_byteCount = 0;
};

}  // namespace ostmail
