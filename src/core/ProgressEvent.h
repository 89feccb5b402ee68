#pragma once
#include <cstdint>

namespace ostmail {

// Event sink of a progress monitor. Every event has a do-nothing or
// never-abort default, so a sink overrides only what it cares about.
class ProgressEvent {
public:
    virtual ~ProgressEvent() = default;

    virtual void PercentDone(int32_t percent, bool* abort) {
        (void)percent;
        if (abort) *abort = false;
    }
    virtual void AbortCheck(bool* abort) { (void)abort; }
    virtual void Heartbeat(uint32_t number, bool* abort) {
        (void)number;
        if (abort) *abort = false;
    }

    // Transfer rates reported by the sockets' rate monitors.
    virtual void UploadRate(uint64_t byteCount, uint32_t bytesPerSec) { (void)byteCount; (void)bytesPerSec; }
    virtual void DownloadRate(uint64_t byteCount, uint32_t bytesPerSec) { (void)byteCount; (void)bytesPerSec; }
    virtual void TransferRate(uint64_t byteCount, uint32_t bytesPerSec) { (void)byteCount; (void)bytesPerSec; }

    // Generic named event of other components, forwarded unchanged by the mail adapter.
    virtual void TaskEvent(const char* name, const char* value, int32_t a, int32_t b, int64_t c, int64_t d,
                           bool* abort) {
        (void)name; (void)value; (void)a; (void)b; (void)c; (void)d; (void)abort;
    }
};

// The monitor's own sink when the application gave none: it remembers the
// last percentage and answers every question with its abort flag.
class AsyncProgressEvent : public ProgressEvent {
public:
    void PercentDone(int32_t percent, bool* abort) override {
        m_lastPercent = percent;
        if (abort) *abort = m_abort;
    }
    void AbortCheck(bool* abort) override {
        if (abort) *abort = m_abort;
    }
    void Heartbeat(uint32_t, bool* abort) override {
        if (abort) *abort = m_abort;
    }
    void setAbort(bool abort) { m_abort = abort; }
    int32_t lastPercent() const { return m_lastPercent; }

private:
    bool m_abort = false;
    int32_t m_lastPercent = 0;
};

}  // namespace ostmail
