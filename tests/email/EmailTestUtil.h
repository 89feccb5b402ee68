#pragma once
#include "support/ScratchDir.h"
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "email/Email2.h"
#include "email/MimeRenderer.h"

#include <string>
#include <vector>

namespace ostmail {
namespace testutil {

inline std::unique_ptr<Email2> newEmail() {
    LogNull log;
    return Email2::createNewEmail(log);
}

inline std::string render(Email2& e, const char* prefix = "VMX-") {
    StringBuffer out;
    LogNull log;
    MimeRenderer::render(e, out, prefix, false, log);
    return std::string(out.getString(), out.getSize());
}

inline std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t p; (p = s.find("\r\n", start)) != std::string::npos; start = p + 2)
        out.push_back(s.substr(start, p - start));
    out.push_back(s.substr(start));
    return out;
}

inline std::string headerValue(const Email2& e, const char* name) {
    StringBuffer v;
    e.getHeaderField(name, v);
    return v.toStdString();
}

using TempDir = testsupport::ScratchDir;

}  // namespace testutil
}  // namespace ostmail
