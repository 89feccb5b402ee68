#pragma once
#include "facade/VmMailCb.h"
#include "ostmail/Session.h"

namespace ostmail {

// Hands the manager's progress to the host's callback; false from it aborts.
class ProgressBridge : public VmMailManProgress {
public:
    explicit ProgressBridge(const ProgressCallback& cb) : m_cb(cb) {}
    bool aborted() const { return m_aborted; }

    void SendPercentDone(int32_t percent, bool* abort) override {
        m_percent = percent;
        ask(abort);
    }
    void AbortCheck(bool* abort) override { ask(abort); }

private:
    void ask(bool* abort) {
        if (!abort || !m_cb) return;
        if (m_aborted) {  // the host said stop once; it is not asked again
            *abort = true;
            return;
        }
        bool goOn = true;
        try {
            goOn = m_cb(m_percent);
        } catch (...) {
            goOn = false;  // a throwing callback stops the send instead of unwinding through it
        }
        if (!goOn) {
            *abort = true;
            m_aborted = true;
        }
    }

    const ProgressCallback& m_cb;
    int m_percent = 0;
    bool m_aborted = false;
};

}  // namespace ostmail
