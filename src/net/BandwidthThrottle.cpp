#include "net/BandwidthThrottle.h"

#include "core/ProgressMonitor.h"
#include "platform/Clock.h"

#include <algorithm>

namespace ostmail {

namespace {
constexpr uint64_t kMinWindowMs = 200;
}

void BandwidthThrottle::setLimit(uint64_t bytesPerSec) {
    m_limit = bytesPerSec;
    restart(platform::tickCount());
}

void BandwidthThrottle::restart(uint32_t now) {
    m_startTick = now;
    m_elapsedMs = 0;
    m_byteCount = 0;
}

void BandwidthThrottle::record(uint64_t n) {
    if (m_limit) recordAt(n, platform::tickCount());
}

void BandwidthThrottle::recordAt(uint64_t n, uint32_t now) {
    if (!m_limit) return;
    // A tick at or before the start counts as a wrapped counter: the window
    // starts again, without these bytes.
    if (now <= m_startTick) {
        restart(now);
        return;
    }
    m_elapsedMs = now - m_startTick;
    m_byteCount += n;
}

uint32_t BandwidthThrottle::sleepNeededMs() const {
    if (!m_limit || m_elapsedMs < kMinWindowMs) return 0;
    uint64_t rate = m_byteCount * 1000 / m_elapsedMs;
    if (rate < m_limit) return 0;
    uint64_t due = m_byteCount * 1000 / m_limit;
    if (due <= m_elapsedMs) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(due - m_elapsedMs, kMaxSleepMs));
}

bool BandwidthThrottle::wait(uint32_t heartbeatMs, ProgressMonitor* pm, bool& aborted) {
    uint32_t ms = sleepNeededMs();
    if (!ms) return true;
    if (!heartbeatMs || !pm) {
        platform::sleepMs(ms);
        return true;
    }
    while (ms) {
        uint32_t slice = std::min(ms, heartbeatMs);
        platform::sleepMs(slice);
        ms -= slice;
        if (pm->heartbeatCheck(heartbeatMs)) {
            aborted = true;
            return false;
        }
    }
    return true;
}

}  // namespace ostmail
