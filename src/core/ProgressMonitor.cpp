#include "core/ProgressMonitor.h"

#include "platform/Clock.h"

namespace ostmail {

namespace {
const uint32_t kIdleCheckMs = 300;
}

ProgressMonitor::ProgressMonitor(ProgressEvent* sink, uint64_t total)
    : m_total(total), m_sink(sink ? sink : &m_builtinSink) {
    m_lastEventTime = platform::tickCount();
    m_lastHeartbeatTime = m_lastEventTime;
}

int32_t ProgressMonitor::percentOf(uint64_t done, uint64_t total) {
    if (total == 0) return 100;
    while (total > 1000000) {
        done /= 10;
        total /= 10;
    }
    return static_cast<int32_t>(done * 100 / total);
}

void ProgressMonitor::addDone(uint64_t amount) {
    m_done = (amount >= m_total - m_done) ? m_total : m_done + amount;
}

// Reports the percentage when it rose past both the value before the step
// and the highest one reported; true when the sink asked to abort.
bool ProgressMonitor::reportRise(int32_t before) {
    int32_t after = percent();
    if (!m_sink || after <= before || after <= m_lastPercent) return false;
    m_lastEventTime = platform::tickCount();
    if (m_hold100 && after == 100) return false;
    m_lastPercent = after;
    bool abort = false;
    m_sink->PercentDone(after, &abort);
    return abort;
}

bool ProgressMonitor::advance(uint64_t amount) {
    if (m_disabled) return false;
    int32_t before = percent();
    addDone(amount);
    int32_t after = percent();
    bool abort = false;
    if (m_sink && after > before && after > m_lastPercent) {
        abort = reportRise(before);
    } else if (m_sink && !m_heartbeatsOff) {
        uint32_t interval = m_heartbeatInterval ? m_heartbeatInterval : kIdleCheckMs;
        uint32_t now = platform::tickCount();
        if (now - m_lastEventTime > interval) {
            m_lastEventTime = now;
            m_lastHeartbeatTime = now;
            m_sink->AbortCheck(&abort);
        }
    }
    if (abort) m_aborted = true;
    return abort;
}

void ProgressMonitor::advanceQuietly(uint64_t amount) {
    int32_t before = percent();
    addDone(amount);
    reportRise(before);
}

bool ProgressMonitor::setDone(uint64_t amount) {
    int32_t before = percent();
    m_done = amount > m_total ? m_total : amount;
    bool abort = reportRise(before);
    if (abort) m_aborted = true;
    return abort;
}

bool ProgressMonitor::heartbeatCheck(uint32_t intervalMs) {
    if (m_aborted) return true;
    m_heartbeatInterval = intervalMs;
    if (intervalMs == 0 || !m_sink) return false;
    uint32_t now = platform::tickCount();
    if (now <= m_lastHeartbeatTime) {  // the tick counter wrapped
        m_lastHeartbeatTime = now;
        return false;
    }
    if (now - m_lastHeartbeatTime >= intervalMs) {
        m_lastHeartbeatTime = now;
        m_lastEventTime = now;
        m_sink->Heartbeat(0, &m_aborted);
    }
    return m_aborted;
}

bool ProgressMonitor::periodicCheck(uint32_t intervalMs) {
    if (m_aborted) return true;
    if (intervalMs != 0) return heartbeatCheck(intervalMs);
    uint32_t now = platform::tickCount();
    if (m_sink && now - m_lastEventTime > kIdleCheckMs) {
        m_lastEventTime = now;
        m_lastHeartbeatTime = now;
        bool abort = false;
        m_sink->AbortCheck(&abort);
        if (abort) m_aborted = true;
    }
    return m_aborted;
}

void ProgressMonitor::finish() {
    if (m_done < m_total) advanceQuietly(m_total - m_done);
    if (m_hold100 && m_sink) {
        m_lastEventTime = platform::tickCount();
        bool abort = false;
        m_sink->PercentDone(100, &abort);
    }
}

void ProgressMonitor::reset(uint32_t total) {
    reset64(0, total);
}

void ProgressMonitor::reset64(uint32_t high, uint32_t low) {
    m_total = (static_cast<uint64_t>(high) << 32) | low;
    m_done = 0;
    m_lastPercent = 0;
    m_aborted = false;
}

}  // namespace ostmail
