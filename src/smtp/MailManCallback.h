#pragma once
#include "core/ProgressEvent.h"

namespace ostmail {

// Routes the monitor's events of a mail manager to four mail-level events:
// percentages go to the send or the read event by the sending flag, and
// every idle check becomes one abort check.
class MailManCallback : public ProgressEvent {
public:
    void PercentDone(int32_t percent, bool* abort) override {
        if (m_sending)
            SendPercentDone(percent, abort);
        else
            ReadPercentDone(percent, abort);
    }
    void AbortCheck(bool* abort) override { MailAbortCheck(abort); }
    void Heartbeat(uint32_t, bool* abort) override { MailAbortCheck(abort); }
    void TaskEvent(const char* name, const char* value, int32_t a, int32_t b, int64_t c, int64_t d,
                   bool* abort) override {
        MailTaskEvent(name, value, a, b, c, d, abort);
    }

    void setSending(bool on) { m_sending = on; }
    bool sending() const { return m_sending; }

protected:
    virtual void SendPercentDone(int32_t percent, bool* abort) = 0;
    virtual void ReadPercentDone(int32_t percent, bool* abort) = 0;
    virtual void MailAbortCheck(bool* abort) = 0;
    virtual void MailTaskEvent(const char* name, const char* value, int32_t a, int32_t b, int64_t c,
                               int64_t d, bool* abort) = 0;

private:
    bool m_sending = true;
};

}  // namespace ostmail
