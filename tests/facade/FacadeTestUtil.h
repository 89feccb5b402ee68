#pragma once
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "email/ClsEmail.h"
#include "email/MimeRenderer.h"
#include "facade/VmEmail.h"
#include "platform/SysInfo.h"
#include "support/MailCheck.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace ostmail {
namespace facadetest {

// Pins the ANSI code page so that 8-bit texts mean the same everywhere.
struct Cp1252 {
    Cp1252() { platform::setAnsiCodePageOverride(1252); }
    ~Cp1252() { platform::setAnsiCodePageOverride(0); }
};

// Renders what the mail manager would send: a prepared copy, internal
// fields left out.
inline std::string renderForSending(VmEmail& e) {
    LogNull log;
    std::unique_ptr<Email2> copy = e.impl()->cloneForSending(log);
    StringBuffer out;
    MimeRenderer::render(*copy, out, "VMX-", false, log);
    return std::string(out.getString(), out.getSize());
}

using ScratchDir = testsupport::ScratchDir;
using testsupport::MailCheck;

// Writes each message to dir/NAME.eml and has Python's email package read
// them all in one run.
inline std::vector<MailCheck> readBack(const ScratchDir& dir,
                                       const std::vector<std::pair<std::string, std::string>>& messages) {
    std::vector<std::string> paths;
    for (const auto& [name, mime] : messages) paths.push_back(dir.write(name + ".eml", mime));
    std::vector<MailCheck> all = MailCheck::loadFiles(paths);
    for (const MailCheck& m : all) EXPECT_EQ(m.error(), "");
    return all;
}

// "name <addr>" for each mailbox Python found in the field.
inline std::vector<std::string> mailboxes(const MailCheck& m, const std::string& field) {
    std::vector<std::string> out;
    for (int i = 0; i < m.count(field); ++i) {
        const std::string at = field + "." + std::to_string(i);
        out.push_back(m.get(at + ".name") + " <" + m.get(at + ".addr") + ">");
    }
    return out;
}

// The header's field names, lower case and sorted.
inline std::vector<std::string> headerNames(const MailCheck& m) {
    std::vector<std::string> names;
    std::istringstream words(m.get("header.names"));
    for (std::string w; words >> w;) names.push_back(w);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace facadetest
}  // namespace ostmail
