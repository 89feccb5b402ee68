#pragma once
#include <cstddef>
#include <cstdint>

namespace ostmail {

class StringBuffer;

// The activity log interface passed by reference to every internal
// operation. The defaults do nothing and return true, so a caller never
// knows whether its log is kept; only LogWindowsError has a body here.
class LogBase {
public:
    // Stands where a password, a token or a blob that holds one would be.
    static constexpr const char* kSecretMarker = "[secret removed]";

    virtual ~LogBase() = default;
    virtual void GetXml(StringBuffer& out) { (void)out; }
    virtual void GetHtml(StringBuffer& out) { (void)out; }
    virtual void GetText(StringBuffer& out) { (void)out; }
    virtual bool LogError(const char* text) { (void)text; return true; }
    virtual bool LogInfo(const char* text) { (void)text; return true; }
    virtual bool LogLine(const char* text) { (void)text; return true; }
    virtual bool ClearLog() { return true; }
    virtual bool EnterContext(const char* tag, bool flag) { (void)tag; (void)flag; return true; }
    virtual bool LeaveContext() { return true; }
    virtual bool LogData(const char* name, const char* value) { (void)name; (void)value; return true; }
    virtual bool LogDataLong(const char* name, int32_t value) { (void)name; (void)value; return true; }
    virtual bool LogData64(const char* name, int64_t value) { (void)name; (void)value; return true; }
    virtual bool LogDataHex(const char* name, uint32_t value) { (void)name; (void)value; return true; }
    // Records the system's text for an error code as "WindowsError"; 0 records nothing.
    virtual void LogWindowsError(uint32_t code);
    virtual void LogTickCount(const char* name) { (void)name; }
    virtual bool SaveXml(const char* path) { (void)path; return true; }

    // Non-virtual helpers; each ends in LogData.
    void LogDataHexDump(const char* name, const void* bytes, size_t n);
    void LogByteDump(const char* name, const void* bytes, size_t n);  // empty input logs an error
    void LogDataQP(const char* name, const char* text);
    void LogDataAnsi(const char* name, const char* ansiText);
    void LogTimestamp(int number);
    bool LogDataSb(const char* name, const StringBuffer& value);
    bool LogDataBool(const char* name, bool value) { return LogDataLong(name, value ? 1 : 0); }
};

// The do-nothing log, passed where output is not wanted. Stateless, so it
// needs no lock and one instance may serve any number of threads.
class LogNull : public LogBase {
public:
    void GetXml(StringBuffer&) override {}
    void GetHtml(StringBuffer&) override {}
    void GetText(StringBuffer&) override {}
    bool LogError(const char*) override { return true; }
    bool LogInfo(const char*) override { return true; }
    bool LogLine(const char*) override { return true; }
    bool ClearLog() override { return true; }
    bool EnterContext(const char*, bool) override { return true; }
    bool LeaveContext() override { return true; }
    bool LogData(const char*, const char*) override { return true; }
    bool LogDataLong(const char*, int32_t) override { return true; }
    bool LogData64(const char*, int64_t) override { return true; }
    bool LogDataHex(const char*, uint32_t) override { return true; }
    void LogWindowsError(uint32_t) override {}
    void LogTickCount(const char*) override {}
    bool SaveXml(const char*) override { return true; }
};

// Opens a context on construction and leaves it on every path.
class LogContextExitor {
public:
    LogContextExitor(LogBase& log, const char* tag) : m_log(log) { m_log.EnterContext(tag, true); }
    ~LogContextExitor() { m_log.LeaveContext(); }
    LogContextExitor(const LogContextExitor&) = delete;
    LogContextExitor& operator=(const LogContextExitor&) = delete;

private:
    LogBase& m_log;
};

}  // namespace ostmail
