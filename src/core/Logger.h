#pragma once
#include "core/ErrorLog.h"
#include "core/LogBase.h"
#include "platform/CriticalSection.h"

#include <mutex>
#include <string>
#include <vector>

namespace ostmail {

// The real activity log: every slot over an ErrorLog under one lock, so a
// worker thread may write while another thread reads the last-error text.
// The lock is re-entrant, as the critical section it stands for.
// The renderings append to the caller's buffer.
class Logger : public LogBase {
public:
    Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

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

    // Texts that must never enter the log: from now on each one (of at
    // least 4 bytes), and its base64 form, is replaced by kSecretMarker in
    // every line and value added. Replaces the earlier list.
    void setSecrets(const std::vector<std::string>& secrets);

    // Open contexts, the root included (always at least 1).
    int openContexts();
    // Hands the whole log to into and goes on with into's old content.
    void swapLog(ErrorLog& into);

private:
    bool addLine(int kind, const char* text);
    // text, or scrubbed holding it without the secrets when it had any.
    const char* withoutSecrets(const char* text, StringBuffer& scrubbed);

    platform::CriticalSection m_lock;
    ErrorLog m_log;
    std::vector<std::string> m_secrets;  // raw and base64, longest first
};

}  // namespace ostmail
