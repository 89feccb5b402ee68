#pragma once
// Helpers for driving SmtpConnImpl in tests: a log that keeps every line in
// order, and a client with the usual connect and send arguments.

#include "core/ExtPtrArray.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "core/XString.h"
#include "smtp/SmtpConnImpl.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ostmail {
namespace smtptest {

// "E: text", "I: text", "D: name=value", "> context", "<".
class RecordingLog : public LogBase {
public:
    bool LogError(const char* t) override { return add("E: ", t); }
    bool LogInfo(const char* t) override { return add("I: ", t); }
    bool LogLine(const char* t) override { return add("L: ", t); }
    bool EnterContext(const char* tag, bool) override { return add("> ", tag); }
    bool LeaveContext() override { return add("<", ""); }
    bool LogData(const char* n, const char* v) override { return add("D: ", std::string(n) + "=" + (v ? v : "")); }
    bool LogDataLong(const char* n, int32_t v) override { return add("D: ", std::string(n) + "=" + std::to_string(v)); }
    bool ClearLog() override {
        lines.clear();
        return true;
    }

    bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    // The wanted lines the log lacks, with the whole log after them; "" when none.
    std::string missing(std::initializer_list<std::string> wanted) const {
        std::string out;
        for (const auto& w : wanted)
            if (!has(w)) out += "missing: " + w + "\n";
        return out.empty() ? out : out + "log:\n" + text();
    }
    bool hasPrefix(const std::string& prefix) const {
        for (const auto& l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    std::string text() const {
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }

    std::vector<std::string> lines;

private:
    bool add(const char* kind, const std::string& t) {
        lines.push_back(kind + t);
        return true;
    }
};

inline XString xs(const std::string& s) {
    XString x;
    x.setFromUtf8(s.c_str());
    return x;
}

struct Client {
    SmtpConnImpl conn;
    RecordingLog log;
    bool timedOut = false;
    bool aborted = false;
    SmtpSendResult result;
    ExtPtrArray bad;

    Client() { conn.setHeloHostname("client.test"); }
    ~Client() { bad.removeAllObjects(); }

    bool connect(int port, const std::string& login = "", const std::string& password = "",
                 const std::string& method = "", uint32_t readTimeoutMs = 5000, const char* host = "127.0.0.1") {
        return conn.smtpConnect(host, port, xs(login), xs(password), xs(""), xs(method), 5, readTimeoutMs,
                                nullptr, log, nullptr, timedOut, aborted);
    }
    bool send(SmtpMessage& msg, const char* from = "sender@example.test", ProgressMonitor* pm = nullptr,
              const char* sentLog = nullptr) {
        return conn.sendEmail(&msg, from, nullptr, sentLog, log, pm, result, bad, true, false);
    }
    std::vector<std::string> badAddresses() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < bad.getSize(); ++i) out.push_back(bad.at<StringBuffer>(i)->toStdString());
        return out;
    }
};

inline void addTo(SmtpTextMessage& m, const char* a) { m.addAddress(SmtpMessage::kTo, a); }

}  // namespace smtptest
}  // namespace ostmail
