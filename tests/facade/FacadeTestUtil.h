#pragma once
#include "support/ScratchDir.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "email/ClsEmail.h"
#include "email/MimeRenderer.h"
#include "facade/VmEmail.h"
#include "support/PythonRun.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace ostmail {
namespace facadetest {

// Renders what the mail manager would send: a prepared copy, internal
// fields left out.
inline std::string renderForSending(VmEmail& e) {
    LogNull log;
    std::unique_ptr<Email2> copy = e.impl()->cloneForSending(log);
    StringBuffer out;
    MimeRenderer::render(*copy, out, "VMX-", false, log);
    return std::string(out.getString(), out.getSize());
}

inline std::string jsonString(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        char buf[8];
        snprintf(buf, sizeof buf, c < 0x20 ? "\\u%04x" : (c == '"' || c == '\\') ? "\\%c" : "%c", c);
        o += buf;
    }
    return o + "\"";
}

inline std::string jsonList(const std::vector<std::string>& v) {
    std::string o = "[";
    for (size_t i = 0; i < v.size(); ++i) o += (i ? "," : "") + jsonString(v[i]);
    return o + "]";
}

using ScratchDir = testsupport::ScratchDir;

// Runs the Python checker over dir; result per message name: "" for OK,
// else the reason. A missing entry means Python never looked at it.
inline std::map<std::string, std::string> runPythonCheck(const std::string& dir) {
    std::map<std::string, std::string> result;
    testsupport::PythonResult r =
        testsupport::runPythonFile(OSTMAIL_SOURCE_DIR "/tests/facade/parse_check.py", "", {dir});
    if (r.exitCode != 0 || !r.err.empty()) result["<python>"] = r.err;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string s = r.out.substr(at, end - at);
        size_t colon = s.find(':');
        if (s.rfind("OK ", 0) == 0) result[s.substr(3)] = "";
        else if (s.rfind("FAIL ", 0) == 0) result[s.substr(5, colon - 5)] = s.substr(colon + 2);
        else result["<python>"] += s + "\n";
    }
    return result;
}

}  // namespace facadetest
}  // namespace ostmail
