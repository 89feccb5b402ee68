#include "core/Logger.h"

#include "core/ContentCoding.h"
#include "platform/Clock.h"
#include "platform/FileWriter.h"

#include <algorithm>
#include <cstring>

namespace ostmail {

namespace {

// Data names are single XML element names: no outer blanks, no spaces.
bool prepareName(const char* name, StringBuffer& out) {
    out.append(name);
    out.trimWhitespace();
    out.replaceChar(' ', '_');
    return !out.isEmpty();
}

}  // namespace

void Logger::GetXml(StringBuffer& out) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.renderXml(out);
}

void Logger::GetHtml(StringBuffer& out) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.renderHtml(out);
}

void Logger::swapLog(ErrorLog& into) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.swap(into);
}

void Logger::GetText(StringBuffer& out) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.renderText(out);
}

void Logger::setSecrets(const std::vector<std::string>& secrets) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    for (std::string& old : m_secrets) std::fill(old.begin(), old.end(), '\0');
    m_secrets.clear();
    // Shorter texts would blank out ordinary words of the log.
    for (const std::string& s : secrets) {
        if (s.size() < 4) continue;
        StringBuffer b64;
        ContentCoding::encodeBase64Flat(s.data(), s.size(), b64);
        m_secrets.push_back(s);
        m_secrets.push_back(b64.toStdString());
        b64.strongClear();
    }
    std::sort(m_secrets.begin(), m_secrets.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

const char* Logger::withoutSecrets(const char* text, StringBuffer& scrubbed) {
    if (!text) return text;
    for (const std::string& s : m_secrets) {
        if (!std::strstr(scrubbed.isEmpty() ? text : scrubbed.getString(), s.c_str())) continue;
        if (scrubbed.isEmpty()) scrubbed.append(text);
        scrubbed.replaceAllOccurrences(s.c_str(), kSecretMarker);
    }
    return scrubbed.isEmpty() ? text : scrubbed.getString();
}

bool Logger::addLine(int kind, const char* text) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    StringBuffer scrubbed;
    m_log.addLine(kind, withoutSecrets(text, scrubbed));
    return true;
}

bool Logger::LogError(const char* text) { return addLine(LogEntry2::kError, text); }
bool Logger::LogInfo(const char* text) { return addLine(LogEntry2::kInfo, text); }
bool Logger::LogLine(const char* text) { return addLine(LogEntry2::kLine, text); }

bool Logger::ClearLog() {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.clear();
    return true;
}

bool Logger::EnterContext(const char* tag, bool flag) {
    (void)flag;
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.enterContext(tag);
    return true;
}

bool Logger::LeaveContext() {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    m_log.leaveContext();
    return true;
}

int Logger::openContexts() {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    return m_log.depth();
}

bool Logger::LogData(const char* name, const char* value) {
    StringBuffer prepared;
    if (!name || !prepareName(name, prepared)) return false;
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    StringBuffer scrubbed;
    m_log.addData(prepared.getString(), withoutSecrets(value, scrubbed));
    return true;
}

bool Logger::LogDataLong(const char* name, int32_t value) {
    StringBuffer sb;
    sb.appendFormat("%d", value);
    return LogData(name, sb.getString());
}

bool Logger::LogData64(const char* name, int64_t value) {
    StringBuffer sb;
    sb.appendInt64(value);
    return LogData(name, sb.getString());
}

bool Logger::LogDataHex(const char* name, uint32_t value) {
    StringBuffer sb;
    sb.appendFormat("0x%x", value);
    return LogData(name, sb.getString());
}

void Logger::LogTickCount(const char* name) {
    StringBuffer sb;
    sb.appendFormat("%x", platform::tickCount());
    LogData(name, sb.getString());
}

bool Logger::SaveXml(const char* path) {
    std::lock_guard<platform::CriticalSection> guard(m_lock);
    StringBuffer xml;
    m_log.renderXml(xml);
    platform::FileWriter file;
    if (!path || !file.open(path)) {
        m_log.addLine(LogEntry2::kError, "Failed to write complete file (7)");
        return false;
    }
    if (!file.write(xml.getString(), xml.getSize()) || !file.close()) {
        m_log.addLine(LogEntry2::kError, "Failed to write complete file (1)");
        return false;
    }
    return true;
}

}  // namespace ostmail
