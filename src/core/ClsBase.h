#pragma once
#include "core/Logger.h"
#include "core/XString.h"

namespace ostmail {

// Base of the implementation classes: owns the activity log of the object
// and renders it as the last-error text.
class ClsBase : public VelmoraObject {
public:
    ClsBase() = default;
    ~ClsBase() override = default;
    ClsBase(const ClsBase&) = delete;
    ClsBase& operator=(const ClsBase&) = delete;

    // Each replaces out with a rendering of the log, as UTF-8.
    void LastErrorText(XString& out);
    void LastErrorXml(XString& out);
    void LastErrorHtml(XString& out);
    // False for a null or blank path; otherwise the result of SaveXml.
    bool SaveLastError(XString& path);
    bool SaveLastError(const char* utf8Path);
    LogBase& log() { return m_log; }
    // Moves the log out (a fresh one left behind), to be rendered later.
    void takeLog(ErrorLog& into) { m_log.swapLog(into); }

protected:
    // Method framing: clear the log and open the method's context.
    void enterMethod(const char* name);
    void leaveMethod() { m_log.LeaveContext(); }

    Logger m_log;
};

// Clears the log, opens the method context, and leaves it on every path.
class MethodFrame {
public:
    MethodFrame(LogBase& log, const char* name) : m_log(log) {
        m_log.ClearLog();
        m_log.EnterContext(name, true);
    }
    ~MethodFrame() { m_log.LeaveContext(); }
    MethodFrame(const MethodFrame&) = delete;
    MethodFrame& operator=(const MethodFrame&) = delete;

private:
    LogBase& m_log;
};

}  // namespace ostmail
