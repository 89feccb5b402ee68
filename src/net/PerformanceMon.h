#pragma once
#include <cstdint>

namespace ostmail {

class ProgressMonitor;

// Counts the bytes of one direction and reports the running rate to the
// progress sink at most every 300 ms.
class PerformanceMon {
public:
    enum Kind { kUpload = 1, kDownload = 2, kTransfer = 3 };
    static constexpr uint32_t kReportIntervalMs = 300;

    explicit PerformanceMon(int kind);

    void reset();
    void addBytes(uint64_t n, ProgressMonitor* pm);
    void addBytesAt(uint64_t n, ProgressMonitor* pm, uint32_t now);
    uint64_t byteCount() const { return m_byteCount; }

private:
    uint32_t m_startTick;
    uint64_t m_byteCount = 0;
    uint32_t m_lastReportTick;
    int m_kind;
};

}  // namespace ostmail
