#include "net/PerformanceMon.h"

#include "core/ProgressMonitor.h"
#include "platform/Clock.h"

namespace ostmail {

PerformanceMon::PerformanceMon(int kind) : m_kind(kind) { reset(); }

void PerformanceMon::reset() {
    m_startTick = m_lastReportTick = platform::tickCount();
    m_byteCount = 0;
}

void PerformanceMon::addBytes(uint64_t n, ProgressMonitor* pm) { addBytesAt(n, pm, platform::tickCount()); }

void PerformanceMon::addBytesAt(uint64_t n, ProgressMonitor* pm, uint32_t now) {
    if (now < m_startTick || now < m_lastReportTick) {  // the tick counter wrapped
        m_startTick = m_lastReportTick = now;
        m_byteCount = 0;
    }
    m_byteCount += n;
    ProgressEvent* sink = pm ? pm->sink() : nullptr;
    if (!sink || now - m_lastReportTick < kReportIntervalMs) return;
    m_lastReportTick = now;
    uint32_t ms = now - m_startTick;
    uint32_t rate = static_cast<uint32_t>(m_byteCount * 1000 / (ms ? ms : 1));
    switch (m_kind) {
        case kUpload: sink->UploadRate(m_byteCount, rate); break;
        case kDownload: sink->DownloadRate(m_byteCount, rate); break;
        default: sink->TransferRate(m_byteCount, rate); break;
    }
}

}  // namespace ostmail
