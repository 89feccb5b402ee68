#pragma once
#include "core/ExtPtrArray.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"

#include <memory>
#include <mutex>

namespace ostmail {

// One node of the log tree; a node owns its tag, text and children.
class LogEntry2 : public VelmoraObject {
public:
    LogEntry2() = default;
    ~LogEntry2() override;

    std::unique_ptr<ExtPtrArray> children;  // contexts only
    int kind = 'I';                          // 'C', 'E', 'I', 'X', 'T'
    std::unique_ptr<StringBuffer> tag;
    std::unique_ptr<StringBuffer> text;
};

// The tree of entries with the stack of open contexts; element 0 of the
// stack is the root "VelmoraLog". Not locked: Logger serialises access.
class ErrorLog {
public:
    ErrorLog();
    virtual ~ErrorLog();
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    void addLine(int kind, const char* text);
    void addData(const char* preparedName, const char* value);
    void enterContext(const char* tag);
    void leaveContext();
    void clear();
    void renderText(StringBuffer& out) const;
    void renderXml(StringBuffer& out) const;
    void renderHtml(StringBuffer& out) const;

private:
    void newRoot();
    void appendToCurrent(LogEntry2* node);

    LogEntry2* m_root = nullptr;  // owned; deleted by clear() and the destructor
    ExtPtrArray m_stack;          // borrowed pointers into the tree
};

// The real activity log: every slot over an ErrorLog under a lock.
class Logger : public LogBase {
public:
    Logger() = default;
    void GetXml(StringBuffer& out) override;
    void GetHtml(StringBuffer& out) override;
    void GetText(StringBuffer& out) override;
    bool LogError(const char* text) override;
    bool LogInfo(const char* text) override;
    bool LogLine(const char* text) override;
    bool ClearLog() override;
    bool EnterContext(const char* tag, bool flag) override;
    bool LeaveContext() override;
    bool LogData(const char* name, const char* value) override;
    bool LogDataLong(const char* name, int32_t value) override;
    bool LogData64(const char* name, int64_t value) override;
    bool LogDataHex(const char* name, uint32_t value) override;
    void LogTickCount(const char* name) override;
    bool SaveXml(const char* path) override;

private:
    bool addLine(int kind, const char* text);
    std::recursive_mutex m_lock;
    ErrorLog m_log;
};

}  // namespace ostmail
