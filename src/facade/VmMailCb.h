#pragma once
#include "smtp/MailManCallback.h"

namespace ostmail {

// What a host implements to watch a send and stop it. Set *abort to true to
// stop the operation at its next check. Calls arrive on the sending thread;
// they must not call back into the same mail manager.
class VmMailManProgress {
public:
    virtual ~VmMailManProgress() = default;
    virtual void SendPercentDone(int32_t percent, bool* abort) { (void)percent; (void)abort; }
    virtual void ReadPercentDone(int32_t percent, bool* abort) { (void)percent; (void)abort; }
    virtual void AbortCheck(bool* abort) { (void)abort; }
    virtual void TaskEvent(const char* name, const char* value, int32_t a, int32_t b, int64_t c, int64_t d,
                           bool* abort) {
        (void)name; (void)value; (void)a; (void)b; (void)c; (void)d; (void)abort;
    }
};

// Adapter from a mail manager's events to the host's object (not owned).
class VmMailCb : public MailManCallback {
public:
    explicit VmMailCb(VmMailManProgress* app) : m_app(app) {}

protected:
    void SendPercentDone(int32_t percent, bool* abort) override {
        if (m_app) m_app->SendPercentDone(percent, abort);
    }
    void ReadPercentDone(int32_t percent, bool* abort) override {
        if (m_app) m_app->ReadPercentDone(percent, abort);
    }
    void MailAbortCheck(bool* abort) override {
        if (m_app && abort) m_app->AbortCheck(abort);
    }
    void MailTaskEvent(const char* name, const char* value, int32_t a, int32_t b, int64_t c, int64_t d,
                       bool* abort) override {
        if (m_app) m_app->TaskEvent(name, value, a, b, c, d, abort);
    }

private:
    VmMailManProgress* m_app;
};

}  // namespace ostmail
