#pragma once
#include "core/LogBase.h"
#include "core/Logger.h"
#include "core/StringBuffer.h"
#include "email/Email2.h"
#include "email/MimeRenderer.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace ostmail {
namespace testutil {

inline std::unique_ptr<Email2> newEmail() {
    LogNull log;
    return Email2::createNewEmail(log);
}

inline std::string str(const DataBuffer& d) {
    return std::string(reinterpret_cast<const char*>(d.getData()), d.getSize());
}

inline std::string render(Email2& e) {
    StringBuffer out;
    LogNull log;
    MimeRenderer::render(e, out, "VMX-", false, log);
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

// A new message, and the log, scratch folder and type buffer that
// attaching a file needs.
class EmailTest : public ::testing::Test {
protected:
    std::unique_ptr<Email2> e = newEmail();
    Logger log;
    testsupport::ScratchDir dir;
    StringBuffer type;

    bool attach(Email2& m, const char* name, const std::string& bytes) {
        return m.addFileAttachment(dir.write(name, bytes).c_str(), type, log);
    }
};

// Matches text against a fixed-length shape: '#' a lower-case hex digit,
// '9' a decimal digit, 'A' an ASCII letter; any other byte stands for itself.
inline bool matchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        const bool ok = shape[i] == '#'   ? std::isdigit(c) || (c >= 'a' && c <= 'f')
                        : shape[i] == '9' ? std::isdigit(c) != 0
                        : shape[i] == 'A' ? std::isalpha(c) != 0
                                          : text[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

}  // namespace testutil
}  // namespace ostmail
