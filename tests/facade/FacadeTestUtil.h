#pragma once
#include "core/LogBase.h"
#include "core/StringBuffer.h"
#include "email/ClsEmail.h"
#include "email/MimeRenderer.h"
#include "facade/VmEmail.h"
#include "platform/SysInfo.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace facadetest
}  // namespace ostmail
